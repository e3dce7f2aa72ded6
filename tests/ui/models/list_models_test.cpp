// The key list and screen log as views: on-demand texts, sorting, row selection, red lines.
#include "ui/window_test_support.h"

#include "ui/models/key_list_model.h"
#include "ui/models/row_click_view.h"
#include "ui/models/screen_log_model.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QFont>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSettings>

namespace {

void add(KeyDatabase& db, uint32_t number, const char* name, const char* memo = "",
         const char* free_field = "") {
    db.keys.add(KeyId{0, number, 0}, name, memo, free_field);
}

QString cell(QAbstractItemModel* m, int row, int column) {
    return m->index(row, column).data().toString();
}

QPoint row_point(RowClickView* view, int row, int x) {
    return QPoint(x, view->rowViewportPosition(row) + view->rowHeight(row) / 2);
}

} // namespace

class ListModelsTest : public QObject {
    Q_OBJECT
  private slots:
    void key_texts_are_made_from_the_records();
    void column_click_sorts_ascending_and_keeps_the_selection();
    void click_anywhere_along_a_row_selects_and_focuses_it();
    void double_click_edits_the_focused_key();
    void screen_log_rows_follow_the_log();
    void highlighted_lines_stay_red();
    void screen_log_limit_shows_in_the_view();
    void validity_shows_expired_grey_and_later_italic();
    void validity_columns_hide_and_stay_hidden();
};

