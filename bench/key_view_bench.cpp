// The key list as the window shows it, at scale: loads a database file of N keys into a record
// whose key list model feeds a shown key list view, and times the load until the view has
// settled; then a header click's sort with a row selected. First, the whole window started on
// that file as the program starts: how long start-up keeps the user-interface thread, the time
// until the keys are in a usable window, and the longest gap of a 5 ms heartbeat timer on the
// user-interface thread during the load (the longest freeze the user could see). Runs on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise.
// Usage: key_view_bench [key count]   (default: 1000000)
#include "core/buffer.h"
#include "database/tsy_file.h"
#include "ui/models/key_list_model.h"
#include "ui/models/row_click_view.h"

#include "support/quiet_host.h"
#include "support/scripted_qt_host.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

void fill(DatabaseContents& rec, int count) {
    auto name = make_buffer(key_text_capacity);
    auto memo = make_buffer(key_text_capacity);
    for (int i = 0; i < count; ++i) {
        buffer_clear(name.get());
        buffer_append_text(name.get(), "Employee ");
        buffer_append_decimal(name.get(), (i * 7919) % count, 0);
        buffer_clear(memo.get());
        buffer_append_text(memo.get(), i % 3 ? "Day shift" : "Night shift, building B");
        uint32_t number = (static_cast<uint32_t>(i) * 2654435761u) & key_number_mask;
        while (rec.keys.add(KeyId{0, number, 0}, buffer_view(name.get()), buffer_view(memo.get()),
                            {}) < 0) {
            number = (number + 1) & key_number_mask;
        }
    }
}

double settle(QElapsedTimer& timer) {
    QCoreApplication::processEvents();
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
}

// Start-up on the file with a scripted host (the box that the database names no COM port is
// answered at once), until the load has handed its keys to the shown view.
bool window_load(const std::string& file_name, const fs::path& dir, int count) {
    auto app = std::make_unique<App>(system_clock(), std::make_unique<ScriptedQtHost>());
    static_cast<ScriptedQtHost&>(app->host).set_scripted(true);
    app->settings = std::make_unique<QSettings>(QString::fromStdString((dir / "t.conf").string()),
                                                QSettings::IniFormat);
    QElapsedTimer timer;
    qint64 last_beat = 0;
    qint64 longest_gap = 0;
    QTimer heartbeat;
    heartbeat.setInterval(5);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = timer.nsecsElapsed();
        longest_gap = std::max(longest_gap, now - last_beat);
        last_beat = now;
    });
    timer.start();
    start_up(*app, "\"" + file_name + "\"");
    const double start_up_time = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
    last_beat = timer.nsecsElapsed();
    heartbeat.start();
    while (app->loader.loading()) {
        // Sleeps until the next event, as the running program does.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    // The view lays the new rows out before the user can work with them.
    QCoreApplication::processEvents();
    const double usable = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
    heartbeat.stop();
    const int shown = app->window->key_view()->model()->rowCount();
    std::printf("%d keys in the window: start-up returned after %.3f s (window shown), usable "
                "after %.3f s; longest user-interface stall during the load %.1f ms\n",
                count, start_up_time, usable, static_cast<double>(longest_gap) * 1e-6);
    if (shown != count) {
        std::fprintf(stderr, "the window shows %d keys of %d\n", shown, count);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;

    std::string pattern = (fs::temp_directory_path() / "key_view_bench_XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    const std::string file_name = (dir / "keys.TSY").string();
    {
        DatabaseContents source;
        fill(source, count);
        File out = File::create(file_name);
        if (!write_database(source.keys, source.log, source.layout, out) || !out.close()) {
            std::fprintf(stderr, "writing %s failed\n", file_name.c_str());
            return 1;
        }
    }

    if (!window_load(file_name, dir, count)) {
        return 1;
    }

    QuietHost host;
    DatabaseContents bare;
    QElapsedTimer timer;
    timer.start();
    File in = File::open_read(file_name);
    read_database(bare, in, false, host);
    const double bare_load = static_cast<double>(timer.nsecsElapsed()) * 1e-9;

    DatabaseContents db;
    KeyListModel model(db.keys);
    db.keys.set_observer(&model);
    RowClickView view;
    view.setModel(&model);
    view.resize(800, 600);
    view.show();
    QCoreApplication::processEvents();

    timer.restart();
    db.reset();
    File again = File::open_read(file_name);
    read_database(db, again, false, host);
    const double read_time = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
    const double load_time = settle(timer);
    if (db.keys.size() != count || model.rowCount() != count) {
        std::fprintf(stderr, "loaded %d keys of %d\n", db.keys.size(), count);
        return 1;
    }
    std::printf("%d keys: read without a view %.3f s; with the view: read %.3f s, settled %.3f s\n",
                count, bare_load, read_time, load_time);

    // An import tells the view of every row on its own, as every load did before.
    db.reset();
    QCoreApplication::processEvents();
    timer.restart();
    File import = File::open_read(file_name);
    read_database(db, import, true, host);
    const double import_time = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
    std::printf("  the same keys imported row by row: read %.3f s, settled %.3f s\n", import_time,
                settle(timer));

    view.selectRow(count / 2);
    for (int column : {1, 0, 1}) {
        timer.restart();
        db.keys.sort(column);
        const double sort_time = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
        std::printf("  sort by column %d with a row selected: sort %.3f s, settled %.3f s\n",
                    column, sort_time, settle(timer));
    }
    fs::remove_all(dir);
    return 0;
}
