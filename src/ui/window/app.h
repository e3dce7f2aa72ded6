// The application object: every piece of process-wide state of the program, owned in one place
// and handed to the commands by reference. A test builds a fresh one.
#pragma once

#include "client/service_attachment.h"
#include "controller/link.h"
#include "database/database_backup.h"
#include "database/key_list.h"
#include "events/event_decoder.h"
#include "events/logger.h"
#include "events/screen_log.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/port_binding.h"
#include "session/controller_session.h"
#include "session/controller_switch.h"
#include "sync/sync_thread.h"
#include "ui/commands/command_table.h"
#include "ui/dialogs/csv_import_dialog.h"
#include "ui/host/qt_host.h"
#include "ui/window/app_dialogs.h"
#include "ui/window/database_loader.h"
#include "ui/window/document.h"

#include <QUrl>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class MainWindow;
class QSettings;
class QSocketNotifier;

struct App {
    // A test hands in its own host; the program takes the Qt one.
    explicit App(Clock& clock = system_clock(),
                 std::unique_ptr<QtHost> host = std::make_unique<QtHost>());
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    Clock& clock;
    std::unique_ptr<QtHost> owned_host;
    QtHost& host;
    // The controller the window serves. Its parts go by the names the window's code has
    // always used: the key database shown as the key list, the keys read back from the
    // controller (never shown), the screen log, the logger, the decoder, the link and
    // Synchronize's thread, ended by ~App while the window still exists.
    ControllerSession session{host, clock};
    // What the commands drive the controller through: the session here, or the service's
    // controller while the window is attached to it.
    ControllerSwitch controller{session};
    // While tessaryd serves the open database: the window follows it instead of opening the
    // port, and the notifier hands it the service's lines as they come.
    std::unique_ptr<ServiceAttachment> attachment;
    std::unique_ptr<QSocketNotifier> attachment_notifier;
    // Where the window looks for the service; a test puts its own.
    std::string service_socket = default_socket_path();
    KeyDatabase& database = session.database();
    KeyList& controller_keys = session.controller_keys();
    ScreenLog& screen_log = session.screen_log();
    Logger& logger = session.logger();
    DecoderContext& decoder = session.decoder();
    Link& link = session.link();
    SyncThread& sync = session.sync();
    // Shows what the session tells: Synchronize greyed while it runs, its progress bar, the
    // database marked changed, a comparison's result.
    std::unique_ptr<SessionObserver> session_view;

    // Reads a database being opened on its own thread; the commands that need the database are
    // greyed while it runs.
    DatabaseLoader loader{host};

    // The open database's layout, modified flag, lock and read-only state.
    Document document;
    // A backup copy that could not be made is told once in a session: every save after it
    // would fail the same way.
    bool backup_failure_shown = false;
    // Recent files and the file dialogs' last folder. start_up takes the user's settings unless
    // a test has put its own here.
    std::unique_ptr<QSettings> settings;

    // Which of the window's four children are shown; all off until the first
    // apply_window_properties.
    ViewFlags view{false, false, false, false};

    // Menu and toolbar ids to their actions and handlers.
    CommandTable commands{*this};
    // The dialogs whose answers the commands wait for; a test puts in its own.
    std::unique_ptr<AppDialogs> dialogs = std::make_unique<AppDialogs>();

    // Created last and destroyed first: its models observe the records above.
    std::unique_ptr<MainWindow> window;
};

// Start-up: the window, both key lists, the database named on the command line (the program's
// arguments joined by single spaces), the window properties and the title; then shows the
// window. The caller runs the event loop.
void start_up(App& app, const std::string& command_line);
