#include "ui/dialogs/backup_dialog.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

QString backup_line(const DatabaseBackup& backup) {
    const QDateTime made = QDateTime::fromSecsSinceEpoch(backup.time).toLocalTime();
    return QStringLiteral("%1    %2 keys")
        .arg(made.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
        .arg(backup.key_count);
}

BackupDialog::BackupDialog(const std::vector<DatabaseBackup>& backups, QWidget* owner)
    : QDialog(owner) {
    setWindowTitle(QStringLiteral("Tessary - Restore backup"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral(
        "The copies kept of this database, newest first.\nThe one you choose opens as an "
        "unsaved database.")));
    list_ = new QListWidget;
    for (const DatabaseBackup& backup : backups) {
        list_->addItem(backup_line(backup));
    }
    list_->setCurrentRow(0);
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Open | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    layout->addWidget(buttons);
}

std::optional<size_t> BackupDialog::chosen() const {
    if (result() != QDialog::Accepted || list_->currentRow() < 0) {
        return std::nullopt;
    }
    return static_cast<size_t>(list_->currentRow());
}

std::optional<size_t> run_backup_dialog(const std::vector<DatabaseBackup>& backups,
                                        QWidget* owner) {
    BackupDialog dialog(backups, owner);
    dialog.exec();
    return dialog.chosen();
}
