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

// A field is read into a Buffer of this size with room for a terminator, so at most
// field_buffer - 1 bytes of it are taken.
constexpr uint32_t field_buffer = 2000;
constexpr size_t field_bytes_max = field_buffer - 1;
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

BufferPtr field_buffer_of(const std::string& bytes) {
    BufferPtr b = make_buffer(field_buffer);
    buffer_append_bytes(b.get(), bytes);
    return b;
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

    KeyId id;
    BufferPtr name = make_buffer(key_text_capacity);
    BufferPtr memo = make_buffer(key_text_capacity);
    BufferPtr free_field = make_buffer(key_text_capacity);
    read_key_row(app_.database, row_, &id, name.get(), memo.get(), free_field.get());
    name_bytes_ = buffer_string(name.get());
    memo_bytes_ = buffer_string(memo.get());
    free_bytes_ = buffer_string(free_field.get());
    BufferPtr number = make_buffer(100);
    buffer_append_hex(number.get(), static_cast<int32_t>(id.number), key_digits);

    const DialogUnits du(fontMetrics());

    key_ = new QLineEdit;
    key_->setObjectName(QStringLiteral("key_nr"));
    // Only what the number can be: up to six hexadecimal digits. Anything else would parse as
    // no number at all.
    key_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9A-Fa-f]{0,6}")), key_));
    key_->setMaxLength(key_digits);
    key_->setText(QString::fromLatin1(buffer_string(number.get())));
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

    auto* grid = new QGridLayout;
    grid->addWidget(field_label("Key nr:", key_, Qt::AlignVCenter), 0, 0);
    grid->addWidget(key_, 0, 1, Qt::AlignLeft);
    grid->addWidget(field_label("Name:", name_, Qt::AlignVCenter), 1, 0);
    grid->addWidget(name_, 1, 1);
    grid->addWidget(field_label("Memo:", memo_, Qt::AlignTop), 2, 0);
    grid->addWidget(memo_, 2, 1);
    grid->addWidget(field_label("Free field:", free_, Qt::AlignTop), 3, 0);
    grid->addWidget(free_, 3, 1);
    grid->setColumnStretch(1, 1);

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
    setTabOrder(free_, ok_);
    setTabOrder(ok_, cancel_);
    key_->setFocus();
    place_dialog(this);
}

void EditKeyDialog::accept() {
    BufferPtr key_text = field_buffer_of(key_->text().toStdString().substr(0, field_bytes_max));
    const int32_t number = buffer_parse_hex(key_text.get(), key_digits);
    if (number < 0) {
        // The validator lets nothing else through; should a text get past it, it is not a key
        // number and must not be stored as one.
        key_->setFocus();
        return;
    }
    BufferPtr name = field_buffer_of(field_bytes(name_->text(), name_bytes_, field_bytes_max));
    BufferPtr memo =
        field_buffer_of(field_bytes(memo_->toPlainText(), memo_bytes_, field_bytes_max));
    BufferPtr free_field =
        field_buffer_of(field_bytes(free_->toPlainText(), free_bytes_, field_bytes_max));
    replace_key_row(app_.database, row_, KeyId{0, static_cast<uint32_t>(number), 0}, name.get(),
                    memo.get(), free_field.get());
    mark_modified(app_);
    QDialog::accept();
}

int edit_key_dialog(App& app, int row) {
    EditKeyDialog dialog(app, row, app.window.get());
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
}
