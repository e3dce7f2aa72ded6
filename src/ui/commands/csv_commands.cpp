// Keys › Import keys from CSV, Export keys to CSV (all or the selection) and File › Export log to
// CSV.
#include "database/csv.h"
#include "events/screen_log_csv.h"
#include "ui/commands/commands.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/row_click_view.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"

#include <QFile>
#include <QFileDialog>
#include <QItemSelectionModel>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const char* const export_caption = "Tessary - Export to CSV";
const char* const import_caption = "Tessary - Import keys from CSV";

std::optional<std::string> choose_csv_file(App& app, bool save) {
    return app.dialogs->csv_file(app, save);
}

} // namespace

void write_csv(App& app, const std::string& text) {
    std::optional<std::string> path = choose_csv_file(app, true);
    if (!path) {
        return;
    }
    std::ofstream out(*path, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
        app.host.message_box(export_caption,
                             "The file couldn't be written.\n\nReason: " +
                                 std::string(std::strerror(errno)),
                             MsgIcon::Error);
    }
}

void export_keys_csv(App& app) {
    write_csv(app, keys_to_csv(app.database.keys));
}

void export_selected_csv(App& app) {
    // The selected rows as the view shows them, top to bottom.
    std::vector<int> rows;
    if (MainWindow* w = app.window.get()) {
        QItemSelectionModel* selection = w->key_view()->selectionModel();
        const int shown = w->key_filter()->rowCount();
        for (int r = 0; r < shown; ++r) {
            if (selection->isRowSelected(r, QModelIndex())) {
                rows.push_back(w->key_filter()->store_row(r));
            }
        }
    }
    if (rows.empty()) {
        app.host.message_box(export_caption, "No keys are selected in the key list.",
                             MsgIcon::Information);
        return;
    }
    write_csv(app, keys_to_csv(app.database.keys, &rows));
}

void export_log_csv(App& app) {
    write_csv(app, screen_log_to_csv(app.screen_log));
}

void import_keys_csv(App& app) {
    std::optional<std::string> path = choose_csv_file(app, false);
    if (!path) {
        return;
    }
    std::ifstream in(*path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        app.host.message_box(import_caption,
                             "The file couldn't be read.\n\nReason: " +
                                 std::string(std::strerror(errno)),
                             MsgIcon::Error);
        return;
    }
    const CsvImportPlan plan = plan_csv_import(text.str(), app.database.keys);
    if (!plan.header_error.empty()) {
        app.host.message_box(import_caption, "The file cannot be imported.\n\n" + plan.header_error,
                             MsgIcon::Error);
        return;
    }
    const CsvImportChoice choice = app.dialogs->csv_import_preview(app, plan);
    if (!choice.import) {
        return;
    }
    apply_csv_import(app.database.keys, plan, choice.update_existing);
    // Like Import database: the user asked for a change even when every key was there.
    mark_modified(app);
}
