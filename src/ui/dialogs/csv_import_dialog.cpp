#include "ui/dialogs/csv_import_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

CsvImportDialog::CsvImportDialog(const CsvImportPlan& plan, QWidget* owner) : QDialog(owner) {
    setWindowTitle(QStringLiteral("Tessary - Import keys from CSV"));
    // Wide enough for a bad row's line and reason.
    setMinimumWidth(460);
    auto* layout = new QVBoxLayout(this);
    const QString fresh = plan.new_keys == 1 ? QStringLiteral("1 new key")
                                             : QStringLiteral("%1 new keys").arg(plan.new_keys);
    const QString known = plan.existing_keys == 1
                              ? QStringLiteral("1 key")
                              : QStringLiteral("%1 keys").arg(plan.existing_keys);
    summary_ = QStringLiteral("%1, %2 already in the database").arg(fresh, known);
    layout->addWidget(new QLabel(summary_));
    update_ = new QCheckBox(QStringLiteral("&Update the keys that already exist"));
    update_->setEnabled(plan.existing_keys > 0);
    layout->addWidget(update_);
    if (!plan.extra_columns.empty()) {
        QStringList names;
        for (const std::string& name : plan.extra_columns) {
            names << QString::fromStdString(name);
        }
        auto* extra = new QLabel(QStringLiteral("Columns ignored: ") + names.join(u", "));
        extra->setTextFormat(Qt::PlainText);
        layout->addWidget(extra);
    }
    auto* buttons = new QDialogButtonBox;
    import_ = buttons->addButton(QStringLiteral("&Import"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    if (!plan.bad_rows.empty()) {
        layout->addWidget(
            new QLabel(QStringLiteral("%1 rows cannot be imported:").arg(plan.bad_rows.size())));
        bad_rows_ = new QListWidget;
        for (const CsvBadRow& bad : plan.bad_rows) {
            bad_rows_->addItem(QStringLiteral("Line %1: %2")
                                   .arg(bad.line)
                                   .arg(QString::fromUtf8(csv_bad_reason_text(bad.reason))));
        }
        layout->addWidget(bad_rows_);
        good_only_ = new QCheckBox(QStringLiteral("Import the &good rows only"));
        layout->addWidget(good_only_);
        // The whole file is refused until the user settles for its good rows.
        import_->setEnabled(false);
        connect(good_only_, &QCheckBox::toggled, import_, &QPushButton::setEnabled);
    }
    if (plan.rows.empty()) {
        import_->setEnabled(false);
        if (good_only_) {
            good_only_->setEnabled(false);
        }
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QString CsvImportDialog::summary() const {
    return summary_;
}

CsvImportChoice CsvImportDialog::choice() const {
    return {result() == QDialog::Accepted, update_->isChecked()};
}

CsvImportChoice run_csv_import_dialog(const CsvImportPlan& plan, QWidget* owner) {
    CsvImportDialog dialog(plan, owner);
    dialog.exec();
    return dialog.choice();
}