void ListModelsTest::key_texts_are_made_from_the_records() {
    TestApp t;
    QAbstractItemModelTester tester(t.window().key_model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    KeyDatabase& db = t.app->database;
    add(db, 0xa3f1, "Caretaker", "Night shift", "Room 12");
    add(db, 0x12, "Visitor");
    QAbstractItemModel* m = t.window().key_model();
    QCOMPARE(m->rowCount(), 2);
    QCOMPARE(cell(m, 0, 0), QStringLiteral("00a3f1"));
    QCOMPARE(cell(m, 0, 3), QStringLiteral("Room 12"));
    QCOMPARE(cell(m, 1, 0), QStringLiteral("000012"));
    QCOMPARE(cell(m, 1, 2), QString());
    // A changed record shows its new texts at once.
    db.keys.replace(1, KeyId{0, 0x13, 0}, "Guest", {}, {});
    QCOMPARE(cell(m, 1, 0), QStringLiteral("000013"));
    QCOMPARE(cell(m, 1, 1), QStringLiteral("Guest"));
    db.keys.remove(0);
    QCOMPARE(m->rowCount(), 1);
    QCOMPARE(cell(m, 0, 1), QStringLiteral("Guest"));
    db.keys.clear();
    QCOMPARE(m->rowCount(), 0);
}

void ListModelsTest::column_click_sorts_ascending_and_keeps_the_selection() {
    TestApp t;
    QAbstractItemModelTester tester(t.window().key_model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    KeyDatabase& db = t.app->database;
    add(db, 0x30, "cherry");
    add(db, 0x10, "Berry");
    add(db, 0x20, "apple");
    RowClickView* view = t.window().key_view();
    // Select "apple" (row 2) before sorting.
    view->selectionModel()->select(view->model()->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QHeaderView* header = view->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
    QAbstractItemModel* m = view->model();
    QCOMPARE(cell(m, 0, 1), QStringLiteral("apple"));
    QCOMPARE(cell(m, 1, 1), QStringLiteral("Berry"));
    QCOMPARE(cell(m, 2, 1), QStringLiteral("cherry"));
    QVERIFY(view->selectionModel()->isRowSelected(0, {}));
    QVERIFY(!view->selectionModel()->isRowSelected(2, {}));
    // Every click sorts ascending: the key number column, then the same again.
    for (int i = 0; i < 2; ++i) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
        QCOMPARE(cell(m, 0, 0), QStringLiteral("000010"));
        QCOMPARE(cell(m, 2, 0), QStringLiteral("000030"));
    }
    QVERIFY(view->selectionModel()->isRowSelected(1, {}));
    QCOMPARE(cell(m, 1, 1), QStringLiteral("apple"));
    // Memo compares all rows equal: the order stays.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
    QCOMPARE(cell(m, 0, 0), QStringLiteral("000010"));
    QCOMPARE(cell(m, 1, 0), QStringLiteral("000020"));
}

void ListModelsTest::click_anywhere_along_a_row_selects_and_focuses_it() {
    TestApp t;
    KeyDatabase& db = t.app->database;
    for (uint32_t i = 1; i <= 3; ++i) {
        add(db, i, "k");
    }
    RowClickView* view = t.window().key_view();
    // Right of the last column, with columns narrow enough to leave room there.
    for (int c = 0; c < view->model()->columnCount(); ++c) {
        view->horizontalHeader()->resizeSection(c, 60);
    }
    const int beyond = view->horizontalHeader()->length() + 20;
    QVERIFY(beyond < view->viewport()->width());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row_point(view, 1, beyond));
    QVERIFY(view->selectionModel()->isRowSelected(1, {}));
    QCOMPARE(view->currentIndex().row(), 1);
    // In a later column, with Ctrl: the earlier selection stays.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      row_point(view, 2, view->columnViewportPosition(2) + 10));
    QVERIFY(view->selectionModel()->isRowSelected(1, {}));
    QVERIFY(view->selectionModel()->isRowSelected(2, {}));
    QCOMPARE(view->currentIndex().row(), 2);
    // A plain click in the screen log's "Time" column selects that log row.
    t.app->logger.add_log_line("00a3f1", "Valid key.", false);
    t.app->logger.add_log_line("0104bc", "Invalid key detected.", true);
    RowClickView* log = t.window().log_view();
    QTest::mouseClick(log->viewport(), Qt::LeftButton, {},
                      row_point(log, 1, log->columnViewportPosition(2) + 5));
    QVERIFY(log->selectionModel()->isRowSelected(1, {}));
    QCOMPARE(log->currentIndex().row(), 1);
}

void ListModelsTest::double_click_edits_the_focused_key() {
    TestApp t;
    std::vector<int> edited;
    scripted_dialogs(*t.app).edit_key_row = [&](App&, int row) {
        edited.push_back(row);
        return 0;
    };
    add(t.app->database, 1, "a");
    add(t.app->database, 2, "b");
    RowClickView* view = t.window().key_view();
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                       row_point(view, 1, view->horizontalHeader()->length() + 10));
    QCOMPARE(edited, std::vector<int>{1});
    // Below the last row nothing is focused anew; the focused row is edited again.
    edited.clear();
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                       QPoint(10, view->viewport()->height() - 3));
    QCOMPARE(edited, std::vector<int>{1});
}

