// Keys exchanged with files from the window: the CSV import preview and its refusal of bad rows,
// the exports, Restore backup and the failed backup said once, and Select presented key.
#include "ui/window_test_support.h"

#include "core/buffer.h"
#include "database/database_backup.h"
#include "ui/commands/commands.h"
#include "ui/dialogs/backup_dialog.h"
#include "ui/dialogs/csv_import_dialog.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/row_click_view.h"
#include "ui/window/document.h"

#include <QCheckBox>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>

#include <filesystem>

namespace {

// Line 3 is not hexadecimal, line 5 has seven digits.
const std::string two_bad_rows = "key,name,memo,free\r\n"
                                 "A1B2,Anna,,\r\n"
                                 "XYZ,Bad,,\r\n"
                                 "C3D4,Carl,,\r\n"
                                 "1234567,Long,,\r\n";

void add(App& app, uint32_t number, const char* name) {
    app.database.keys.add(KeyId{0, number, 0}, name);
}

} // namespace

class KeyExchangeTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void preview_refuses_bad_rows_until_good_only_is_ticked() {
        TestApp t;
        add(*t.app, 0xc3d4, "Carl");
        const CsvImportPlan plan = plan_csv_import(two_bad_rows, t.app->database.keys);
        CsvImportDialog dialog(plan, &t.window());
        QCOMPARE(dialog.summary(), QStringLiteral("1 new key, 1 key already in the database"));
        QVERIFY(dialog.bad_rows());
        QCOMPARE(dialog.bad_rows()->count(), 2);
        QCOMPARE(dialog.bad_rows()->item(0)->text(),
                 QStringLiteral("Line 3: the key number is not hexadecimal"));
        QCOMPARE(dialog.bad_rows()->item(1)->text(),
                 QStringLiteral("Line 5: the key number has more than six digits"));
        QVERIFY(!dialog.import_button()->isEnabled());
        dialog.good_only_box()->setChecked(true);
        QVERIFY(dialog.import_button()->isEnabled());
        dialog.update_box()->setChecked(true);
        dialog.show();
        if (qEnvironmentVariableIsSet("KEYSUI_SHOTS")) {
            dialog.grab().save(qEnvironmentVariable("KEYSUI_SHOTS") + "/keysui-csv-preview.png");
        }
        dialog.import_button()->click();
        QVERIFY(dialog.choice().import);
        QVERIFY(dialog.choice().update_existing);
    }

    void import_adds_good_rows_and_marks_modified() {
        TestApp t;
        QTemporaryDir dir;
        const std::string path = dir.filePath("keys.csv").toStdString();
        write_file(path, two_bad_rows);
        add(*t.app, 0xc3d4, "Old name");
        clear_modified(*t.app);
        scripted_dialogs(*t.app).csv = [&](App&, bool save) {
            return save ? std::nullopt : std::optional<std::string>(path);
        };
        CsvImportChoice answer{false, true};
        int previews = 0;
        scripted_dialogs(*t.app).import_preview = [&](App&, const CsvImportPlan& plan) {
            ++previews;
            [&] { QCOMPARE(plan.bad_rows.size(), size_t(2)); }();
            return answer;
        };
        dispatch_command(*t.app, CmdImportKeysCsv);
        QCOMPARE(t.app->database.keys.size(), 1);
        QVERIFY(!t.app->document.modified);
        answer.import = true;
        dispatch_command(*t.app, CmdImportKeysCsv);
        QCOMPARE(previews, 2);
        QCOMPARE(t.app->database.keys.size(), 2);
        QCOMPARE(t.app->database.keys.cell_text(t.app->database.keys.find(KeyId{0, 0xc3d4, 0}), 1),
                 std::string("Carl"));
        QVERIFY(t.app->document.modified);
    }

    // Export of the selection takes the rows shown and selected, in the view's order.
    void export_selection_under_a_filter() {
        TestApp t;
        add(*t.app, 0x000001, "Zoe");
        add(*t.app, 0x000002, "Adam");
        add(*t.app, 0x000003, "Zack");
        MainWindow& w = t.window();
        t.app->database.keys.sort(1);
        dispatch_command(*t.app, CmdFindKeys);
        w.find_field()->setText(QStringLiteral("z"));
        w.key_view()->selectAll();
        QTemporaryDir dir;
        const std::string path = dir.filePath("out.csv").toStdString();
        scripted_dialogs(*t.app).csv = [&](App&, bool save) {
            return save ? std::optional<std::string>(path) : std::nullopt;
        };
        dispatch_command(*t.app, CmdExportSelectedCsv);
        QCOMPARE(read_file(path),
                 std::string("key,name,memo,free,valid_from,valid_until\r\n000003,Zack,,,,\r\n"
                             "000001,Zoe,,,,\r\n"));
        if (qEnvironmentVariableIsSet("KEYSUI_SHOTS")) {
            w.find_field()->setText(QStringLiteral("a"));
            w.grab().save(qEnvironmentVariable("KEYSUI_SHOTS") + "/keysui-filter.png");
        }
    }

    void restore_opens_a_backup_unsaved_and_without_name() {
        TestApp t;
        QTemporaryDir dir;
        const std::string path = dir.filePath("doors.tsy").toStdString();
        add(*t.app, 0x000001, "First");
        QVERIFY(save_database(*t.app, path)); // nothing to keep yet
        add(*t.app, 0x000002, "Second");
        QVERIFY(save_database(*t.app, path)); // keeps the one-key file
        t.app->database.file_name = path;
        t.app->database.file_name_offset = path.rfind('/') + 1;
        QVERIFY(t.app->document.lock.acquire(path) == FileLock::Outcome::Locked);
        std::vector<DatabaseBackup> shown;
        scripted_dialogs(*t.app).backup = [&](App&, const std::vector<DatabaseBackup>& backups) {
            shown = backups;
            return std::optional<size_t>(0);
        };
        t.host().push_answer(MsgAnswer::No); // if asked, the unsaved state is not saved
        dispatch_command(*t.app, CmdRestoreBackup);
        // Read on the loader's thread, as Open reads.
        QVERIFY(t.app->loader.loading());
        t.wait_loaded();
        QCOMPARE(shown.size(), size_t(1));
        QCOMPARE(shown[0].key_count, 1);
        QVERIFY(backup_line(shown[0]).endsWith(QStringLiteral("    1 keys")));
        QCOMPARE(t.app->database.keys.size(), 1);
        QCOMPARE(t.app->database.keys.cell_text(0, 1), std::string("First"));
        QVERIFY(t.app->database.file_name.empty());
        QVERIFY(t.app->document.modified);
        QCOMPARE(t.window().windowTitle(), QStringLiteral("None - Tessary"));
        // The database it came from is as it was, and free for others to edit.
        QVERIFY(read_file(path).find("Second") != std::string::npos);
        QVERIFY(!t.app->document.lock.held());
        QVERIFY(!QFile::exists(QString::fromStdString(lock_file_path(path))));
    }

    void failed_backup_is_said_once() {
        TestApp t;
        QTemporaryDir dir;
        const std::string path = dir.filePath("doors.tsy").toStdString();
        write_file(path, "");
        // A file where the backup folder belongs: no copy can be made.
        write_file(dir.filePath(backup_folder_name).toStdString(), "");
        QVERIFY(save_database(*t.app, path));
        std::vector<ShownBox> boxes = t.boxes();
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes[0].icon, MsgIcon::Warning);
        QVERIFY(boxes[0].text.starts_with(
            "No backup copy of the old database file could be made.\n\nReason: "));
        QVERIFY(!take_backup_failure());
        // Every save after it fails the same way: the user has heard it.
        QVERIFY(save_database(*t.app, path));
        QCOMPARE(t.boxes().size(), size_t(1));
    }

    void presented_key_is_selected_when_the_option_is_on() {
        {
            TestApp t;
            add(*t.app, 0x000001, "One");
            add(*t.app, 0x00abcd, "Two");
            MainWindow& w = t.window();
            QAction* option = w.action(CmdFollowPresentedKey);
            const bool was_on = option->isChecked();
            if (was_on) {
                dispatch_command(*t.app, CmdFollowPresentedKey);
            }
            screen_log_append(t.app->screen_log, LogRow{"00ABCD", "Key presented", "9:05", false});
            QVERIFY(!w.key_view()->selectionModel()->hasSelection());
            dispatch_command(*t.app, CmdFollowPresentedKey);
            QVERIFY(option->isChecked());
            screen_log_append(t.app->screen_log, LogRow{"00ABCD", "Key presented", "9:06", false});
            QVERIFY(w.key_view()->selectionModel()->isRowSelected(1, {}));
            // An unknown key changes nothing in the key list.
            screen_log_append(t.app->screen_log, LogRow{"00FFFF", "Unknown key", "9:07", true});
            QVERIFY(w.key_view()->selectionModel()->isRowSelected(1, {}));
            // The choice outlives the window: it is kept in the window's own settings file, the
            // one a new window reads it from.
            t.app->settings->sync();
            QSettings kept(t.app->settings->fileName(), QSettings::IniFormat);
            QVERIFY(kept.value("view/select_presented_key").toBool());
            dispatch_command(*t.app, CmdFollowPresentedKey);
            QVERIFY(!t.app->settings->value("view/select_presented_key").toBool());
        }
    }
};

QTEST_MAIN(KeyExchangeTest)
#include "key_exchange_test.moc"
