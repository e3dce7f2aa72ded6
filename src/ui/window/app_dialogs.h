// The dialogs and desktop services whose answer the window's commands wait for. The program's
// own show the Qt dialogs; a test puts in its own, answering what it scripts.
#pragma once

#include "database/database_backup.h"
#include "platform/file.h"
#include "platform/port_binding.h"
#include "ui/dialogs/csv_import_dialog.h"

#include <QUrl>

#include <optional>
#include <string>
#include <vector>

struct App;
struct KeyDifference;
class KeyUsageDialog;

struct AppDialogs {
    virtual ~AppDialogs() = default;
    // Edit key data on one row: 1 for OK, 0 for Cancel.
    virtual int edit_key(App& app, int row);
    // Hands a document (the manual) to the desktop's default viewer; false when none took it.
    virtual bool open_url(const QUrl& url);
    // The CSV file dialog, for an export when save is true; the chosen path.
    virtual std::optional<std::string> csv_file(App& app, bool save);
    virtual CsvImportChoice csv_import_preview(App& app, const CsvImportPlan& plan);
    // An index into the list it was shown.
    virtual std::optional<size_t> choose_backup(App& app,
                                                const std::vector<DatabaseBackup>& backups);
    // Compare with controller's difference; true when the user chose Synchronize.
    virtual bool show_comparison(App& app, const KeyDifference& diff);
    // Keys › Key usage, shown until closed.
    virtual void key_usage(KeyUsageDialog& dialog);
    // The serial devices the system reports, with their stable names, for the Settings list.
    virtual std::vector<SystemPort> system_ports();
    // Opens the file that Open, Import and Restore backup read.
    virtual File open_for_loading(const std::string& path);
};
