// The History window at scale: builds an event history of N events (a year of a busy building,
// cached between runs), then times the window's open until its first page is shown, and the
// first page of each kind of filter (the time until it is shown, and until its "n of m" counts
// are known, made on a reader thread). With --show, leaves the window at "Last night" and door B,
// or with --usage the Key usage dialog, open for a screenshot.
// Usage: history_window_bench [event count] [cache folder] [--show|--usage]
//        (default: 10000000 /tmp/tessary-history-bench)
#include "database/key_list.h"
#include "history/event_store.h"
#include "history/history_period.h"
#include "support/scripted_qt_host.h"
#include "ui/dialogs/key_usage_dialog.h"
#include "ui/models/history_model.h"
#include "ui/window/app.h"
#include "ui/window/history_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableView>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int key_count = 2000;
constexpr int64_t year_ms = 365LL * 86'400'000;

uint32_t key_number(int i) {
    return (static_cast<uint32_t>(i) * 2654435761u) & 0xffffffu;
}

std::string key_name(int i) {
    return "Employee " + std::to_string(i);
}

// One event of a year ending now: most are keys at a door and the doors closing after them, a
// few invalid keys, alarms and links lost.
StoredEvent make_event(int64_t i, int64_t count, int64_t end_ms) {
    StoredEvent e;
    e.time_ms = end_ms - year_ms + i * year_ms / count;
    const uint64_t r = static_cast<uint64_t>(i) * 11400714819323198485ull >> 40;
    const int pick = static_cast<int>(r % 1000);
    const int k = static_cast<int>((r / 1000) % key_count);
    e.door = (r / 7) % 2 ? 'B' : 'A';
    if (pick < 600) {
        e.kind = pick < 590 ? EventKind::ValidKey : EventKind::MasterKey;
        e.key = key_number(k);
        e.name = key_name(k);
        e.memo = k % 3 ? "Day shift" : "Night shift, building B";
        e.text = std::string("Valid key. Name: \"") + e.name + "\".  Door " + e.door + " is open.";
    } else if (pick < 700) {
        e.kind = EventKind::InvalidKey;
        e.key = key_number(key_count + k);
        e.door = 0;
        e.text = "Invalid key detected.";
    } else if (pick < 985) {
        e.kind = EventKind::Door;
        e.text = std::string("Door ") + e.door + " closed ";
    } else if (pick < 995) {
        e.kind = EventKind::Alarm;
        e.text = std::string("Door ") + e.door + " is open contact shorted ";
    } else {
        e.kind = EventKind::Link;
        e.door = 0;
        e.text = pick % 2 ? "Connection lost" : "Connection restored";
    }
    return e;
}

bool build_store(const std::string& path, const std::string& database, int64_t count) {
    std::string error;
    auto store = EventStore::open(path, true, database, &error);
    if (!store || store->read_only()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(),
                     store ? store->read_only_reason().c_str() : error.c_str());
        return false;
    }
    const int64_t end = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    constexpr int64_t batch = 200'000;
    for (int64_t first = 0; first < count; first += batch) {
        std::vector<StoredEvent> events;
        for (int64_t i = first; i < std::min(count, first + batch); ++i) {
            events.push_back(make_event(i, count, end));
        }
        if (!store->append(events, &error)) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            return false;
        }
    }
    return true;
}

// Milliseconds until the model's first page (and, in *counted, its counts) are in.
double time_filter(HistoryModel& model, const EventFilter& filter, double* counted) {
    QElapsedTimer timer;
    timer.start();
    model.set_filter(filter);
    while (!model.first_page_shown()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const double first = static_cast<double>(timer.nsecsElapsed()) * 1e-6;
    while (model.count_text().contains(QChar(0x2026))) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    *counted = static_cast<double>(timer.nsecsElapsed()) * 1e-6;
    return first;
}

} // namespace

