#include "ui/app.h"

#include "ui/command_table.h"
#include "ui/commands.h"
#include "ui/main_window.h"

#include <QDesktopServices>

App::App(Clock& c) : clock(c) {
    for (const CommandRow& row : command_table()) {
        commands.emplace(row.id, row.handler);
    }
    edit_key_row = [](App& app, int row) { return edit_key_dialog(app, row); };
    open_url = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

App::~App() {
    // The models go first; the records must not call back into them while being destroyed.
    host.attach(nullptr);
    window.reset();
    database.keys.observer = nullptr;
    screen_log.observer = nullptr;
}
