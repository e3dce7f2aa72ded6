// The application object: every piece of process-wide state of the program, owned in one place
// and handed to the commands by reference. A test builds a fresh one.
#pragma once

#include "controller/link.h"
#include "database/key_list.h"
#include "events/event_decoder.h"
#include "events/logger.h"
#include "events/screen_log.h"
#include "platform/clock.h"
#include "sync/sync_thread.h"
#include "ui/commands/command_table.h"
#include "ui/host/qt_host.h"

#include <QUrl>

#include <functional>
#include <map>
#include <memory>

class MainWindow;

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
    DatabaseRecord database;        // the key database, shown as the key list
    DatabaseRecord controller_keys; // keys read back from the controller; never shown
    ScreenLog screen_log;
    Logger logger{database, screen_log, host, clock};
    DecoderContext decoder{host, clock, logger, database, controller_keys};
    Link link{host, clock, decoder};
    // Synchronize's thread; ended by ~App while the window still exists.
    SyncThread sync;

    // Which of the window's four children are shown; all off until the first
    // apply_window_properties.
    ViewFlags view{false, false, false, false};

    // Menu and toolbar ids to their actions and handlers.
    CommandTable commands{*this};
    // The key list's double-click: the Edit key data dialog on one row (1 for OK, 0 for Cancel).
    std::function<int(App&, int row)> edit_key_row;
    // Hands the manual to the desktop's default viewer.
    std::function<bool(const QUrl&)> open_url;

    // Created last and destroyed first: its models observe the records above.
    std::unique_ptr<MainWindow> window;
};

// Start-up: the window, both key lists, the database named on the command line (the program's
// arguments joined by single spaces), the window properties and the title; then shows the
// window. The caller runs the event loop.
void start_up(App& app, const std::string& command_line);