int main(int argc, char** argv) {
    const int64_t count = argc > 1 && argv[1][0] != '-' ? std::atoll(argv[1]) : 10'000'000;
    const fs::path dir = argc > 2 && argv[2][0] != '-' ? argv[2] : "/tmp/tessary-history-bench";
    const std::string mode = argc > 1 && argv[argc - 1][0] == '-' ? argv[argc - 1] : "";
    fs::create_directories(dir);
    const std::string database = (dir / ("bench-" + std::to_string(count) + ".tsy")).string();
    const fs::path done = dir / ("bench-" + std::to_string(count) + ".done");
    if (!fs::exists(done)) {
        fs::remove(history_path(database));
        std::ofstream(database).put('\0');
        const auto start = std::chrono::steady_clock::now();
        if (!build_store(history_path(database), database, count)) {
            return 1;
        }
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("built %lld events in %.1f s (%.0f events/s), %.1f bytes per event\n",
                    static_cast<long long>(count), s, static_cast<double>(count) / s,
                    static_cast<double>(fs::file_size(history_path(database))) /
                        static_cast<double>(count));
        std::ofstream(done).put('\n');
    }
    {
        // The recorder opens the store as a writer before any window does, bringing a store of
        // an older version up to date: the readers that follow only read.
        QElapsedTimer opened;
        opened.start();
        std::string error;
        auto writer = EventStore::open(history_path(database), false, database, &error);
        if (!writer || writer->read_only()) {
            std::fprintf(stderr, "%s: %s\n", database.c_str(),
                         writer ? writer->read_only_reason().c_str() : error.c_str());
            return 1;
        }
        std::printf("store opened by a writer in %.1f ms\n",
                    static_cast<double>(opened.nsecsElapsed()) * 1e-6);
    }
    QApplication qt(argc, argv);
    App app(system_clock(), std::make_unique<ScriptedQtHost>());
    app.database.file_name = database;
    for (int k = 0; k < key_count; ++k) {
        app.database.keys.add(KeyId{0, key_number(k), 0}, key_name(k),
                              k % 3 ? "Day shift" : "Night shift, building B");
    }
    if (mode == "--usage") {
        QElapsedTimer timer;
        timer.start();
        KeyUsageDialog usage(app.database.keys, history_path(database), nullptr);
        usage.show();
        while (!usage.counted()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        std::printf("%lld events: key usage of %d keys counted in %.1f ms\n",
                    static_cast<long long>(count), key_count,
                    static_cast<double>(timer.nsecsElapsed()) * 1e-6);
        std::fflush(stdout);
        return qt.exec();
    }
    QElapsedTimer timer;
    timer.start();
    HistoryWindow window(app, nullptr);
    window.show();
    while (!window.model()->first_page_shown()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    std::printf("%lld events: window open, first page shown in %.1f ms\n",
                static_cast<long long>(count), static_cast<double>(timer.nsecsElapsed()) * 1e-6);
    if (mode == "--show") {
        window.period()->setCurrentIndex(static_cast<int>(HistoryPeriod::LastNight));
        window.door()->setCurrentIndex(2);
        return qt.exec();
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    struct Case {
        const char* name;
        EventFilter filter;
    };
    std::vector<Case> cases = {{"all", {}}};
    EventFilter night;
    const TimeRange r = period_range(HistoryPeriod::LastNight, now);
    night.since_ms = r.since_ms;
    night.until_ms = r.until_ms;
    night.door = 'B';
    cases.push_back({"last night, door B", night});
    EventFilter text;
    text.text = key_name(1234);
    cases.push_back({"text \"Employee 1234\"", text});
    EventFilter memo;
    memo.text = "building b";
    cases.push_back({"text \"building b\"", memo});
    EventFilter digits;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06x", key_number(77));
    digits.text = std::string(hex + 1, 4);
    cases.push_back({"text of key digits", digits});
    EventFilter key;
    key.key = key_number(77);
    cases.push_back({"key", key});
    const char* groups[] = {"valid", "invalid", "doors", "alarms", "connection"};
    for (int g = 0; g < kind_group_count; ++g) {
        bool ticked[kind_group_count] = {};
        ticked[g] = true;
        EventFilter f;
        f.kinds = kinds_of_groups(ticked);
        cases.push_back({groups[g], f});
    }
    for (const Case& c : cases) {
        double counted = 0;
        const double first = time_filter(*window.model(), c.filter, &counted);
        std::printf("%-22s first page %8.1f ms   counts %9.1f ms   %s\n", c.name, first, counted,
                    qPrintable(window.model()->count_text()));
    }
    return 0;
}
