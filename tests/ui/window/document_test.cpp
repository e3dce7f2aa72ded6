// Start-up with a database on the command line, the title, the modified flag and the COM-port
// step.
#include "ui/window_test_support.h"

#include "events/log_file.h"
#include "ui/models/row_click_view.h"
#include "ui/window/document.h"
#include "ui/window/window_properties.h"

#include <QAbstractItemModel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>

namespace {

const char* const header = ";              === Tessary 2.0 key list ===\r\n"
                           ";   === It is not recommended to edit this file manually! ===\r\n"
                           ";\r\n";

const std::string no_port_text =
    "This database doesn't indicate which COM port should be used.\n\nUntil you choose a COM "
    "port using the 'File/Settings' menu,\nTessary won't be able to communicate with the key "
    "controller.";
const std::string load_error_text =
    "The database couldn't be loaded.\n\nTessary can't properly access the desired database "
    "file. It\nmay not exist, or you might not have permission to read it.\n\nPlease solve the "
    "problem and try again.";

std::string log_cell(QAbstractItemModel* m, int row, int column) {
    return m->index(row, column).data().toString().toStdString();
}

} // namespace

class DocumentTest : public QObject {
    Q_OBJECT
  private slots:
    void init() { QVERIFY(dir.isValid()); }
    void title_shows_file_and_port();
    void blank_command_line_opens_nothing();
    void quoted_command_line_opens_the_file_and_starts_the_log();
    void unquoted_command_line_takes_the_whole_rest();
    void database_window_properties_are_applied();
    void database_with_a_port_starts_the_link();
    void mark_and_clear_modified_follow_the_title_and_save();

  private:
    QTemporaryDir dir;
};

void DocumentTest::title_shows_file_and_port() {
    TestApp t;
    KeyDatabase& db = t.app->database;
    db.file_name = "/keys/keys.tsy";
    db.file_name_offset = 6;
    db.log.com_port = 1;
    update_title(*t.app);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("keys.tsy [COM1] - Tessary"));
    db.log.com_port = 0;
    update_title(*t.app);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("keys.tsy - Tessary"));
    db.file_name.clear();
    db.file_name_offset = 0;
    db.log.com_port = 2;
    update_title(*t.app);
    QCOMPARE(t.window().windowTitle(), QStringLiteral(" [COM2] - Tessary"));
    db.log.com_port = 0;
    update_title(*t.app);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("None - Tessary"));
}

void DocumentTest::blank_command_line_opens_nothing() {
    TestApp t("   ");
    QVERIFY(t.boxes().empty());
    QVERIFY(t.app->database.file_name.empty());
    QCOMPARE(t.window().log_view()->model()->rowCount(), 0);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("None - Tessary"));
}

void DocumentTest::quoted_command_line_opens_the_file_and_starts_the_log() {
    const std::string path = dir.filePath("door list.tsy").toStdString();
    write_file(path, std::string(header) +
                         "BOOL1\t1f\r\nSCREENLOGLINES\t1000\r\nLOGFILESIZE\t710\r\n"
                         "KEY\t00a3f1\tCaretaker\tNight shift\tRoom 12\r\n"
                         "KEY\t0104bc\tVisitor\t\t\r\n");
    TestApp t("  \"" + path + "\" -x");
    KeyDatabase& db = t.app->database;
    QCOMPARE(db.file_name, path);
    QCOMPARE(db.keys.size(), 2);
    // The whole path, as given, begins the title.
    QCOMPARE(t.window().windowTitle().toStdString(), path + " - Tessary");
    QVERIFY(!t.app->document.modified);
    QVERIFY(!t.window().action(CmdSave)->isEnabled());
    // The key list shows the keys with their texts.
    QAbstractItemModel* keys = t.window().key_view()->model();
    QCOMPARE(log_cell(keys, 0, 0), std::string("00a3f1"));
    QCOMPARE(log_cell(keys, 0, 1), std::string("Caretaker"));
    QCOMPARE(log_cell(keys, 0, 2), std::string("Night shift"));
    QCOMPARE(log_cell(keys, 0, 3), std::string("Room 12"));
    // The log started, on screen and in the log file beside the database.
    QAbstractItemModel* log = t.window().log_view()->model();
    QCOMPARE(log->rowCount(), 1);
    QCOMPARE(log_cell(log, 0, 0), std::string(" - "));
    QCOMPARE(log_cell(log, 0, 1), std::string("Log started"));
    QCOMPARE(log_cell(log, 0, 2), std::string("2003/7/4 9:05"));
    QCOMPARE(read_file(dir.filePath("door list.log").toStdString()),
             log_file_line("2003/7/4 9:05", " - ", "Log started"));
    // No COM port in the file: the warning, and no link.
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("Tessary - Loading database"));
    QCOMPARE(boxes[0].text, no_port_text);
    QCOMPARE(boxes[0].icon, MsgIcon::Warning);
    QCOMPARE(boxes[0].buttons, MsgButtons::Ok);
    QVERIFY(!t.app->link.active());
    // The database opened as it was saved: nothing worth saving, so closing asks nothing.
    QVERIFY(ask_save_changes(*t.app));
    QCOMPARE(t.boxes().size(), size_t(1));
}

