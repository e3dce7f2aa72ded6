// View › History and Keys › Key usage: the event history kept beside the database, in a window
// of its own and as each key's usage.
#include "history/event_store.h"
#include "ui/commands/commands.h"
#include "ui/dialogs/key_usage_dialog.h"
#include "ui/window/app.h"
#include "ui/window/history_window.h"
#include "ui/window/main_window.h"

void show_history(App& app) {
    MainWindow* w = app.window.get();
    if (!w) {
        return;
    }
    auto* history = w->findChild<HistoryWindow*>();
    if (!history) {
        history = new HistoryWindow(app, w);
    } else if (!history->isVisible()) {
        // Today and Last night move on with the clock, and the events of meanwhile are read.
        history->apply_filter();
    }
    history->follow_database();
    history->show();
    history->raise();
    history->activateWindow();
}

void key_usage(App& app) {
    const std::string& file = app.database.file_name;
    KeyUsageDialog dialog(app.database.keys, file.empty() ? std::string() : history_path(file),
                          app.window.get());
    dialog.on_export = [&app](const std::string& csv) { write_csv(app, csv); };
    app.dialogs->key_usage(dialog);
}
