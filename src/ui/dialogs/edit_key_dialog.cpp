#include "ui/dialogs/edit_key_dialog.h"

#include "core/buffer.h"
#include "database/key_list.h"
#include "ui/commands/commands.h"
#include "ui/models/key_text.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"
#include "ui/window/window_properties.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace {

// A field always kept room for a terminator: at most this many bytes of it are taken.
constexpr size_t field_bytes_max = key_text_capacity - 1;
constexpr uint32_t key_digits = 6;

// Dialog units, so that the fields keep their proportions with whatever font the desktop uses:
// a horizontal unit is a quarter of the average letter width, a vertical one an eighth of the
// line height.
struct DialogUnits {
    explicit DialogUnits(const QFontMetrics& fm) {
        static const QString letters =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        base_x = (fm.horizontalAdvance(letters) / 26 + 1) / 2;
        base_y = fm.height();
    }
    int x(int units) const { return units * base_x / 4; }
    int y(int units) const { return units * base_y / 8; }
    int base_x;
    int base_y;
};

QLabel* field_label(const char* text, QWidget* buddy, Qt::Alignment vertical) {
    auto* label = new QLabel(QString::fromLatin1(text));
    label->setAlignment(Qt::AlignRight | vertical);
    label->setBuddy(buddy);
    return label;
}

QLineEdit* day_field(const char* name, const std::optional<Day>& day) {
    auto* field = new QLineEdit;
    field->setObjectName(QString::fromLatin1(name));
    field->setPlaceholderText(QStringLiteral("YYYY-MM-DD"));
    field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9-]{0,10}")), field));
    field->setMaxLength(10);
    // The clear button is the way back to no day at all.
    field->setClearButtonEnabled(true);
    if (day) {
        field->setText(QString::fromStdString(day_text(*day)));
    }
    return field;
}

// An empty field is no day; a text that is no day leaves `ok` false.
std::optional<Day> field_day(const QLineEdit* field, bool& ok) {
    const std::string text = field->text().trimmed().toStdString();
    if (text.empty()) {
        return std::nullopt;
    }
    std::optional<Day> day = parse_day(text);
    ok = ok && day.has_value();
    return day;
}

} // namespace

DialogTextEdit::DialogTextEdit(QWidget* parent) : QPlainTextEdit(parent) {
    // In a dialog Tab moves to the next field; a tab character can still be pasted.
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
}

void DialogTextEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (event->modifiers() & Qt::ControlModifier) {
            insertPlainText(QStringLiteral("\n"));
            event->accept();
            return;
        }
        // Left unaccepted, the key goes up to the dialog, which presses its default button.
        event->ignore();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

EditKeyDialog::EditKeyDialog(App& app, int row, QWidget* owner)
    : QDialog(owner), app_(app), row_(row) {
    setWindowTitle(QStringLiteral("Edit key data"));
    setModal(true);

    const QString number = load_row();
    build_text_fields(number);
    build_buttons();
    QGridLayout* grid = lay_out_fields();

    const DialogUnits du(fontMetrics());
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addStretch(1);

    auto* layout = new QHBoxLayout(this);
    layout->addLayout(grid, 1);
    layout->addSpacing(du.x(7));
    layout->addLayout(buttons);

    setTabOrder(key_, name_);
    setTabOrder(name_, memo_);
    setTabOrder(memo_, free_);
    setTabOrder(free_, valid_from_);
    setTabOrder(valid_from_, valid_until_);
    setTabOrder(valid_until_, ok_);
    setTabOrder(ok_, cancel_);
    key_->setFocus();
    place_dialog(this);
}

QString EditKeyDialog::load_row() {
    const KeyRecord* record = app_.database.keys.row(row_);
    name_bytes_ = record ? record->name : std::string();
    memo_bytes_ = record ? record->memo : std::string();
    free_bytes_ = record ? record->free_field : std::string();
    valid_from_ = day_field("valid_from", record ? record->valid_from : std::nullopt);
    valid_until_ = day_field("valid_until", record ? record->valid_until : std::nullopt);
    return QString::fromLatin1(key_number_text(record ? record->id.number : 0));
}