void DocumentTest::unquoted_command_line_takes_the_whole_rest() {
    const std::string path = dir.filePath("door.tsy").toStdString();
    write_file(path, std::string(header));
    TestApp t(path + " extra");
    QCOMPARE(t.app->database.file_name, path + " extra");
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(2));
    QCOMPARE(boxes[0].caption, std::string("Tessary - Loading database"));
    QCOMPARE(boxes[0].text,
             load_error_text + "\n\nFile: " + path + " extra\nReason: No such file or directory");
    QCOMPARE(boxes[0].icon, MsgIcon::Error);
    QCOMPARE(boxes[0].buttons, MsgButtons::Ok);
    // Even so the log starts for that name and the port step runs.
    QCOMPARE(boxes[1].text, no_port_text);
    QCOMPARE(t.window().log_view()->model()->rowCount(), 1);
    QCOMPARE(t.window().windowTitle().toStdString(), path + " extra - Tessary");
}

void DocumentTest::database_window_properties_are_applied() {
    const std::string path = dir.filePath("office.tsy").toStdString();
    write_file(path, std::string(header) +
                         "COM\t0\r\nBOOL1\t15\r\nWINDOW\t40\t30\t540\t430\r\n"
                         "COLUMNSLOG\t60\t300\t120\r\nCOLUMNSKEY\t70\t100\t110\t120\r\n");
    TestApp t("\"" + path + "\"");
    MainWindow& w = t.window();
    QCOMPARE(w.pos(), QPoint(40, 30));
    QCOMPARE(w.size(), QSize(500, 400));
    QCOMPARE(w.log_view()->columnWidth(1), 300);
    QCOMPARE(w.key_view()->columnWidth(0), 70);
    // 15: toolbar on, status bar off, log window on, key list off.
    QVERIFY(w.tool_bar()->isVisible());
    QVERIFY(!w.statusBar()->isVisible());
    QVERIFY(w.log_view()->isVisible());
    QVERIFY(!w.key_view()->isVisible());
    QVERIFY(!w.action(CmdKeyList)->isChecked());
    QVERIFY(!has_unsaved_changes(*t.app));
}

void DocumentTest::database_with_a_port_starts_the_link() {
    const std::string path = dir.filePath("ported.tsy").toStdString();
    write_file(path, std::string(header) + "COM\t3\r\n");
    TestClock clock;
    std::unique_ptr<App> owned = make_scripted_app(clock);
    App& app = *owned;
    const std::string missing = dir.filePath("no-such-port").toStdString();
    app.link.port_path = [missing](uint32_t) { return missing; };
    start_up(app, path);
    QTRY_VERIFY(!app.loader.loading());
    QCOMPARE(app.window->windowTitle().toStdString(), path + " [COM3] - Tessary");
    // The comm thread reports the port it cannot open, from its own thread.
    QTRY_COMPARE(scripted_host(app).boxes().size(), size_t(1));
    QCOMPARE(scripted_host(app).boxes()[0].caption, std::string("Tessary - Serial communications"));
    QCOMPARE(scripted_host(app).boxes()[0].text,
             "Couldn't gain access to the COM port: there is no device " + missing + ".");
    QTRY_VERIFY(!app.link.active());
}

void DocumentTest::mark_and_clear_modified_follow_the_title_and_save() {
    TestApp t;
    KeyDatabase& db = t.app->database;
    db.file_name = dir.filePath("k.tsy").toStdString();
    db.file_name_offset = static_cast<uint32_t>(db.file_name.rfind('/') + 1);
    mark_modified(*t.app);
    QVERIFY(t.app->document.modified);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("k.tsy - Tessary"));
    QVERIFY(t.window().action(CmdSave)->isEnabled());
    clear_modified(*t.app);
    QVERIFY(!t.app->document.modified);
    QVERIFY(!t.window().action(CmdSave)->isEnabled());
}

QTEST_MAIN(DocumentTest)
#include "document_test.moc"
