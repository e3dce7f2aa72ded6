// The preview of an import of keys from CSV: how many keys are new, how many the database holds
// already (kept, or updated when the user ticks that), and every bad row with its line and
// reason. A file with bad rows is refused until the user ticks to import the good rows only.
#pragma once

#include "database/csv.h"

#include <QDialog>

class QCheckBox;
class QListWidget;
class QPushButton;

struct CsvImportChoice {
    bool import = false;
    bool update_existing = false;
};

class CsvImportDialog final : public QDialog {
    Q_OBJECT
  public:
    CsvImportDialog(const CsvImportPlan& plan, QWidget* owner);

    CsvImportChoice choice() const;
    QPushButton* import_button() const { return import_; }
    QCheckBox* update_box() const { return update_; }
    QCheckBox* good_only_box() const { return good_only_; } // null without bad rows
    QListWidget* bad_rows() const { return bad_rows_; }     // null without bad rows
    QString summary() const;

  private:
    QPushButton* import_ = nullptr;
    QCheckBox* update_ = nullptr;
    QCheckBox* good_only_ = nullptr;
    QListWidget* bad_rows_ = nullptr;
    QString summary_;
};

// Shows the dialog modally; a cancelled dialog imports nothing.
CsvImportChoice run_csv_import_dialog(const CsvImportPlan& plan, QWidget* owner);