void EditKeyDialog::build_text_fields(const QString& number) {
    const DialogUnits du(fontMetrics());

    key_ = new QLineEdit;
    key_->setObjectName(QStringLiteral("key_nr"));
    // Only what the number can be: up to six hexadecimal digits. Anything else would parse as
    // no number at all.
    key_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9A-Fa-f]{0,6}")), key_));
    key_->setMaxLength(key_digits);
    key_->setText(number);
    key_->setFixedWidth(std::max(
        du.x(39), fontMetrics().horizontalAdvance(QStringLiteral("DDDDDD")) + du.base_x * 2));

    name_ = new QLineEdit;
    name_->setObjectName(QStringLiteral("name"));
    name_->setText(display_text(name_bytes_));

    memo_ = new DialogTextEdit;
    memo_->setObjectName(QStringLiteral("memo"));
    memo_->setPlainText(display_text(memo_bytes_));

    free_ = new DialogTextEdit;
    free_->setObjectName(QStringLiteral("free_field"));
    free_->setPlainText(display_text(free_bytes_));

    for (QWidget* w : {static_cast<QWidget*>(name_), static_cast<QWidget*>(memo_),
                       static_cast<QWidget*>(free_)}) {
        w->setMinimumWidth(du.x(196));
    }
    for (DialogTextEdit* e : {memo_, free_}) {
        e->setFixedHeight(
            std::max(du.y(40), e->fontMetrics().lineSpacing() * 3 + 2 * e->frameWidth() + 8));
    }
}

void EditKeyDialog::build_buttons() {
    const DialogUnits du(fontMetrics());
    ok_ = new QPushButton(QStringLiteral("OK"));
    ok_->setDefault(true);
    ok_->setAutoDefault(false);
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    cancel_->setAutoDefault(false);
    for (QPushButton* b : {ok_, cancel_}) {
        b->setMinimumWidth(du.x(50));
    }
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

QGridLayout* EditKeyDialog::lay_out_fields() {
    const DialogUnits du(fontMetrics());
    auto* grid = new QGridLayout;
    grid->addWidget(field_label("Key nr:", key_, Qt::AlignVCenter), 0, 0);
    grid->addWidget(key_, 0, 1, Qt::AlignLeft);
    grid->addWidget(field_label("Name:", name_, Qt::AlignVCenter), 1, 0);
    grid->addWidget(name_, 1, 1);
    grid->addWidget(field_label("Memo:", memo_, Qt::AlignTop), 2, 0);
    grid->addWidget(memo_, 2, 1);
    grid->addWidget(field_label("Free field:", free_, Qt::AlignTop), 3, 0);
    grid->addWidget(free_, 3, 1);
    grid->addWidget(field_label("Valid from:", valid_from_, Qt::AlignVCenter), 4, 0);
    grid->addWidget(valid_from_, 4, 1, Qt::AlignLeft);
    grid->addWidget(field_label("Valid until:", valid_until_, Qt::AlignVCenter), 5, 0);
    grid->addWidget(valid_until_, 5, 1, Qt::AlignLeft);
    for (QLineEdit* f : {valid_from_, valid_until_}) {
        f->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00")) +
                         du.base_x * 6);
    }
    grid->setColumnStretch(1, 1);
    return grid;
}

void EditKeyDialog::accept() {
    const int32_t number = parse_key_number(key_->text().toStdString());
    if (number < 0) {
        // The validator lets nothing else through; should a text get past it, it is not a key
        // number and must not be stored as one.
        key_->setFocus();
        return;
    }
    bool from_ok = true;
    bool until_ok = true;
    const std::optional<Day> from = field_day(valid_from_, from_ok);
    const std::optional<Day> until = field_day(valid_until_, until_ok);
    if (!from_ok || !until_ok) {
        app_.host.message_box("Edit key data",
                              "A day of validity must be written YYYY-MM-DD, or left empty.",
                              MsgIcon::Warning);
        (from_ok ? valid_until_ : valid_from_)->setFocus();
        return;
    }
    if (from && until && *until < *from) {
        app_.host.message_box("Edit key data",
                              "The key cannot be valid from a day after its last valid day.",
                              MsgIcon::Warning);
        valid_until_->setFocus();
        return;
    }
    app_.database.keys.replace(row_, KeyId{0, static_cast<uint32_t>(number), 0},
                               field_bytes(name_->text(), name_bytes_, field_bytes_max),
                               field_bytes(memo_->toPlainText(), memo_bytes_, field_bytes_max),
                               field_bytes(free_->toPlainText(), free_bytes_, field_bytes_max));
    app_.database.keys.set_validity(row_, from, until);
    mark_modified(app_);
    QDialog::accept();
}

int edit_key_dialog(App& app, int row) {
    EditKeyDialog dialog(app, row, app.window.get());
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
}
