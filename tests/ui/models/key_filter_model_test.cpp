// The find field over the key list: what the view shows, the count in the status bar, and the
// commands that work on the shown and selected rows while a filter is on.
#include "ui/window_test_support.h"

#include "core/buffer.h"
#include "ui/commands/commands.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/key_list_model.h"
#include "ui/models/row_click_view.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>

namespace {

struct Key {
    uint32_t number;
    const char* name;
    const char* memo;
};

const Key keys[] = {
    {0x00a1b2, "Anna Berg", "front door"},   {0x00c3d4, "Bert Olsen", "garage"},
    {0x0012ab, "Carla Nunes", "Front gate"}, {0x00ffee, "Dirk Abel", ""},
    {0x00beef, "Eva Lind", "cleaner"},
};

void fill(App& app) {
    for (const Key& k : keys) {
        app.database.keys.add(KeyId{0, k.number, 0}, k.name, k.memo);
    }
}

std::vector<std::string> shown_names(MainWindow& w) {
    std::vector<std::string> names;
    QAbstractItemModel* m = w.key_view()->model();
    for (int r = 0; r < m->rowCount(); ++r) {
        names.push_back(m->index(r, 1).data().toString().toStdString());
    }
    return names;
}

void select_view_rows(MainWindow& w, std::initializer_list<int> rows) {
    QItemSelectionModel* s = w.key_view()->selectionModel();
    s->clearSelection();
    for (int r : rows) {
        s->select(w.key_view()->model()->index(r, 0),
                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

void find(MainWindow& w, const char* text) {
    w.find_field()->setText(QString::fromUtf8(text));
}

} // namespace

class KeyFilterModelTest : public QObject {
    Q_OBJECT
  private slots:
    void find_command_opens_the_field_and_escape_closes_it() {
        TestApp t;
        fill(*t.app);
        MainWindow& w = t.window();
        QVERIFY(!w.find_field()->isVisible());
        QCOMPARE(w.action(CmdFindKeys)->shortcut(), QKeySequence(QStringLiteral("Ctrl+F")));
        dispatch_command(*t.app, CmdFindKeys);
        QVERIFY(w.find_field()->isVisible());
        QCOMPARE(w.find_field()->geometry().bottom() + 1, w.key_view()->geometry().top());
        QTest::keyClicks(w.find_field(), QStringLiteral("FRONT"));
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Anna Berg", "Carla Nunes"}));
        QVERIFY(w.count_label()->isVisible());
        QCOMPARE(w.count_label()->text(), QStringLiteral("2 of 5 keys"));
        QTest::keyClick(w.find_field(), Qt::Key_Escape);
        QVERIFY(!w.find_field()->isVisible());
        QVERIFY(!w.count_label()->isVisible());
        QCOMPARE(w.key_view()->model()->rowCount(), 5);
    }

    // Number, name and memo, ignoring case; a text found nowhere leaves no row.
    void matches_each_field() {
        TestApp t;
        fill(*t.app);
        MainWindow& w = t.window();
        dispatch_command(*t.app, CmdFindKeys);
        find(w, "BEEF");
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Eva Lind"}));
        find(w, "abel");
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Dirk Abel"}));
        find(w, "gara");
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Bert Olsen"}));
        find(w, "nobody");
        QVERIFY(shown_names(w).empty());
        QCOMPARE(w.count_label()->text(), QStringLiteral("0 of 5 keys"));
    }

    // A selected row the filter hides leaves the selection; the rows still shown keep theirs, and
    // Delete removes only those.
    void delete_works_on_shown_selected_rows() {
        TestApp t;
        fill(*t.app);
        MainWindow& w = t.window();
        select_view_rows(w, {0, 1, 2});
        dispatch_command(*t.app, CmdFindKeys);
        find(w, "nn");
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Anna Berg"}));
        find(w, "e");
        QCOMPARE(w.key_view()->model()->rowCount(), 5);
        dispatch_command(*t.app, CmdDeleteKeys);
        QCOMPARE(t.app->database.keys.size(), 4);
        QCOMPARE(t.app->database.keys.cell_text(0, 1), std::string("Bert Olsen"));
        QCOMPARE(w.count_label()->text(), QStringLiteral("4 of 4 keys"));
    }

    // Edit keys opens the store rows of the selected view rows; the count follows new keys.
    void edit_maps_view_rows_to_store_rows() {
        TestApp t;
        fill(*t.app);
        MainWindow& w = t.window();
        std::vector<int> edited;
        scripted_dialogs(*t.app).edit_key_row = [&](App&, int row) {
            edited.push_back(row);
            return 0;
        };
        dispatch_command(*t.app, CmdFindKeys);
        find(w, "ee"); // 00FFEE, 00BEEF
        QCOMPARE(w.count_label()->text(), QStringLiteral("2 of 5 keys"));
        select_view_rows(w, {1});
        dispatch_command(*t.app, CmdEditKeys);
        QCOMPARE(edited, (std::vector<int>{4}));
        t.app->database.keys.add(KeyId{0, 0x000001, 0}, "Lee");
        QCOMPARE(w.count_label()->text(), QStringLiteral("3 of 6 keys"));
        // A header sort reorders the store; the filter follows the rows.
        t.app->database.keys.sort(1);
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Dirk Abel", "Eva Lind", "Lee"}));
    }

    // Keys > Expires within 14 days joins the find text, is counted, and moves on with the key
    // list's day.
    void expiry_filter_joins_the_find_text_and_follows_the_day() {
        TestApp t;
        fill(*t.app);
        MainWindow& w = t.window();
        const Day today = w.key_model()->today();
        t.app->database.keys.set_validity(0, std::nullopt, Day{today.number + 3});  // Anna
        t.app->database.keys.set_validity(2, std::nullopt, Day{today.number + 20}); // Carla
        dispatch_command(*t.app, CmdExpiringKeys);
        QVERIFY(w.action(CmdExpiringKeys)->isChecked());
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Anna Berg"}));
        QCOMPARE(w.count_label()->text(), QStringLiteral("1 of 5 keys"));
        dispatch_command(*t.app, CmdFindKeys);
        find(w, "carla");
        QVERIFY(shown_names(w).empty());
        find(w, "");
        w.key_model()->set_today(Day{today.number + 10});
        QCOMPARE(shown_names(w), (std::vector<std::string>{"Carla Nunes"}));
        dispatch_command(*t.app, CmdExpiringKeys);
        QVERIFY(!w.action(CmdExpiringKeys)->isChecked());
        QCOMPARE(shown_names(w).size(), size_t(5));
    }
};

QTEST_MAIN(KeyFilterModelTest)
#include "key_filter_model_test.moc"
