// The event history at scale: the import of a year's log files, the first page of each filter
// the History window offers, and the cost of recording live reports.
// Usage: history_bench import N          events written as log files, then imported
//        history_bench pages N           N events stored directly, then each filter's first page
//        history_bench live SECONDS      a recorder taking 100 reports a second
// The files go to $TMPDIR (default /tmp) and are removed at the end.
#include "events/log_file.h"
#include "history/event_store.h"
#include "history/log_import.h"
#include "session/history_recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

const char* const first_names[] = {"Anna",   "Bernd", "Carla",  "Dieter", "Emile", "Frank",
                                   "Gisela", "Hans",  "Ingrid", "Jurgen", "Karl",  "Lena"};
const char* const last_names[] = {"Schmidt", "Muller",   "Weber",   "Fischer", "Wagner",
                                  "Becker",  "Hoffmann", "Schafer", "Koch",    "Richter"};
const char* const memos[] = {"night shift", "cleaning", "floor 3", "caretaker", "visitor"};

constexpr int key_count = 3000;

struct Key {
    uint32_t number;
    std::string name;
    std::string memo;
};

std::vector<Key> make_keys() {
    std::mt19937 random(7);
    std::vector<Key> keys;
    for (int i = 0; i < key_count; ++i) {
        Key k;
        k.number = 0x100000 + static_cast<uint32_t>(random() % 0xe00000);
        k.name = std::string(first_names[random() % 12]) + " " + last_names[random() % 10] + " " +
                 std::to_string(i);
        if (random() % 10 < 3) {
            k.memo = memos[random() % 5];
        }
        keys.push_back(std::move(k));
    }
    return keys;
}

std::string hex6(uint32_t n) {
    char b[8];
    std::snprintf(b, sizeof b, "%06x", n);
    return b;
}

// One line (or a key line and its memo) as the screen log takes them, drawn as a building's
// day would: mostly keys and doors, now and then an invalid key, rarely anything else.
struct Line {
    std::string key;
    std::string text;
};

void next_lines(std::mt19937& random, const std::vector<Key>& keys, std::vector<Line>& out) {
    out.clear();
    const int r = static_cast<int>(random() % 1000);
    const char door = random() % 2 ? 'A' : 'B';
    const Key& k = keys[random() % keys.size()];
    if (r < 560) {
        out.push_back(
            {hex6(k.number), "Valid key. Name: \"" + k.name + "\".  Door " + door + " is open."});
        if (!k.memo.empty()) {
            out.push_back({"", "Memo: \"" + k.memo + "\""});
        }
    } else if (r < 820) {
        out.push_back({" - ", std::string("Door ") + door + " closed "});
    } else if (r < 900) {
        out.push_back(
            {hex6(0x100000 + static_cast<uint32_t>(random() % 0xe00000)), "Invalid key detected."});
    } else if (r < 960) {
        out.push_back({hex6(k.number), std::string("Master key.  Door ") + door + " is open."});
    } else if (r < 970) {
        out.push_back({" - ", std::string("Door ") + door + " temporarily blocked as penalty "});
    } else if (r < 975) {
        out.push_back({" - ", std::string("Door ") + door + " is open contact shorted "});
    } else if (r < 985) {
        out.push_back(
            {" - ", random() % 2 ? "Connection to COM3 lost" : "Connection to COM3 restored"});
    } else if (r < 993) {
        out.push_back({" - ", random() % 2 ? "Log started" : "Log ended"});
    } else if (r < 997) {
        out.push_back(
            {hex6(k.number), random() % 2 ? "Key added manually" : "Key deleted manually"});
    } else if (r < 999) {
        out.push_back({" - ", "Performed synchronization with RD-unit."});
    } else {
        out.push_back({" - ", "The key controller's memory was cleared, including the master"});
    }
}

// The events end at this time; one comes every 30 s on average before it.
constexpr int64_t end_s = 1'796'000'000; // late 2026

