// The application object: every piece of process-wide state of the program, owned in one place
// and handed to the commands by reference. A test builds a fresh one.
#pragma once

#include "controller/link.h"
#include "database/database_backup.h"
#include "database/key_list.h"
#include "events/event_decoder.h"
#include "events/logger.h"
#include "events/screen_log.h"
#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/port_binding.h"
#include "sync/sync_thread.h"
#include "ui/commands/command_table.h"
#include "ui/dialogs/csv_import_dialog.h"
#include "ui/host/qt_host.h"
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
    KeyDatabase database;    // the key database, shown as the key list
    KeyList controller_keys; // keys read back from the controller; never shown
    ScreenLog screen_log;
    Logger logger{database, screen_log, host, clock};
    DecoderContext decoder{host, clock, logger, database, controller_keys};
    Link link{host, clock, decoder};
    // Synchronize's thread; ended by ~App while the window still exists.
    SyncThread sync;

    // Reads a database being opened on its own thread; the commands that need the database are
    // greyed while it runs.
    DatabaseLoader loader{host};
    // Opens the file that Open, Import and Restore backup read; a test that hands out the bytes
    // itself puts in its own.
    std::function<File(const std::string& path)> open_for_loading = File::open_database;

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
    // The key list's double-click: the Edit key data dialog on one row (1 for OK, 0 for Cancel).
    std::function<int(App&, int row)> edit_key_row;
    // Hands the manual to the desktop's default viewer.
    std::function<bool(const QUrl&)> open_url;
    // Dialogs of the key-list work a test answers itself; empty for the real ones. The CSV file
    // dialog (save true for an export) gives the chosen path; the backup choice an index into
    // the list it was shown.
    std::function<std::optional<std::string>(App&, bool save)> csv_file;
    std::function<CsvImportChoice(App&, const CsvImportPlan&)> csv_import_preview;
    std::function<std::optional<size_t>(App&, const std::vector<DatabaseBackup>&)> choose_backup;
    // Shows Compare with controller's difference; true when the user chose Synchronize.
    std::function<bool(App&, const KeyDifference&)> show_comparison;

    // The serial devices the system reports, for the Settings list; empty for Qt's own
    // enumeration. Tests script the list.
    std::function<std::vector<SystemPort>()> system_ports;

    // Created last and destroyed first: its models observe the records above.
    std::unique_ptr<MainWindow> window;
};

// Start-up: the window, both key lists, the database named on the command line (the program's
// arguments joined by single spaces), the window properties and the title; then shows the
// window. The caller runs the event loop.
void start_up(App& app, const std::string& command_line);
