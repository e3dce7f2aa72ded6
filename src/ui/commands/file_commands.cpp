// File menu: New database, the prompt before Open, Save, Save As and Exit.
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"
#include "ui/window/window_properties.h"

#include <QTimer>

void new_database(App& app) {
    const uint32_t port = app.database.log.com_port;
    if (!ask_save_changes(app)) {
        return;
    }
    // The link first: a controller report during the stop's wait must not reach the old log
    // after its "Log ended".
    stop_link(app);
    app.logger.end_log();
    app.document.lock.release();
    app.document.read_only = false;
    reset_database(app);
    // A new database talks to the same controller as the one it replaces.
    app.database.log.com_port = port;
    // With no stored rectangle or widths the window keeps its place, size and columns.
    apply_window_properties(app);
    clear_modified(app);
    app.logger.start_log();
    if (port != 0) {
        start_link(app, port);
    }
}

void open_database_command(App& app) {
    if (ask_save_changes(app)) {
        open_database(app);
    }
}

void open_recent(App& app, const std::string& path) {
    if (ask_save_changes(app)) {
        const size_t slash = path.rfind('/');
        open_database_file(app, FileChoice{path, slash == std::string::npos ? 0 : slash + 1});
    }
}

void save_command(App& app) {
    // Save is greyed while the database is open read-only; its file is another window's.
    if (app.document.read_only) {
        return;
    }
    if (app.database.file_name.empty()) {
        app.host.message_box("Tessary - Saving database",
                             "There is no open file to save to. Use 'Save As'.", MsgIcon::Error);
        return;
    }
    save_database(app, app.database.file_name);
}

void save_as_command(App& app) {
    save_database_as(app);
}

void exit_command(App& app) {
    // Posted, so that closing takes the same road as the close box, prompt included.
    if (MainWindow* w = app.window.get()) {
        QTimer::singleShot(0, w, [w] { w->close(); });
    }
}
