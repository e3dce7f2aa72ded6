#include "ui/window/app.h"

#include "ui/commands/command_table.h"
#include "ui/commands/commands.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"

#include <QDesktopServices>
#include <QSettings>

App::App(Clock& c, std::unique_ptr<QtHost> h)
    : clock(c), owned_host(std::move(h)), host(*owned_host),
      sync(link, [this] { mark_modified(*this); }) {
    edit_key_row = [](App& app, int row) { return edit_key_dialog(app, row); };
    open_url = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

App::~App() {
    // A load in progress would hand its keys to a record that is going.
    loader.cancel();
    // A running Synchronize uses the lists, the link and the window: end it first, serving its
    // calls, before any of them goes.
    sync.shut_down();
    // The comm thread may be waiting for this thread to take a log line: keep serving it until
    // it has gone.
    link.shut_down();
    // The models go first; the records must not call back into them while being destroyed.
    host.attach(nullptr);
    window.reset();
    database.keys.set_observer(nullptr);
    screen_log.observer = nullptr;
}
