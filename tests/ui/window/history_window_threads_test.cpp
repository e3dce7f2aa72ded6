// The History window and Key usage over a store of the test's own: pages and live rows that keep
// to the filter, the counts, Enter on a key's event, the CSV exports, the unused-keys filter and
// the texts the user sees.
#include "ui/dialogs/key_usage_dialog.h"
#include "ui/models/history_model.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/row_click_view.h"
#include "ui/window/history_window.h"
#include "ui/window_test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTableView>

#include <cstdlib>
#include <ctime>

namespace {

constexpr int64_t base_ms = 1'767'225'600'000; // 2026-01-01 00:00 UTC
constexpr int64_t day_ms = 86'400'000;

StoredEvent event_at(int64_t time_ms, std::optional<uint32_t> key, EventKind kind, char door,
                     std::string text, std::string name = {}) {
    StoredEvent e;
    e.time_ms = time_ms;
    e.key = key;
    e.kind = kind;
    e.door = door;
    e.text = std::move(text);
    e.name = std::move(name);
    return e;
}

// A store beside "office.tsy" in a folder of the test's own.
struct StoreFixture {
    StoreFixture() {
        database = dir.filePath("office.tsy").toStdString();
        write_file(database, "");
        std::string error;
        store = EventStore::open(history_path(database), true, database, &error);
    }
    void add(std::vector<StoredEvent> events) {
        std::string error;
        QVERIFY(store->append(events, &error));
    }
    // count events a minute apart, the odd ones at door B, every third one key 0x00a3f1's.
    void add_doors(int count) {
        std::vector<StoredEvent> events;
        for (int i = 0; i < count; ++i) {
            events.push_back(event_at(
                base_ms + i * 60'000, i % 3 ? std::nullopt : std::optional<uint32_t>(0x00a3f1),
                EventKind::ValidKey, i % 2 ? 'B' : 'A', "Valid key " + std::to_string(i)));
        }
        add(std::move(events));
    }
    QTemporaryDir dir;
    std::string database;
    std::unique_ptr<EventStore> store;
};

void wait_first_page(HistoryModel& model) {
    QTRY_VERIFY_WITH_TIMEOUT(model.first_page_shown(), 10000);
}

HistoryWindow* open_history(App& app) {
    dispatch_command(app, CmdHistory);
    return app.window->findChild<HistoryWindow*>();
}

} // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void pages_keep_to_the_filter_and_the_counts_follow() {
        StoreFixture s;
        s.add_doors(450);
        HistoryModel model;
        model.set_store(history_path(s.database));
        EventFilter b;
        b.door = 'B';
        model.set_filter(b);
        wait_first_page(model);
        QCOMPARE(model.rowCount(), int(HistoryModel::page_rows));
        while (model.canFetchMore({})) {
            model.fetchMore({});
            QTRY_VERIFY(!model.fetching());
        }
        QCOMPARE(model.rowCount(), 225);
        for (int r = 0; r < model.rowCount(); ++r) {
            QCOMPARE(model.event(r)->door, 'B');
            QCOMPARE(model.event(r)->time_ms, base_ms + (449 - 2 * r) * 60'000);
        }
        QTRY_COMPARE(model.count_text(), QStringLiteral("225 of 450 events"));
    }

    void live_events_come_in_at_the_top_when_they_match() {
        StoreFixture s;
        s.add_doors(10);
        HistoryModel model;
        model.set_store(history_path(s.database));
        EventFilter b;
        b.door = 'B';
        model.set_filter(b);
        // Kept before the first page is in, and not written yet: above the page once it comes.
        model.add_live(event_at(base_ms + 20 * 60'000, 7, EventKind::ValidKey, 'B', "early"));
        wait_first_page(model);
        QCOMPARE(model.rowCount(), 6);
        QCOMPARE(model.event(0)->text, std::string("early"));
        QTRY_COMPARE(model.count_text(), QStringLiteral("5 of 10 events"));
        model.add_live(event_at(base_ms + 21 * 60'000, 7, EventKind::ValidKey, 'A', "door A"));
        model.add_live(event_at(base_ms + 22 * 60'000, 7, EventKind::ValidKey, 'B', "door B"));
        QCOMPARE(model.rowCount(), 7);
        QCOMPARE(model.event(0)->text, std::string("door B"));
        QCOMPARE(model.count_text(), QStringLiteral("6 of 12 events"));
        // Those written meanwhile show once when the filter is shown anew, one not written yet
        // above them.
        s.add({*model.event(1), *model.event(0)});
        model.add_live(event_at(base_ms + 23 * 60'000, 7, EventKind::ValidKey, 'B', "late"));
        model.set_filter(b);
        wait_first_page(model);
        QCOMPARE(model.rowCount(), 8);
        const char* top[] = {"late", "door B", "early", "Valid key 9"};
        for (int r = 0; r < 4; ++r) {
            QCOMPARE(model.event(r)->text, std::string(top[r]));
        }
    }

    void enter_on_a_keys_event_selects_the_key() {
        TestApp t;
        t.app->database.keys.add(KeyId{0, 0x000001, 0}, "Zoe");
        t.app->database.keys.add(KeyId{0, 0x00a3f1, 0}, "Ann");
        HistoryWindow* w = open_history(*t.app);
        QVERIFY(w && w->isVisible());
        wait_first_page(*w->model());
        w->model()->add_live(event_at(base_ms, 0x00a3f1, EventKind::ValidKey, 'A', "Valid key"));
        w->view()->setCurrentIndex(w->model()->index(0, 0));
        QTest::keyClick(w->view(), Qt::Key_Return);
        const QModelIndex current = t.window().key_view()->currentIndex();
        QVERIFY(current.isValid());
        QCOMPARE(t.window().key_filter()->store_row(current.row()),
                 t.app->database.keys.find(KeyId{0, 0x00a3f1, 0}));
    }

    void export_writes_every_event_of_the_filter_with_the_spreadsheet_rule() {
        StoreFixture s;
        s.add({event_at(base_ms, 0x00a3f1, EventKind::ValidKey, 'B', "Valid key, door B", "=Ann"),
               event_at(base_ms + 1000, std::nullopt, EventKind::Door, 'A', "Door A is open "),
               event_at(base_ms + 2000, std::nullopt, EventKind::Link, 0, "Connection lost")});
        TestApp t;
        t.app->database.file_name = s.database;
        const std::string out = s.dir.filePath("shown.csv").toStdString();
        scripted_dialogs(*t.app).csv = [&](App&, bool save) {
            return save ? std::optional(out) : std::nullopt;
        };
        HistoryWindow* w = open_history(*t.app);
        w->kind_box(KindGroup::Connection)->setChecked(false);
        wait_first_page(*w->model());
        w->export_button()->click();
        QTRY_VERIFY(w->export_button()->isEnabled());
        QCOMPARE(read_file(out), std::string("time,key,name,memo,kind,door,text\r\n"
                                             "2026-01-01 00:00:01,,,,door,A,\"Door A is open \"\r\n"
                                             "2026-01-01 00:00:00,00a3f1,'=Ann,,valid-key,B,"
                                             "\"Valid key, door B\"\r\n"));
    }

    void the_months_to_keep_are_the_stores() {
        StoreFixture s;
        TestApp t;
        t.app->database.file_name = s.database;
        HistoryWindow* w = open_history(*t.app);
        QTRY_VERIFY(w->retention_read());
        QVERIFY(w->keep_months()->isEnabled());
        QCOMPARE(w->keep_months()->value(), 0);
        w->keep_months()->setValue(6);
        QTRY_COMPARE(s.store->retention_months(), 6);
        delete w;
        w = open_history(*t.app);
        QTRY_VERIFY(w->retention_read());
        QCOMPARE(w->keep_months()->value(), 6);
    }

    void the_bar_makes_the_filter_of_its_fields() {
        TestApp t;
        HistoryWindow* w = open_history(*t.app);
        const int64_t now = base_ms + 14 * 3'600'000; // 14:00 UTC
        w->period()->setCurrentIndex(1);
        w->door()->setCurrentIndex(2);
        w->text()->setText(QStringLiteral("00A3F1"));
        w->kind_box(KindGroup::Doors)->setChecked(false);
        w->kind_box(KindGroup::Alarms)->setChecked(false);
        w->kind_box(KindGroup::Connection)->setChecked(false);
        EventFilter f = w->filter_at(now);
        QCOMPARE(f.since_ms, std::optional<int64_t>(base_ms - 6 * 3'600'000));
        QCOMPARE(f.until_ms, std::optional<int64_t>(base_ms + 6 * 3'600'000));
        QCOMPARE(f.door, 'B');
        QCOMPARE(f.key, std::optional<uint32_t>(0x00a3f1));
        QVERIFY(f.text.empty());
        QVERIFY((f.kinds == std::vector<EventKind>{EventKind::ValidKey, EventKind::MasterKey,
                                                   EventKind::InvalidKey, EventKind::Penalty}));
        w->text()->setText(QStringLiteral("facade"));
        QCOMPARE(w->filter_at(now).text, std::string("facade"));
        QVERIFY(!w->filter_at(now).key);
    }

    void key_usage_shows_the_keys_unused_for_the_days_chosen() {
        StoreFixture s;
        const int64_t now = base_ms + 200 * day_ms;
        s.add({event_at(now - 100 * day_ms, 0x000002, EventKind::ValidKey, 'A', "Valid key"),
               event_at(now - 10 * day_ms, 0x000001, EventKind::ValidKey, 'B', "Valid key"),
               event_at(now - 40 * day_ms, 0x000001, EventKind::MasterKey, 'A', "Master key"),
               event_at(now - 5 * day_ms, 0x000003, EventKind::InvalidKey, 0, "Invalid key")});
        KeyList keys;
        keys.add(KeyId{0, 0x000001, 0}, "Ann");
        keys.add(KeyId{0, 0x000002, 0}, "Bob");
        keys.add(KeyId{0, 0x000003, 0}, "Carl", "=lost");
        KeyUsageDialog dialog(keys, history_path(s.database), nullptr);
        dialog.now_ms = [now] { return now; };
        dialog.count_uses();
        QTRY_VERIFY(dialog.counted());
        QCOMPARE(dialog.status()->text(), QStringLiteral("3 of 3 keys"));
        dialog.only_unused()->setChecked(true);
        QCOMPARE(dialog.status()->text(), QStringLiteral("2 of 3 keys"));
        QCOMPARE(dialog.csv(), std::string("key,name,memo,last_use,door,uses\r\n"
                                           "000002,Bob,,2026-04-11 00:00:00,A,0\r\n"
                                           "000003,Carl,'=lost,,,0\r\n"));
        dialog.unused_days()->setValue(9);
        dialog.only_unused()->setChecked(false);
        dialog.view()->sortByColumn(5, Qt::DescendingOrder);
        QCOMPARE(dialog.shown()->index(0, 0).data().toString(), QStringLiteral("000001"));
        QCOMPARE(dialog.shown()->index(0, 3).data().toString(),
                 QStringLiteral("2026-07-10 00:00:00"));
        QCOMPARE(dialog.shown()->index(0, 5).data().toString(), QStringLiteral("1"));
    }

    void captions_are_the_programs() {
        TestApp t;
        HistoryWindow* w = open_history(*t.app);
        QCOMPARE(w->windowTitle(), QStringLiteral("Tessary - History"));
        const QStringList periods = {"Today", "Last night 18:00\u201306:00", "Last 7 days", "All",
                                     "From/until"};
        for (int i = 0; i < periods.size(); ++i) {
            QCOMPARE(w->period()->itemText(i), periods[i]);
        }
        const char* groups[] = {"Valid", "Invalid", "Doors", "Alarms", "Connection"};
        for (int g = 0; g < kind_group_count; ++g) {
            QCOMPARE(w->kind_box(static_cast<KindGroup>(g))->text(), QString(groups[g]));
        }
        QCOMPARE(w->export_button()->text(), QStringLiteral("&Export shown rows to CSV..."));
        const QStringList labels = {
            "&Period:", "&From:", "&Until:",          "&Text:",
            "&Door:",   "Kinds:", "&Keep events for", "months (0 keeps all)"};
        QStringList found;
        for (QLabel* label : w->findChildren<QLabel*>()) {
            found << label->text();
        }
        for (const QString& label : labels) {
            QVERIFY2(found.contains(label), qPrintable(label));
        }
        const char* columns[] = {"Time", "Key", "Name", "Memo", "Kind", "Door", "Text"};
        for (int c = 0; c < HistoryModel::ColumnCount; ++c) {
            QCOMPARE(w->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(),
                     QString(columns[c]));
        }
        QTRY_COMPARE(w->count_label()->text(), QStringLiteral("0 of 0 events"));
        bool shown = false;
        scripted_dialogs(*t.app).usage = [&](KeyUsageDialog& d) {
            shown = true;
            QCOMPARE(d.windowTitle(), QStringLiteral("Tessary - Key usage"));
            QCOMPARE(d.only_unused()->text(), QStringLiteral("&Only keys unused for"));
            QCOMPARE(d.unused_days()->value(), 90);
            QCOMPARE(d.export_button()->text(), QStringLiteral("&Export to CSV..."));
            const char* heads[] = {"Key", "Name", "Memo", "Last use", "Door", "Uses"};
            for (int c = 0; c < 6; ++c) {
                QCOMPARE(d.shown()->headerData(c, Qt::Horizontal).toString(), QString(heads[c]));
            }
        };
        dispatch_command(*t.app, CmdKeyUsage);
        QVERIFY(shown);
    }
};

QTEST_MAIN(HistoryWindowTest)
#include "history_window_threads_test.moc"