LocalTime local_of(int64_t s) {
    const std::time_t t = static_cast<std::time_t>(s);
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

int64_t file_bytes(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<int64_t>(n);
}

int run_import(int64_t count, const std::string& dir) {
    const std::vector<Key> keys = make_keys();
    const std::string database = dir + "/office.tsy";
    std::mt19937 random(11);
    std::vector<Line> lines;
    int64_t t = end_s - count * 30;
    int64_t written = 0;
    const int64_t per_file = 100000;
    std::ofstream out;
    int files = 0;
    while (written < count) {
        if (written % per_file == 0 || !out.is_open()) {
            out.close();
            const bool last = count - written <= per_file;
            out.open(last ? log_file_name(database)
                          : rotated_log_file_name(database, local_of(t), ++files),
                     std::ios::binary);
        }
        t += static_cast<int64_t>(random() % 61);
        next_lines(random, keys, lines);
        const std::string when = log_time_text(local_of(t));
        for (const Line& l : lines) {
            out << log_file_line(when, l.key, l.text);
            ++written;
        }
    }
    out.close();
    std::string error;
    auto store = EventStore::open(history_path(database), true, database, &error);
    if (!store) {
        std::fprintf(stderr, "history_bench: %s\n", error.c_str());
        return 1;
    }
    const Clock::time_point start = Clock::now();
    const double cpu0 = process_cpu_seconds();
    std::unordered_map<uint32_t, const Key*> by_number;
    for (const Key& k : keys) {
        by_number[k.number] = &k;
    }
    const LogImportResult r = import_log_files(*store, database, [&](uint32_t number) {
        const auto found = by_number.find(number);
        return found == by_number.end() ? std::make_pair(std::string(), std::string())
                                        : std::make_pair(found->second->name, found->second->memo);
    });
    const double wall = seconds_since(start);
    const double cpu = process_cpu_seconds() - cpu0;
    store.reset(); // checkpoints the journal into the file
    const int64_t bytes =
        file_bytes(history_path(database)) + file_bytes(history_path(database) + "-wal");
    std::printf("import: %lld events from %d files in %.1f s (cpu %.1f s): %.0f events/s, "
                "%.1f bytes/event (%lld bytes)%s%s\n",
                static_cast<long long>(r.imported), r.files, wall, cpu,
                static_cast<double>(r.imported) / wall,
                static_cast<double>(bytes) / static_cast<double>(r.imported),
                static_cast<long long>(bytes), r.error.empty() ? "" : " error: ", r.error.c_str());
    return 0;
}

// N events stored as the recorder stores them, a batch at a time.
void store_events(EventStore& store, int64_t count, const std::vector<Key>& keys) {
    std::unordered_map<uint32_t, const Key*> by_number;
    for (const Key& k : keys) {
        by_number[k.number] = &k;
    }
    std::mt19937 random(13);
    std::vector<Line> lines;
    std::vector<StoredEvent> batch;
    int64_t t_ms = (end_s - count * 30) * 1000;
    LineClassifier classifier;
    std::optional<uint32_t> last_key;
    std::string error;
    for (int64_t n = 0; n < count;) {
        t_ms += static_cast<int64_t>(random() % 60000);
        next_lines(random, keys, lines);
        for (const Line& l : lines) {
            StoredEvent e;
            e.time_ms = t_ms;
            const LineMeaning m = classifier.classify(l.text);
            e.kind = m.kind;
            e.door = m.door;
            e.text = l.text;
            e.key = l.key.empty() ? last_key : key_of_line(l.key);
            last_key = e.key;
            if (const auto found = e.key ? by_number.find(*e.key) : by_number.end();
                found != by_number.end()) {
                e.name = found->second->name;
                e.memo = found->second->memo;
            }
            batch.push_back(std::move(e));
            ++n;
        }
        if (batch.size() >= 100000 || n >= count) {
            if (!store.append(batch, &error)) {
                std::fprintf(stderr, "history_bench: %s\n", error.c_str());
                std::exit(1);
            }
            batch.clear();
        }
    }
}

int64_t local_ms(int64_t utc_s, int day_offset, int hour) {
    const std::time_t t = static_cast<std::time_t>(utc_s);
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_mday += day_offset;
    tm.tm_hour = hour;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm)) * 1000;
}

