#include "ui/window/app_dialogs.h"

#include "ui/commands/commands.h"
#include "ui/dialogs/backup_dialog.h"
#include "ui/dialogs/compare_dialog.h"
#include "ui/dialogs/key_usage_dialog.h"
#include "ui/dialogs/settings_dialog.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>

int AppDialogs::edit_key(App& app, int row) {
    return edit_key_dialog(app, row);
}

bool AppDialogs::open_url(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

std::optional<std::string> AppDialogs::csv_file(App& app, bool save) {
    QFileDialog dialog(app.window.get());
    dialog.setNameFilters({QStringLiteral("CSV files (*.csv)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QFile::encodeName(dialog.selectedFiles().first()).toStdString();
}

CsvImportChoice AppDialogs::csv_import_preview(App& app, const CsvImportPlan& plan) {
    return run_csv_import_dialog(plan, app.window.get());
}

std::optional<size_t> AppDialogs::choose_backup(App& app,
                                                const std::vector<DatabaseBackup>& backups) {
    return run_backup_dialog(backups, app.window.get());
}

bool AppDialogs::show_comparison(App& app, const KeyDifference& diff) {
    CompareDialog dialog(app.database.keys, diff, app.window.get());
    return dialog.exec() == QDialog::Accepted;
}

std::vector<SystemPort> AppDialogs::system_ports() {
    return system_serial_ports();
}

File AppDialogs::open_for_loading(const std::string& path) {
    return File::open_database(path);
}

void AppDialogs::key_usage(KeyUsageDialog& dialog) {
    dialog.exec();
}
