// The Edit key data dialog and the key commands (New key, Edit keys, Delete keys, Copy from log),
// driven through the menu and the real dialog as a user would.
#include "ui/window_test_support.h"

#include "ui/commands/commands.h"
#include "ui/dialogs/edit_key_dialog.h"
#include "ui/models/key_list_model.h"
#include "ui/models/key_text.h"
#include "ui/models/row_click_view.h"
#include "ui/models/screen_log_model.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <deque>
#include <functional>

namespace {

void add(KeyDatabase& db, uint32_t number, const std::string& name, const std::string& memo = {},
         const std::string& free_field = {}) {
    QVERIFY(db.keys.add(KeyId{0, number, 0}, name, memo, free_field) >= 0);
}

const KeyRecord& key(const TestApp& t, int row) {
    const KeyRecord* k = t.app->database.keys.row(row);
    Q_ASSERT(k);
    return *k;
}

QString cell(TestApp& t, int row, int column) {
    return t.window().key_model()->index(row, column).data().toString();
}

void select_rows(RowClickView* view, std::initializer_list<int> rows) {
    view->selectionModel()->clearSelection();
    for (int r : rows) {
        view->selectionModel()->select(view->model()->index(r, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

void log_row(TestApp& t, const std::string& key_text, const std::string& event) {
    screen_log_append(t.app->screen_log, LogRow{key_text, event, "2003/7/4 9:05", false});
}

// What a dialog showed when it opened.
struct Shown {
    int row;
    QString key;
    QString name;
    QString memo;
    QString free_field;
};

// Answers each Edit key data dialog, as it opens, with the next scripted step; a dialog that
// finds no step left is cancelled and counted, so a test that expected fewer dialogs fails
// instead of hanging.
class DialogScript : public QObject {
  public:
    using Step = std::function<void(EditKeyDialog&)>;

    DialogScript() {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, &DialogScript::poll);
        timer_.start();
    }
    void then(Step step) { steps_.push_back(std::move(step)); }

    std::vector<Shown> shown;
    int unscripted = 0;
    size_t steps_left() const { return steps_.size(); }

  private:
    void poll() {
        auto* d = qobject_cast<EditKeyDialog*>(QApplication::activeModalWidget());
        if (!d || d->property("scripted").toBool()) {
            return;
        }
        d->setProperty("scripted", true);
        shown.push_back({d->row(), d->key_field()->text(), d->name_field()->text(),
                         d->memo_field()->toPlainText(), d->free_field()->toPlainText()});
        if (steps_.empty()) {
            ++unscripted;
            d->reject();
            return;
        }
        Step step = std::move(steps_.front());
        steps_.pop_front();
        step(*d);
    }

    QTimer timer_;
    std::deque<Step> steps_;
};

void press_ok(EditKeyDialog& d) {
    QTest::mouseClick(d.ok_button(), Qt::LeftButton);
}

void press_cancel(EditKeyDialog& d) {
    QTest::mouseClick(d.cancel_button(), Qt::LeftButton);
}

// Replaces a one-line field's text by typing.
void type_into(QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClicks(field, text);
}

DialogScript::Step name_then_ok(const QString& name) {
    return [name](EditKeyDialog& d) {
        type_into(d.name_field(), name);
        press_ok(d);
    };
}

DialogScript::Step name_then_cancel(const QString& name) {
    return [name](EditKeyDialog& d) {
        type_into(d.name_field(), name);
        press_cancel(d);
    };
}

} // namespace

class KeyEditingTest : public QObject {
    Q_OBJECT
  private slots:
    void dialog_caption_labels_and_buttons();
    void dialog_shows_the_row();
    void new_key_then_cancel_changes_nothing();
    void new_key_then_ok_adds_an_empty_key();
    void key_number_field_takes_six_hex_digits();
    void tabs_are_stored_as_spaces();
    void enter_presses_ok_and_ctrl_enter_starts_a_line();
    void escape_cancels();
    void a_number_another_row_holds_is_accepted();
    void edit_keys_opens_one_dialog_per_selected_row_in_order();
    void double_click_edits_the_focused_row();
    void delete_keys_deletes_adjacent_selected_rows();
    void delete_keys_without_a_selection_does_nothing();
    void copy_from_log_offers_a_key_once_it_is_committed();
    void copy_from_log_offers_a_cancelled_key_again();
    void copy_from_log_cancelled_leaves_the_key_list();
    void copy_from_log_skips_rows_without_a_new_key();
    void dialog_texts_keep_their_encoding();
    void typed_text_is_cut_on_a_character_boundary();
    void log_lines_show_names_as_the_key_list_does();
    void validity_days_are_shown_set_and_emptied();
    void validity_days_that_cannot_be_are_refused();
};

void KeyEditingTest::dialog_caption_labels_and_buttons() {
    TestApp t;
    add(t.app->database, 0xa3f1, "Caretaker");
    EditKeyDialog d(*t.app, 0, &t.window());
    QCOMPARE(d.windowTitle(), QStringLiteral("Edit key data"));
    QVERIFY(d.isModal());
    QStringList labels;
    for (QLabel* l : d.findChildren<QLabel*>()) {
        labels << l->text();
        QVERIFY(l->alignment() & Qt::AlignRight);
    }
    labels.sort();
    QCOMPARE(
        labels,
        (QStringList{"Free field:", "Key nr:", "Memo:", "Name:", "Valid from:", "Valid until:"}));
    QCOMPARE(d.ok_button()->text(), QStringLiteral("OK"));
    QCOMPARE(d.cancel_button()->text(), QStringLiteral("Cancel"));
    QVERIFY(d.ok_button()->isDefault());
    QVERIFY(!d.cancel_button()->isDefault());
    // Each label names its own field.
    for (QLabel* l : d.findChildren<QLabel*>()) {
        QWidget* want = l->text() == "Key nr:"        ? static_cast<QWidget*>(d.key_field())
                        : l->text() == "Name:"        ? static_cast<QWidget*>(d.name_field())
                        : l->text() == "Memo:"        ? static_cast<QWidget*>(d.memo_field())
                        : l->text() == "Valid from:"  ? static_cast<QWidget*>(d.valid_from_field())
                        : l->text() == "Valid until:" ? static_cast<QWidget*>(d.valid_until_field())
                                                      : static_cast<QWidget*>(d.free_field());
        QCOMPARE(l->buddy(), want);
    }
}

void KeyEditingTest::dialog_shows_the_row() {
    TestApp t;
    add(t.app->database, 0x1, "One");
    add(t.app->database, 0xa3f1, "Caretaker", "Night shift", "Room 12");
    EditKeyDialog d(*t.app, 1, &t.window());
    QCOMPARE(d.key_field()->text(), QStringLiteral("00a3f1"));
    QCOMPARE(d.name_field()->text(), QStringLiteral("Caretaker"));
    QCOMPARE(d.memo_field()->toPlainText(), QStringLiteral("Night shift"));
    QCOMPARE(d.free_field()->toPlainText(), QStringLiteral("Room 12"));
    // A row that is not there shows zeros and empty texts.
    EditKeyDialog none(*t.app, 7, &t.window());
    QCOMPARE(none.key_field()->text(), QStringLiteral("000000"));
    QCOMPARE(none.name_field()->text(), QString());
}

void KeyEditingTest::new_key_then_cancel_changes_nothing() {
    TestApp t;
    add(t.app->database, 0xa3f1, "Caretaker");
    DialogScript script;
    script.then(name_then_cancel("Visitor"));
    t.window().action(CmdNewKey)->trigger();
    QCOMPARE(script.shown.size(), size_t(1));
    // The dialog edited a new empty row at the end.
    QCOMPARE(script.shown[0].row, 1);
    QCOMPARE(script.shown[0].key, QStringLiteral("000000"));
    QCOMPARE(script.shown[0].name, QString());
    QCOMPARE(t.app->database.keys.size(), 1);
    QCOMPARE(t.window().key_model()->rowCount(), 1);
    QCOMPARE(key(t, 0).name, std::string("Caretaker"));
    QVERIFY(!t.app->document.modified);
}

void KeyEditingTest::new_key_then_ok_adds_an_empty_key() {
    TestApp t;
    DialogScript script;
    script.then(press_ok);
    t.window().action(CmdNewKey)->trigger();
    QCOMPARE(script.shown.size(), size_t(1));
    QCOMPARE(t.app->database.keys.size(), 1);
    QCOMPARE(key(t, 0).id, (KeyId{0, 0, 0}));
    QCOMPARE(key(t, 0).name, std::string());
    QCOMPARE(cell(t, 0, 0), QStringLiteral("000000"));
    QVERIFY(t.app->document.modified);
}

void KeyEditingTest::key_number_field_takes_six_hex_digits() {
    TestApp t;
    DialogScript script;
    auto type_key = [](const QString& text) {
        return [text](EditKeyDialog& d) {
            type_into(d.key_field(), text);
            press_ok(d);
        };
    };
    script.then(type_key("1A2b"));
    script.then(type_key("1234567"));
    script.then([](EditKeyDialog& d) {
        d.key_field()->clear();
        press_ok(d);
    });
    // Nothing but hexadecimal digits gets in: blanks, signs and other letters are refused.
    script.then(type_key(" 1x-2g"));
    for (int i = 0; i < 4; ++i) {
        t.window().action(CmdNewKey)->trigger();
    }
    QCOMPARE(script.shown.size(), size_t(4));
    QCOMPARE(t.app->database.keys.size(), 4);
    QCOMPARE(key(t, 0).id, (KeyId{0, 0x1a2b, 0}));
    QCOMPARE(cell(t, 0, 0), QStringLiteral("001a2b"));
    QCOMPARE(key(t, 1).id.number, 0x123456u);
    QCOMPARE(key(t, 2).id.number, 0u);
    QCOMPARE(key(t, 3).id.number, 0x12u);

    // A pasted text that holds anything else is refused whole.
    EditKeyDialog d(*t.app, 0, &t.window());
    d.key_field()->selectAll();
    d.key_field()->insert(QStringLiteral("12 34"));
    QCOMPARE(d.key_field()->text(), QStringLiteral("001a2b"));
    d.key_field()->selectAll();
    d.key_field()->insert(QStringLiteral("-12"));
    QCOMPARE(d.key_field()->text(), QStringLiteral("001a2b"));
    // A longer run of digits keeps its first six, as the number is read.
    d.key_field()->selectAll();
    d.key_field()->insert(QStringLiteral("abcdef12"));
    QCOMPARE(d.key_field()->text(), QStringLiteral("abcdef"));
}

void KeyEditingTest::tabs_are_stored_as_spaces() {
    TestApp t;
    add(t.app->database, 0x5, "x");
    DialogScript script;
    script.then([](EditKeyDialog& d) {
        // As pasted: a tab key press moves to the next field instead.
        d.name_field()->setText(QStringLiteral("a\tb"));
        d.memo_field()->setPlainText(QStringLiteral("c\td"));
        d.free_field()->setPlainText(QStringLiteral("\te\t"));
        press_ok(d);
    });
    select_rows(t.window().key_view(), {0});
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(script.shown.size(), size_t(1));
    QCOMPARE(key(t, 0).name, std::string("a b"));
    QCOMPARE(key(t, 0).memo, std::string("c d"));
    QCOMPARE(key(t, 0).free_field, std::string(" e "));
    QCOMPARE(key(t, 0).id.number, 5u);
    QVERIFY(t.app->document.modified);
}

void KeyEditingTest::enter_presses_ok_and_ctrl_enter_starts_a_line() {
    TestApp t;
    add(t.app->database, 0x5, "x");
    DialogScript script;
    QString memo_before_ok;
    script.then([&](EditKeyDialog& d) {
        d.memo_field()->setFocus();
        d.memo_field()->moveCursor(QTextCursor::End);
        QTest::keyClicks(d.memo_field(), "first");
        QTest::keyClick(d.memo_field(), Qt::Key_Return, Qt::ControlModifier);
        QTest::keyClicks(d.memo_field(), "second");
        memo_before_ok = d.memo_field()->toPlainText();
        QVERIFY(d.isVisible());
        QTest::keyClick(d.memo_field(), Qt::Key_Return);
    });
    script.then([](EditKeyDialog& d) {
        QTest::keyClick(d.free_field(), Qt::Key_Enter, Qt::ControlModifier);
        QCOMPARE(d.free_field()->toPlainText(), QStringLiteral("\n"));
        type_into(d.name_field(), "Named");
        QTest::keyClick(d.free_field(), Qt::Key_Enter);
    });
    script.then([](EditKeyDialog& d) {
        type_into(d.name_field(), "From the name field");
        QTest::keyClick(d.name_field(), Qt::Key_Return);
    });
    select_rows(t.window().key_view(), {0});
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(memo_before_ok, QStringLiteral("first\nsecond"));
    // The key list keeps no line breaks: a saved file would split the key at them.
    QCOMPARE(key(t, 0).memo, std::string("first second"));
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(key(t, 0).name, std::string("Named"));
    QCOMPARE(key(t, 0).free_field, std::string(" "));
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(key(t, 0).name, std::string("From the name field"));
    QCOMPARE(script.shown.size(), size_t(3));
    QCOMPARE(script.unscripted, 0);
}

void KeyEditingTest::escape_cancels() {
    TestApp t;
    add(t.app->database, 0x5, "x");
    DialogScript script;
    script.then([](EditKeyDialog& d) {
        type_into(d.name_field(), "changed");
        QTest::keyClick(d.name_field(), Qt::Key_Escape);
    });
    QCOMPARE(edit_key_dialog(*t.app, 0), 0);
    QCOMPARE(key(t, 0).name, std::string("x"));
    QVERIFY(!t.app->document.modified);
    script.then(press_ok);
    QCOMPARE(edit_key_dialog(*t.app, 0), 1);
    QVERIFY(t.app->document.modified);
}

void KeyEditingTest::a_number_another_row_holds_is_accepted() {
    TestApp t;
    add(t.app->database, 0xa3f1, "Caretaker");
    add(t.app->database, 0x12, "Visitor");
    DialogScript script;
    script.then([](EditKeyDialog& d) {
        type_into(d.key_field(), "A3F1");
        press_ok(d);
    });
    select_rows(t.window().key_view(), {1});
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(t.app->database.keys.size(), 2);
    QCOMPARE(cell(t, 0, 0), QStringLiteral("00a3f1"));
    QCOMPARE(cell(t, 1, 0), QStringLiteral("00a3f1"));
    QCOMPARE(cell(t, 1, 1), QStringLiteral("Visitor"));
}

void KeyEditingTest::edit_keys_opens_one_dialog_per_selected_row_in_order() {
    TestApp t;
    for (uint32_t n = 1; n <= 4; ++n) {
        add(t.app->database, n, "key " + std::to_string(n));
    }
    DialogScript script;
    script.then(name_then_ok("first"));
    script.then(name_then_cancel("second"));
    script.then(name_then_ok("third"));
    select_rows(t.window().key_view(), {3, 0, 2});
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(script.shown.size(), size_t(3));
    QCOMPARE(script.shown[0].row, 0);
    QCOMPARE(script.shown[1].row, 2);
    QCOMPARE(script.shown[2].row, 3);
    QCOMPARE(script.shown[1].name, QStringLiteral("key 3"));
    QCOMPARE(key(t, 0).name, std::string("first"));
    QCOMPARE(key(t, 1).name, std::string("key 2"));
    QCOMPARE(key(t, 2).name, std::string("key 3"));
    QCOMPARE(key(t, 3).name, std::string("third"));
    QCOMPARE(cell(t, 3, 1), QStringLiteral("third"));
    QVERIFY(t.app->document.modified);

    // No row selected: no dialog.
    select_rows(t.window().key_view(), {});
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(script.shown.size(), size_t(3));
}

void KeyEditingTest::double_click_edits_the_focused_row() {
    TestApp t;
    add(t.app->database, 1, "one");
    add(t.app->database, 2, "two");
    DialogScript script;
    script.then(name_then_ok("second key"));
    RowClickView* view = t.window().key_view();
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                       QPoint(view->columnViewportPosition(2) + 5,
                              view->rowViewportPosition(1) + view->rowHeight(1) / 2));
    QCOMPARE(script.shown.size(), size_t(1));
    QCOMPARE(script.shown[0].row, 1);
    QCOMPARE(key(t, 1).name, std::string("second key"));
    QVERIFY(t.app->document.modified);
}

void KeyEditingTest::delete_keys_deletes_adjacent_selected_rows() {
    TestApp t;
    for (uint32_t n = 1; n <= 5; ++n) {
        add(t.app->database, n, "key " + std::to_string(n));
    }
    select_rows(t.window().key_view(), {1, 2, 4});
    t.window().action(CmdDeleteKeys)->trigger();
    QCOMPARE(t.app->database.keys.size(), 2);
    QCOMPARE(key(t, 0).id.number, 1u);
    QCOMPARE(key(t, 1).id.number, 4u);
    QCOMPARE(t.window().key_model()->rowCount(), 2);
    QCOMPARE(cell(t, 1, 1), QStringLiteral("key 4"));
    QVERIFY(t.app->document.modified);
    // The Delete key in the key list does the same.
    select_rows(t.window().key_view(), {0});
    QTest::keyClick(t.window().key_view(), Qt::Key_Delete);
    QCOMPARE(t.app->database.keys.size(), 1);
    QCOMPARE(key(t, 0).id.number, 4u);
}

void KeyEditingTest::delete_keys_without_a_selection_does_nothing() {
    TestApp t;
    add(t.app->database, 1, "one");
    add(t.app->database, 2, "two");
    select_rows(t.window().key_view(), {});
    t.window().action(CmdDeleteKeys)->trigger();
    QCOMPARE(t.app->database.keys.size(), 2);
    QVERIFY(!t.app->document.modified);
    QVERIFY(t.boxes().empty());
}

void KeyEditingTest::copy_from_log_offers_a_key_once_it_is_committed() {
    TestApp t;
    log_row(t, "00a3f1", "Invalid key detected.");
    log_row(t, " - ", "Log started");
    log_row(t, "00a3f1", "Invalid key detected.");
    select_rows(t.window().log_view(), {0, 1, 2});
    DialogScript script;
    script.then([](EditKeyDialog& d) {
        QCOMPARE(d.key_field()->text(), QStringLiteral("00a3f1"));
        QCOMPARE(d.name_field()->text(), QStringLiteral("<No name yet>"));
        type_into(d.name_field(), "Caretaker");
        press_ok(d);
    });
    t.window().action(CmdCopyFromLog)->trigger();
    QCOMPARE(script.shown.size(), size_t(1));
    QCOMPARE(script.unscripted, 0);
    QCOMPARE(t.app->database.keys.size(), 1);
    QCOMPARE(key(t, 0).id, (KeyId{0, 0xa3f1, 0}));
    QCOMPARE(key(t, 0).name, std::string("Caretaker"));
    QVERIFY(t.app->document.modified);
    // The screen log is left as it was; no controller request was posted.
    QCOMPARE(screen_log_row_count(t.app->screen_log), 3);
    QCOMPARE(t.app->link.pending_requests(), 0u);
    QVERIFY(t.boxes().empty());
}

void KeyEditingTest::copy_from_log_offers_a_cancelled_key_again() {
    TestApp t;
    log_row(t, "00a3f1", "Invalid key detected.");
    log_row(t, "00A3F1", "Invalid key detected.");
    select_rows(t.window().log_view(), {0, 1});
    DialogScript script;
    script.then(press_cancel);
    script.then(press_ok);
    t.window().action(CmdCopyFromLog)->trigger();
    QCOMPARE(script.shown.size(), size_t(2));
    QCOMPARE(script.shown[0].row, 0);
    QCOMPARE(script.shown[1].row, 0);
    QCOMPARE(t.app->database.keys.size(), 1);
    QCOMPARE(key(t, 0).name, std::string("<No name yet>"));
    QVERIFY(t.app->document.modified);
}

void KeyEditingTest::copy_from_log_cancelled_leaves_the_key_list() {
    TestApp t;
    log_row(t, "0104bc", "Valid key.");
    select_rows(t.window().log_view(), {0});
    DialogScript script;
    script.then(press_cancel);
    t.window().action(CmdCopyFromLog)->trigger();
    QCOMPARE(script.shown.size(), size_t(1));
    QCOMPARE(t.app->database.keys.size(), 0);
    QVERIFY(!t.app->document.modified);
}

void KeyEditingTest::copy_from_log_skips_rows_without_a_new_key() {
    TestApp t;
    add(t.app->database, 0xa3f1, "Caretaker");
    log_row(t, " - ", "Log started");
    // Door and memo lines have an empty key text: they are not key 000000.
    log_row(t, "", "Door A opened.");
    log_row(t, "", "Memory full.");
    // Already in the key list, also when only the low 24 bits match.
    log_row(t, "00a3f1", "Valid key: Caretaker.");
    log_row(t, "zz12ab", "Noise");
    // Not selected.
    log_row(t, "000777", "Invalid key detected.");
    select_rows(t.window().log_view(), {0, 1, 2, 3, 4});
    DialogScript script;
    t.window().action(CmdCopyFromLog)->trigger();
    QCOMPARE(script.shown.size(), size_t(0));
    QCOMPARE(t.app->database.keys.size(), 1);
    QVERIFY(!t.app->document.modified);
    QVERIFY(t.boxes().empty());

    // A double-click in the screen log copies the row it selects.
    script.then(press_ok);
    RowClickView* log = t.window().log_view();
    QTest::mouseDClick(log->viewport(), Qt::LeftButton, {},
                       QPoint(log->columnViewportPosition(1) + 5,
                              log->rowViewportPosition(5) + log->rowHeight(5) / 2));
    QCOMPARE(script.shown.size(), size_t(1));
    QCOMPARE(t.app->database.keys.size(), 2);
    QCOMPARE(key(t, 1).id.number, 0x777u);
}

void KeyEditingTest::dialog_texts_keep_their_encoding() {
    TestApp t;
    // A file made on Windows: Windows-1252 bytes.
    add(t.app->database, 1, "Caf\xe9", "\x80 5", "Gr\xfc\xdf");
    // A file made here: UTF-8.
    add(t.app->database, 2, "Caf\xc3\xa9", "\xe2\x82\xac 5", "");
    QCOMPARE(cell(t, 0, 1), QStringLiteral("Café"));
    QCOMPARE(cell(t, 0, 2), QStringLiteral("€ 5"));
    QCOMPARE(cell(t, 0, 3), QStringLiteral("Grüß"));
    QCOMPARE(cell(t, 1, 1), QStringLiteral("Café"));
    QCOMPARE(cell(t, 1, 2), QStringLiteral("€ 5"));

    DialogScript script;
    // Fields left alone keep their bytes; a changed field is stored as UTF-8.
    script.then([](EditKeyDialog& d) {
        QCOMPARE(d.name_field()->text(), QStringLiteral("Café"));
        QCOMPARE(d.memo_field()->toPlainText(), QStringLiteral("€ 5"));
        d.free_field()->setPlainText(QStringLiteral("Grüße"));
        press_ok(d);
    });
    script.then([](EditKeyDialog& d) {
        QCOMPARE(d.name_field()->text(), QStringLiteral("Café"));
        type_into(d.name_field(), "Zo");
        QTest::sendKeyEvent(QTest::Click, d.name_field(), Qt::Key_unknown, QStringLiteral("ë"),
                            Qt::NoModifier);
        press_ok(d);
    });
    select_rows(t.window().key_view(), {0, 1});
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(script.shown.size(), size_t(2));
    QCOMPARE(key(t, 0).name, std::string("Caf\xe9"));
    QCOMPARE(key(t, 0).memo, std::string("\x80 5"));
    QCOMPARE(key(t, 0).free_field, std::string("Gr\xc3\xbc\xc3\x9f"
                                               "e"));
    QCOMPARE(key(t, 1).name, std::string("Zo\xc3\xab"));
    QCOMPARE(key(t, 1).memo, std::string("\xe2\x82\xac 5"));
    QCOMPARE(cell(t, 1, 1), QStringLiteral("Zoë"));
}

void KeyEditingTest::typed_text_is_cut_on_a_character_boundary() {
    TestApp t;
    add(t.app->database, 1, "x");
    DialogScript script;
    // 1998 bytes of ASCII and a two-byte character: 2000 bytes, one more than a field takes.
    const QString long_name = QString(1998, QChar('a')) + QStringLiteral("é");
    script.then([&](EditKeyDialog& d) {
        d.name_field()->setText(long_name);
        d.memo_field()->setPlainText(QString(1997, QChar('b')) + QStringLiteral("é"));
        d.free_field()->setPlainText(QString(2500, QChar('c')));
        press_ok(d);
    });
    select_rows(t.window().key_view(), {0});
    t.window().action(CmdEditKeys)->trigger();
    QCOMPARE(key(t, 0).name, std::string(1998, 'a'));
    QCOMPARE(key(t, 0).memo, std::string(1997, 'b') + "\xc3\xa9");
    QCOMPARE(key(t, 0).free_field, std::string(1999, 'c'));
    QVERIFY(is_valid_utf8(key(t, 0).name));
}

void KeyEditingTest::log_lines_show_names_as_the_key_list_does() {
    TestApp t;
    log_row(t, "0104bc", "Valid key: Caf\xe9 staff.");
    log_row(t, "00a3f1", "Valid key: Caf\xc3\xa9 staff.");
    QAbstractItemModel* m = t.window().log_model();
    QCOMPARE(m->index(0, 1).data().toString(), QStringLiteral("Valid key: Café staff."));
    QCOMPARE(m->index(1, 1).data().toString(), QStringLiteral("Valid key: Café staff."));
}

void KeyEditingTest::validity_days_are_shown_set_and_emptied() {
    TestApp t;
    add(t.app->database, 0xa3f1, "Contractor");
    {
        EditKeyDialog d(*t.app, 0, &t.window());
        QVERIFY(d.valid_from_field()->text().isEmpty());
        QVERIFY(d.valid_until_field()->text().isEmpty());
        type_into(d.valid_from_field(), QStringLiteral("2026-12-01"));
        type_into(d.valid_until_field(), QStringLiteral("2026-12-14"));
        d.accept();
        QCOMPARE(d.result(), int(QDialog::Accepted));
    }
    QCOMPARE(key(t, 0).valid_from, parse_day("2026-12-01"));
    QCOMPARE(key(t, 0).valid_until, parse_day("2026-12-14"));
    QCOMPARE(cell(t, 0, 4), QStringLiteral("2026-12-01"));
    QCOMPARE(cell(t, 0, 5), QStringLiteral("2026-12-14"));
    {
        EditKeyDialog d(*t.app, 0, &t.window());
        QCOMPARE(d.valid_until_field()->text(), QStringLiteral("2026-12-14"));
        // The field's clear button empties it: no last day any more.
        QVERIFY(d.valid_until_field()->isClearButtonEnabled());
        d.valid_until_field()->clear();
        d.accept();
    }
    QCOMPARE(key(t, 0).valid_from, parse_day("2026-12-01"));
    QVERIFY(!key(t, 0).valid_until);
    QVERIFY(t.boxes().empty());
}

void KeyEditingTest::validity_days_that_cannot_be_are_refused() {
    struct Case {
        const char* from;
        const char* until;
        const char* message;
    };
    const Case cases[] = {
        {"2026-02-30", "", "A day of validity must be written YYYY-MM-DD, or left empty."},
        {"", "2026-1-5", "A day of validity must be written YYYY-MM-DD, or left empty."},
        {"2026-12-15", "2026-12-14",
         "The key cannot be valid from a day after its last valid day."},
    };
    for (const Case& c : cases) {
        TestApp t;
        add(t.app->database, 0xa3f1, "Contractor");
        EditKeyDialog d(*t.app, 0, &t.window());
        type_into(d.name_field(), QStringLiteral("Changed"));
        type_into(d.valid_from_field(), QString::fromLatin1(c.from));
        type_into(d.valid_until_field(), QString::fromLatin1(c.until));
        d.accept();
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(t.boxes().size(), size_t(1));
        QCOMPARE(t.boxes()[0].text, std::string(c.message));
        QCOMPARE(t.boxes()[0].caption, std::string("Edit key data"));
        // Nothing of the refused edit is stored.
        QCOMPARE(key(t, 0).name, std::string("Contractor"));
        QVERIFY(!key(t, 0).valid_from && !key(t, 0).valid_until);
    }
}

QTEST_MAIN(KeyEditingTest)
#include "key_editing_test.moc"
