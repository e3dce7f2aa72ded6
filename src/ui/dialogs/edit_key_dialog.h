// The Edit key data dialog: one key row's number, name, memo, free field and days of validity. OK
// writes them back into that row and marks the database modified; Cancel changes nothing.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>

#include <string>

class QGridLayout;
class QLineEdit;
class QPushButton;
struct App;

// A multi-line field of a dialog: Enter presses the dialog's default button, as in the one-line
// fields, and Ctrl+Enter starts a new line.
class DialogTextEdit final : public QPlainTextEdit {
    Q_OBJECT
  public:
    explicit DialogTextEdit(QWidget* parent = nullptr);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class EditKeyDialog final : public QDialog {
    Q_OBJECT
  public:
    // Shows the key of `row` (zeros and empty texts when there is no such row).
    EditKeyDialog(App& app, int row, QWidget* owner);

    int row() const { return row_; }
    QLineEdit* key_field() const { return key_; }
    QLineEdit* name_field() const { return name_; }
    DialogTextEdit* memo_field() const { return memo_; }
    DialogTextEdit* free_field() const { return free_; }
    // "YYYY-MM-DD" or empty for no such day; each has a button that empties it.
    QLineEdit* valid_from_field() const { return valid_from_; }
    QLineEdit* valid_until_field() const { return valid_until_; }
    QPushButton* ok_button() const { return ok_; }
    QPushButton* cancel_button() const { return cancel_; }

    void accept() override;

  private:
    // The constructor's parts. load_row takes the row's texts and days and returns its key
    // number as six hexadecimal digits.
    QString load_row();
    void build_text_fields(const QString& number);
    void build_buttons();
    QGridLayout* lay_out_fields();

    App& app_;
    int row_;
    // The texts as the row held them, so that fields left alone keep their bytes.
    std::string name_bytes_;
    std::string memo_bytes_;
    std::string free_bytes_;
    QLineEdit* key_ = nullptr;
    QLineEdit* name_ = nullptr;
    DialogTextEdit* memo_ = nullptr;
    DialogTextEdit* free_ = nullptr;
    QLineEdit* valid_from_ = nullptr;
    QLineEdit* valid_until_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
