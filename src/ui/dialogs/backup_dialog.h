// File › Restore backup: the kept copies of the open database, newest first, each with the time
// it was made and the keys it holds.
#pragma once

#include "database/database_backup.h"

#include <QDialog>

#include <optional>
#include <vector>

class QListWidget;

class BackupDialog final : public QDialog {
    Q_OBJECT
  public:
    BackupDialog(const std::vector<DatabaseBackup>& backups, QWidget* owner);

    QListWidget* list() const { return list_; }
    // The chosen row, once accepted.
    std::optional<size_t> chosen() const;

  private:
    QListWidget* list_ = nullptr;
};

// One line of the list: local time and key count.
QString backup_line(const DatabaseBackup& backup);
std::optional<size_t> run_backup_dialog(const std::vector<DatabaseBackup>& backups, QWidget* owner);
