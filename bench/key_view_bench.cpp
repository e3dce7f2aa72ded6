// The key list as the window shows it, at scale: loads a database file of N keys into a record
// whose key list model feeds a shown key list view, and times the load until the view has
// settled; then a header click's sort with a row selected. Runs on the offscreen platform
// unless QT_QPA_PLATFORM says otherwise.
// Usage: key_view_bench [key count]   (default: 1000000)
#include "database/tsy_file.h"
#include "ui/models/key_list_model.h"
#include "ui/models/row_click_view.h"

#include "support/quiet_host.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

void fill(DatabaseRecord& rec, int count) {
    auto name = make_buffer(key_text_capacity);
    auto memo = make_buffer(key_text_capacity);
    for (int i = 0; i < count; ++i) {
        buffer_clear(name.get());
        buffer_append_text(name.get(), "Employee ");
        buffer_append_decimal(name.get(), (i * 7919) % count, 0);
        buffer_clear(memo.get());
        buffer_append_text(memo.get(), i % 3 ? "Day shift" : "Night shift, building B");
        uint32_t number = (static_cast<uint32_t>(i) * 2654435761u) & key_number_mask;
        while (add_key(rec, KeyId{0, number, 0}, name.get(), memo.get(), nullptr) < 0) {
            number = (number + 1) & key_number_mask;
        }
    }
}

double settle(QElapsedTimer& timer) {
    QCoreApplication::processEvents();
    return static_cast<double>(timer.nsecsElapsed()) * 1e-9;
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
        DatabaseRecord source;
        create_key_list(source, nullptr);
        fill(source, count);
        File out = File::create(file_name);
        if (!write_database(source, out) || !out.close()) {
            std::fprintf(stderr, "writing %s failed\n", file_name.c_str());
            return 1;
        }
    }

    QuietHost host;
    DatabaseRecord bare;
    create_key_list(bare, nullptr);
    QElapsedTimer timer;
    timer.start();
    File in = File::open_read(file_name);
    read_database(bare, in, false, host);
    const double bare_load = static_cast<double>(timer.nsecsElapsed()) * 1e-9;

    DatabaseRecord db;
    KeyListModel model(db);
    create_key_list(db, &model);
    RowClickView view;
    view.setModel(&model);
    view.resize(800, 600);
    view.show();
    QCoreApplication::processEvents();

    timer.restart();
    reset_database(db);
    File again = File::open_read(file_name);
    read_database(db, again, false, host);
    const double read_time = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
    const double load_time = settle(timer);
    if (key_row_count(db) != count || model.rowCount() != count) {
        std::fprintf(stderr, "loaded %d keys of %d\n", key_row_count(db), count);
        return 1;
    }
    std::printf("%d keys: read without a view %.3f s; with the view: read %.3f s, settled %.3f s\n",
                count, bare_load, read_time, load_time);

    // An import tells the view of every row on its own, as every load did before.
    reset_database(db);
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
        sort_key_rows(db, column);
        const double sort_time = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
        std::printf("  sort by column %d with a row selected: sort %.3f s, settled %.3f s\n",
                    column, sort_time, settle(timer));
    }
    fs::remove_all(dir);
    return 0;
}