int run_pages(int64_t count, const std::string& dir) {
    const std::vector<Key> keys = make_keys();
    const std::string database = dir + "/office.tsy";
    std::string error;
    auto store = EventStore::open(history_path(database), true, database, &error);
    if (!store) {
        std::fprintf(stderr, "history_bench: %s\n", error.c_str());
        return 1;
    }
    const Clock::time_point start = Clock::now();
    store_events(*store, count, keys);
    std::printf("stored %lld events in %.1f s\n", static_cast<long long>(count),
                seconds_since(start));
    store.reset();
    store = EventStore::open(history_path(database), false, database, &error);
    const int64_t newest_s = store->page({}, 1).at(0).time_ms / 1000;
    struct Case {
        std::string name;
        EventFilter filter;
    };
    std::vector<Case> cases;
    cases.push_back({"all", {}});
    EventFilter night;
    night.since_ms = local_ms(newest_s, -1, 18);
    night.until_ms = local_ms(newest_s, 0, 6);
    cases.push_back({"last night", night});
    EventFilter key;
    key.key = keys[42].number;
    cases.push_back({"key " + hex6(keys[42].number), key});
    for (const char* text : {"Schmidt", "Koch 1234", "nobody", "night shift"}) {
        EventFilter f;
        f.text = text;
        cases.push_back({std::string("text \"") + text + "\"", f});
    }
    for (int k = 0; k < event_kind_count; ++k) {
        EventFilter f;
        f.kinds = {static_cast<EventKind>(k)};
        cases.push_back({std::string("kind ") + event_kind_name(static_cast<EventKind>(k)), f});
    }
    EventFilter window_kinds;
    window_kinds.kinds = {EventKind::InvalidKey, EventKind::Alarm, EventKind::Link};
    cases.push_back({"kinds invalid-key,alarm,link", window_kinds});
    EventFilter door;
    door.door = 'B';
    cases.push_back({"door B", door});
    EventFilter night_b = night;
    night_b.door = 'B';
    cases.push_back({"last night + door B", night_b});
    for (const Case& c : cases) {
        double first = 0;
        double best = 1e9;
        size_t rows = 0;
        for (int run = 0; run < 3; ++run) {
            const Clock::time_point t0 = Clock::now();
            rows = store->page(c.filter, 200).size();
            const double ms = seconds_since(t0) * 1000;
            first = run == 0 ? ms : first;
            best = std::min(best, ms);
        }
        std::printf("first page at %lld, %-30s %3zu rows: %8.2f ms (first run %8.2f ms)\n",
                    static_cast<long long>(count), c.name.c_str(), rows, best, first);
    }
    return 0;
}

int run_live(int seconds, const std::string& dir) {
    const std::vector<Key> keys = make_keys();
    const std::string database = dir + "/office.tsy";
    {
        std::string error;
        EventStore::open(history_path(database), true, database, &error);
    }
    HistoryRecorder recorder([&] { return database; },
                             [&](uint32_t) {
                                 return KeyTexts{keys[0].name, keys[0].memo};
                             },
                             {});
    std::mt19937 random(17);
    std::vector<Line> lines;
    const double cpu0 = process_cpu_seconds();
    const Clock::time_point start = Clock::now();
    int64_t reports = 0;
    for (Clock::time_point next = start; next < start + std::chrono::seconds(seconds);
         next += std::chrono::milliseconds(10)) {
        std::this_thread::sleep_until(next);
        next_lines(random, keys, lines);
        recorder.report({lines[0].key, lines[0].text, "", false});
        ++reports;
    }
    recorder.flush();
    const double wall = seconds_since(start);
    const double cpu = process_cpu_seconds() - cpu0;
    std::printf("live: %lld reports in %.1f s, cpu %.3f s: %.2f %% of a core\n",
                static_cast<long long>(reports), wall, cpu, 100 * cpu / wall);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: history_bench import|pages|live N\n");
        return 2;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp ? tmp : "/tmp") + "/tessary-history-bench-XXXXXX";
    if (!mkdtemp(dir.data())) {
        return 1;
    }
    const std::string what = argv[1];
    const int64_t n = std::atoll(argv[2]);
    const int rc = what == "import"  ? run_import(n, dir)
                   : what == "pages" ? run_pages(n, dir)
                   : what == "live"  ? run_live(static_cast<int>(n), dir)
                                     : 2;
    if (std::getenv("HISTORY_BENCH_KEEP")) {
        std::printf("kept in %s\n", dir.c_str());
    } else {
        std::filesystem::remove_all(dir);
    }
    return rc;
}