void ListModelsTest::screen_log_rows_follow_the_log() {
    TestApp t;
    QAbstractItemModelTester tester(t.window().log_model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    t.app->logger.start_log();
    t.app->logger.add_log_line("00a3f1", "Valid key: Caretaker.", false);
    QAbstractItemModel* m = t.window().log_view()->model();
    QCOMPARE(m->rowCount(), 2);
    QCOMPARE(cell(m, 1, 0), QStringLiteral("00a3f1"));
    QCOMPARE(cell(m, 1, 1), QStringLiteral("Valid key: Caretaker."));
    QCOMPARE(cell(m, 1, 2), QStringLiteral("2003/7/4 9:05"));
    t.app->logger.end_log();
    QCOMPARE(m->rowCount(), 0);
}

void ListModelsTest::highlighted_lines_stay_red() {
    TestApp t;
    t.app->logger.add_log_line("0104bc", "Invalid key detected.", true);
    t.app->logger.add_log_line("00a3f1", "Valid key.", false);
    QAbstractItemModel* m = t.window().log_view()->model();
    for (int repaint = 0; repaint < 2; ++repaint) {
        for (int c = 0; c < 3; ++c) {
            QCOMPARE(m->index(0, c).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
            QVERIFY(!m->index(1, c).data(Qt::ForegroundRole).isValid());
        }
        t.window().log_view()->viewport()->repaint();
    }
}

void ListModelsTest::screen_log_limit_shows_in_the_view() {
    TestApp t;
    QAbstractItemModelTester tester(t.window().log_model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    t.app->database.log.screen_log_lines = 3;
    for (int i = 0; i < 5; ++i) {
        t.app->logger.add_log_line("k", std::to_string(i), false);
    }
    QAbstractItemModel* m = t.window().log_view()->model();
    QCOMPARE(m->rowCount(), 3);
    QCOMPARE(cell(m, 0, 1), QStringLiteral("2"));
    QCOMPARE(cell(m, 2, 1), QStringLiteral("4"));
    // The newest line is scrolled into view.
    t.app->database.log.screen_log_lines = 1000;
    for (int i = 0; i < 200; ++i) {
        t.app->logger.add_log_line("k", "line " + std::to_string(i), false);
    }
    RowClickView* log = t.window().log_view();
    QTRY_VERIFY(log->rowAt(log->viewport()->height() - 2) == m->rowCount() - 1 ||
                log->rowViewportPosition(m->rowCount() - 1) + log->rowHeight(0) <=
                    log->viewport()->height());
}

void ListModelsTest::validity_shows_expired_grey_and_later_italic() {
    // The test clock stands on 2003-07-04.
    TestApp t;
    KeyDatabase& db = t.app->database;
    struct Case {
        const char* from;
        const char* until;
        bool grey;
        bool italic;
    };
    const Case cases[] = {
        {"", "", false, false},
        {"", "2003-07-03", true, false},
        {"", "2003-07-04", false, false},
        {"2003-07-05", "", false, true},
        {"2003-07-04", "2003-07-04", false, false},
    };
    int row = 0;
    for (const Case& c : cases) {
        add(db, static_cast<uint32_t>(row + 1), "k");
        db.keys.set_validity(row, parse_day(c.from), parse_day(c.until));
        ++row;
    }
    KeyListModel* m = t.window().key_model();
    QCOMPARE(m->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), "Valid from");
    QCOMPARE(m->headerData(5, Qt::Horizontal, Qt::DisplayRole).toString(), "Valid until");
    for (int r = 0; r < row; ++r) {
        const Case& c = cases[r];
        QCOMPARE(cell(m, r, 4), QString::fromLatin1(c.from));
        QCOMPARE(cell(m, r, 5), QString::fromLatin1(c.until));
        for (int col = 0; col < m->columnCount(); ++col) {
            QVariant fg = m->index(r, col).data(Qt::ForegroundRole);
            QCOMPARE(fg.isValid() && fg.value<QColor>() == QColor(Qt::gray), c.grey);
            QCOMPARE(m->index(r, col).data(Qt::FontRole).value<QFont>().italic(), c.italic);
        }
    }
    // The next day the key that starts then is no longer italic.
    m->set_today(*parse_day("2003-07-05"));
    QVERIFY(!m->index(3, 0).data(Qt::FontRole).value<QFont>().italic());
}

void ListModelsTest::validity_columns_hide_and_stay_hidden() {
    QTemporaryDir settings_dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_dir.path());
    const int until = KeyListModel::valid_from_column + 1;
    {
        TestApp t;
        QHeaderView* header = t.window().key_view()->horizontalHeader();
        auto* menu = header->findChild<QMenu*>(QStringLiteral("validity columns"));
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 2);
        QVERIFY(!header->isSectionHidden(until));
        menu->actions()[1]->trigger();
        QVERIFY(header->isSectionHidden(until));
        QVERIFY(!header->isSectionHidden(until - 1));
    }
    {
        TestApp t;
        QHeaderView* header = t.window().key_view()->horizontalHeader();
        QVERIFY(header->isSectionHidden(until));
        header->findChild<QMenu*>(QStringLiteral("validity columns"))->actions()[1]->trigger();
        QVERIFY(!header->isSectionHidden(until));
    }
    TestApp t;
    QVERIFY(!t.window().key_view()->horizontalHeader()->isSectionHidden(until));
}

QTEST_MAIN(ListModelsTest)
#include "list_models_test.moc"
