// File > Open, Import, Save and Save As with their dialogs scripted, the save-changes prompt
// before Open, New and closing, and a save that fails part way.
#include "ui/window_test_support.h"

#include "events/log_file.h"
#include "ui/commands/commands.h"
#include "ui/models/row_click_view.h"
#include "ui/window/document.h"
#include "ui/window/window_properties.h"

#include <QAbstractItemModel>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string header = ";              === Tessary 2.0 key list ===\r\n"
                           ";   === It is not recommended to edit this file manually! ===\r\n"
                           ";\r\n";

const std::string loading_caption = "Tessary - Loading database";
const std::string saving_caption = "Tessary - Saving database";
const std::string closing_caption = "Tessary - Closing Tessary";
const std::string no_port_text =
    "This database doesn't indicate which COM port should be used.\n\nUntil you choose a COM "
    "port using the 'File/Settings' menu,\nTessary won't be able to communicate with the key "
    "controller.";
const std::string load_error_text =
    "The database couldn't be loaded.\n\nTessary can't properly access the desired database "
    "file. It\nmay not exist, or you might not have permission to read it.\n\nPlease solve the "
    "problem and try again.";
const std::string save_error_text =
    "The database couldn't be saved.\n\nTessary can't properly access the database file. It "
    "may be\nread-only, or you might not have permission to write it.\n\nPlease solve the "
    "problem, or save to another file.";
const std::string save_changes_text =
    "The database has not yet been saved.\n\nDo you want to save the changes?";

const char* const stamp = "2003/7/4 9:05";

std::string cell(QAbstractItemModel* m, int row, int column) {
    return m->index(row, column).data().toString().toStdString();
}

FileChoice choice_of(const std::string& path) {
    return FileChoice{path, path.rfind('/') + 1};
}

std::string key_line(const std::string& number, const std::string& name) {
    return "KEY\t" + number + "\t" + name + "\t\t\r\n";
}

std::string log_lines(std::initializer_list<const char*> events) {
    std::string s;
    for (const char* e : events) {
        s += log_file_line(stamp, " - ", e);
    }
    return s;
}

void check_box(const ShownBox& box, const std::string& caption, const std::string& text,
               MsgIcon icon, MsgButtons buttons = MsgButtons::Ok) {
    QCOMPARE(box.caption, caption);
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.buttons, buttons);
}

} // namespace

class DatabaseFilesTest : public QObject {
    Q_OBJECT
  private slots:
    // A fresh folder per test: the logs beside the databases must not carry over.
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
    }
    void open_replaces_the_database_and_moves_the_log();
    void open_asks_first_and_cancel_keeps_everything();
    void open_with_the_dialog_cancelled_changes_nothing();
    void open_of_an_unreadable_file_leaves_it_reset_and_named();
    void open_starts_the_link_on_the_port_of_the_file();
    void a_file_that_is_no_database_is_refused_and_bad_lines_are_said();
    void import_adds_keys_keeps_settings_and_marks_modified();
    void import_of_present_keys_still_marks_modified();
    void fifo_is_refused_by_open_and_import();
    void save_writes_the_file_and_clears_the_flag();
    void save_error_keeps_the_flag_and_cancels_the_prompt();
    void save_failing_halfway_keeps_the_old_file();
    void save_as_moves_the_log_and_retitles();
    void save_as_cancelled_changes_nothing();
    void prompt_yes_without_a_name_goes_to_save_as();
    void modified_flag_life_cycle();
    void new_database_prompt_yes_saves_first();
    void closing_prompts_only_for_a_database_worth_saving();

  private:
    std::string path(const char* name) { return dir_->filePath(name).toStdString(); }
    std::unique_ptr<QTemporaryDir> dir_;
};

void DatabaseFilesTest::open_replaces_the_database_and_moves_the_log() {
    const std::string a = path("a.tsy");
    const std::string b = path("b.tsy");
    write_file(a, header + key_line("000001", "One") + key_line("000002", "Two"));
    write_file(b, header + "SCREENLOGLINES\t77\r\n" + key_line("00b0b0", "Bee"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    t.host().push_file_choice(choice_of(b));
    t.window().action(CmdOpenDatabase)->trigger();
    t.wait_loaded();

    KeyDatabase& db = t.app->database;
    QCOMPARE(db.file_name, b);
    QCOMPARE(db.file_name_offset, uint32_t(b.rfind('/') + 1));
    QCOMPARE(db.log.screen_log_lines, 77);
    QCOMPARE(db.keys.size(), 1);
    QCOMPARE(cell(t.window().key_view()->model(), 0, 1), std::string("Bee"));
    QVERIFY(!t.app->document.modified);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("b.tsy - Tessary"));
    // The old log ended under the old name; the new one started under the new name.
    QCOMPARE(read_file(path("a.log")), log_lines({"Log started", "Log ended"}));
    QCOMPARE(read_file(path("b.log")), log_lines({"Log started"}));
    QCOMPARE(t.window().log_view()->model()->rowCount(), 1);
    // Nothing was worth saving, so no prompt; only the COM-port step's warning.
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(1));
    check_box(boxes[0], loading_caption, no_port_text, MsgIcon::Warning);
}

void DatabaseFilesTest::open_asks_first_and_cancel_keeps_everything() {
    const std::string a = path("a.tsy");
    write_file(a, header + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    t.app->database.keys.add(KeyId{0, 2, 0});
    mark_modified(*t.app);
    t.host().push_answer(MsgAnswer::Cancel);
    t.host().push_file_choice(choice_of(path("b.tsy")));
    t.window().action(CmdOpenDatabase)->trigger();
    t.wait_loaded();
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(1));
    check_box(boxes[0], closing_caption, save_changes_text, MsgIcon::Warning,
              MsgButtons::YesNoCancel);
    QCOMPARE(boxes[0].default_button, MsgAnswer::Yes);
    QCOMPARE(t.app->database.file_name, a);
    QCOMPARE(t.app->database.keys.size(), 2);
    QVERIFY(t.app->document.modified);
    QCOMPARE(read_file(path("a.log")), log_lines({"Log started"}));
}

void DatabaseFilesTest::open_with_the_dialog_cancelled_changes_nothing() {
    const std::string a = path("a.tsy");
    write_file(a, header + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    t.host().push_file_choice(std::nullopt);
    t.window().action(CmdOpenDatabase)->trigger();
    t.wait_loaded();
    QVERIFY(t.boxes().empty());
    QCOMPARE(t.app->database.file_name, a);
    QCOMPARE(t.app->database.keys.size(), 1);
    QCOMPARE(read_file(path("a.log")), log_lines({"Log started"}));
}

void DatabaseFilesTest::open_of_an_unreadable_file_leaves_it_reset_and_named() {
    const std::string a = path("a.tsy");
    write_file(a, header + "COM\t0\r\nLOGFILESIZE\t9\r\n" + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    const std::string gone = path("gone.tsy");
    t.host().push_file_choice(choice_of(gone));
    open_database(*t.app);
    t.wait_loaded();
    KeyDatabase& db = t.app->database;
    QCOMPARE(db.file_name, gone);
    QCOMPARE(db.keys.size(), 0);
    QCOMPARE(db.log.log_file_size, 710);
    QVERIFY(!t.app->document.modified);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("gone.tsy - Tessary"));
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(2));
    check_box(boxes[0], loading_caption,
              load_error_text + "\n\nFile: " + gone + "\nReason: No such file or directory",
              MsgIcon::Error);
    check_box(boxes[1], loading_caption, no_port_text, MsgIcon::Warning);
    QCOMPARE(read_file(path("gone.log")), log_lines({"Log started"}));
}

void DatabaseFilesTest::a_file_that_is_no_database_is_refused_and_bad_lines_are_said() {
    const std::string a = path("a.tsy");
    write_file(a, header + key_line("000001", "One"));
    const std::string zeros = path("zeros.tsy");
    write_file(zeros, std::string(4096, '\0'));
    const std::string bad = path("bad.tsy");
    write_file(bad, header + key_line("zzzzzz", "Bad") + key_line("000002", "Two"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    t.host().push_file_choice(choice_of(zeros));
    open_database(*t.app);
    t.wait_loaded();
    // No name is kept, so that no save can write over that file.
    QVERIFY(t.app->database.file_name.empty());
    QCOMPARE(t.app->database.keys.size(), 0);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("None - Tessary"));
    const std::string refusal = "' is not a Tessary database: it contains binary data.";
    QCOMPARE(t.boxes().size(), size_t(1));
    check_box(t.boxes()[0], loading_caption,
              "The database couldn't be loaded.\n\n'" + zeros + refusal, MsgIcon::Error);

    t.host().clear_boxes();
    t.host().push_file_choice(choice_of(zeros));
    import_database(*t.app);
    t.wait_loaded();
    QVERIFY(!t.app->document.modified);
    QCOMPARE(t.boxes().size(), size_t(1));
    check_box(t.boxes()[0], loading_caption, "Nothing was imported.\n\n'" + zeros + refusal,
              MsgIcon::Error);

    t.host().clear_boxes();
    t.host().push_file_choice(choice_of(bad));
    open_database(*t.app);
    t.wait_loaded();
    QCOMPARE(t.app->database.file_name, bad);
    QCOMPARE(t.app->database.keys.size(), 1);
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(2));
    check_box(boxes[0], loading_caption,
              "Some lines of this database couldn't be read as they are:\n\nLine 4: key number "
              "'zzzzzz' is not hexadecimal; the line is left out.\n\nThe database was opened "
              "without the lines left out. Saving it will remove them from the file and store the "
              "values used instead.",
              MsgIcon::Warning);
    check_box(boxes[1], loading_caption, no_port_text, MsgIcon::Warning);
}

void DatabaseFilesTest::open_starts_the_link_on_the_port_of_the_file() {
    const std::string b = path("b.tsy");
    write_file(b, header + "COM\t4\r\n");
    TestApp t;
    const std::string missing = path("no-such-port");
    std::vector<uint32_t> asked;
    t.app->link.port_path = [missing, &asked](uint32_t n) {
        asked.push_back(n);
        return missing;
    };
    t.host().push_file_choice(choice_of(b));
    open_database(*t.app);
    t.wait_loaded();
    QCOMPARE(t.window().windowTitle(), QStringLiteral("b.tsy [COM4] - Tessary"));
    QCOMPARE(t.app->link.starts(), 1u);
    // The thread tried port 4, could not open it and said so.
    QTRY_COMPARE(t.boxes().size(), size_t(1));
    QCOMPARE(t.boxes()[0].caption, std::string("Tessary - Serial communications"));
    QTRY_VERIFY(!t.app->link.active());
    QCOMPARE(asked, std::vector<uint32_t>{4});
}

void DatabaseFilesTest::import_adds_keys_keeps_settings_and_marks_modified() {
    const std::string a = path("a.tsy");
    const std::string other = path("other.tsy");
    write_file(a, header + "SCREENLOGLINES\t50\r\n" + key_line("000001", "One"));
    write_file(other, header + "COM\t3\r\nSCREENLOGLINES\t9\r\n" + key_line("000001", "Dup") +
                          key_line("0000ff", "New"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    // A cancelled dialog does nothing at all.
    t.host().push_file_choice(std::nullopt);
    t.window().action(CmdImportDatabase)->trigger();
    QVERIFY(!t.app->document.modified);

    t.host().push_file_choice(choice_of(other));
    t.window().action(CmdImportDatabase)->trigger();
    // Read on the loader's thread, as Open reads.
    QVERIFY(t.app->loader.loading());
    t.wait_loaded();
    KeyDatabase& db = t.app->database;
    QCOMPARE(db.keys.size(), 2);
    QCOMPARE(cell(t.window().key_view()->model(), 0, 1), std::string("One"));
    QCOMPARE(cell(t.window().key_view()->model(), 1, 1), std::string("New"));
    QCOMPARE(db.log.com_port, 0u);
    QCOMPARE(db.log.screen_log_lines, 50);
    QCOMPARE(db.file_name, a);
    QVERIFY(t.app->document.modified);
    QVERIFY(t.window().action(CmdSave)->isEnabled());
    // No prompt, no port warning, and the log goes on.
    QVERIFY(t.boxes().empty());
    QCOMPARE(read_file(path("a.log")), log_lines({"Log started"}));
}

void DatabaseFilesTest::import_of_present_keys_still_marks_modified() {
    const std::string a = path("a.tsy");
    write_file(a, header + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    t.host().push_file_choice(choice_of(a));
    import_database(*t.app);
    t.wait_loaded();
    QCOMPARE(t.app->database.keys.size(), 1);
    QVERIFY(t.app->document.modified);
}

// Only a regular file is a database: a FIFO, which would block an open until a writer came, is
// refused at once, naming it. The alarm ends a test that would hang instead.
void DatabaseFilesTest::fifo_is_refused_by_open_and_import() {
    const std::string fifo = path("pipe.tsy");
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    ::alarm(60);
    TestApp t("\"" + fifo + "\"");
    t.host().push_file_choice(choice_of(fifo));
    import_database(*t.app);
    t.wait_loaded();
    ::alarm(0);
    const std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(2));
    for (const ShownBox& box : boxes) {
        check_box(box, loading_caption,
                  load_error_text + "\n\nFile: " + fifo + "\nReason: Not a regular file (a FIFO)",
                  MsgIcon::Error);
    }
    QVERIFY(t.app->database.file_name.empty());
    QVERIFY(!t.app->document.modified);
}

void DatabaseFilesTest::save_writes_the_file_and_clears_the_flag() {
    const std::string a = path("a.tsy");
    write_file(a, header + "COM\t0\r\nBOOL1\t0f\r\n" + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    t.app->database.keys.add(KeyId{0, 0xa3f1, 0});
    mark_modified(*t.app);
    QVERIFY(t.window().action(CmdSave)->isEnabled());
    t.window().action(CmdSave)->trigger();
    QVERIFY(t.boxes().empty());
    QVERIFY(!t.app->document.modified);
    QVERIFY(!t.window().action(CmdSave)->isEnabled());
    // BOOL1 0f: window properties are not saved.
    QCOMPARE(read_file(a), header +
                               "COM\t0\r\nBOOL1\t0f\r\nSCREENLOGLINES\t1000\r\n"
                               "LOGFILESIZE\t710\r\n" +
                               key_line("000001", "One") + key_line("00a3f1", ""));
}

void DatabaseFilesTest::save_error_keeps_the_flag_and_cancels_the_prompt() {
    TestApp t;
    KeyDatabase& db = t.app->database;
    db.file_name = path("missing-folder/a.tsy");
    db.file_name_offset = static_cast<uint32_t>(db.file_name.rfind('/') + 1);
    db.keys.add(KeyId{0, 1, 0});
    mark_modified(*t.app);
    t.host().clear_boxes();
    QVERIFY(!save_database(*t.app, db.file_name));
    QVERIFY(t.app->document.modified);
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(1));
    const std::string missing = save_error_text + "\n\nReason: No such file or directory";
    check_box(boxes[0], saving_caption, missing, MsgIcon::Error);
    // Yes in the prompt saves; the failed save cancels the close.
    t.host().push_answer(MsgAnswer::Yes);
    QVERIFY(!ask_save_changes(*t.app));
    QCOMPARE(t.boxes().size(), size_t(3));
    QCOMPARE(t.boxes()[1].caption, closing_caption);
    QCOMPARE(t.boxes()[2].text, missing);
}

void DatabaseFilesTest::save_failing_halfway_keeps_the_old_file() {
    const std::string a = path("a.tsy");
    const std::string old = header + key_line("000001", "One");
    write_file(a, old);
    ::chmod(a.c_str(), 0604);
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    for (uint32_t n = 2; n < 300; ++n) {
        t.app->database.keys.add(KeyId{0, n, 0});
    }
    mark_modified(*t.app);
    // The process may write no file beyond 1000 bytes: the save fails after its first kilobyte.
    struct rlimit old_limit {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 1000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = save_database(*t.app, a);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    QVERIFY(!saved);
    QCOMPARE(read_file(a), old);
    QVERIFY(t.app->document.modified);
    QCOMPARE(t.boxes().size(), size_t(1));
    // The system's reason follows the text: here the limit on file size, not permissions.
    check_box(t.boxes()[0], saving_caption, save_error_text + "\n\nReason: File too large",
              MsgIcon::Error);
    // a.tsy, a.log and the lock of a.tsy, beside the event history: no half-written file left
    // behind.
    QStringList files = QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden);
    files.removeIf([](const QString& f) { return f.contains(QStringLiteral(".events.sqlite")); });
    QCOMPARE(files.size(), 3);
    // Once there is room again the save goes through, with the old file's permissions.
    QVERIFY(save_database(*t.app, a));
    QVERIFY(read_file(a).size() > 1000);
    struct stat st {};
    QCOMPARE(::stat(a.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0604u);
}

void DatabaseFilesTest::save_as_moves_the_log_and_retitles() {
    const std::string a = path("a.tsy");
    write_file(a, header + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    const std::string b = path("copy.tsy");
    t.host().push_file_choice(choice_of(b));
    t.window().action(CmdSaveAs)->trigger();
    QVERIFY(t.boxes().empty());
    QCOMPARE(t.app->database.file_name, b);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("copy.tsy - Tessary"));
    QVERIFY(!t.app->document.modified);
    QVERIFY(read_file(b).find(key_line("000001", "One")) != std::string::npos);
    QCOMPARE(read_file(path("a.log")), log_lines({"Log started", "Log ended"}));
    QCOMPARE(read_file(path("copy.log")), log_lines({"Log started"}));
    QCOMPARE(read_file(a), header + key_line("000001", "One"));
}

void DatabaseFilesTest::save_as_cancelled_changes_nothing() {
    const std::string a = path("a.tsy");
    write_file(a, header + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    mark_modified(*t.app);
    t.host().push_file_choice(std::nullopt);
    QVERIFY(!save_database_as(*t.app));
    QCOMPARE(t.app->database.file_name, a);
    QVERIFY(t.app->document.modified);
    QCOMPARE(read_file(path("a.log")), log_lines({"Log started"}));
}

void DatabaseFilesTest::prompt_yes_without_a_name_goes_to_save_as() {
    TestApp t;
    t.app->database.keys.add(KeyId{0, 5, 0});
    mark_modified(*t.app);
    // Save As cancelled: the prompt cancels.
    t.host().push_answer(MsgAnswer::Yes);
    t.host().push_file_choice(std::nullopt);
    QVERIFY(!ask_save_changes(*t.app));
    QVERIFY(t.app->database.file_name.empty());
    // Save As to a name: the prompt proceeds, the file is written.
    const std::string b = path("named.tsy");
    t.host().push_answer(MsgAnswer::Yes);
    t.host().push_file_choice(choice_of(b));
    QVERIFY(ask_save_changes(*t.app));
    QVERIFY(read_file(b).find("KEY\t000005") != std::string::npos);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("named.tsy - Tessary"));
    // No: proceeds without saving.
    mark_modified(*t.app);
    t.host().push_answer(MsgAnswer::No);
    QVERIFY(ask_save_changes(*t.app));
    QVERIFY(t.app->document.modified);
}

void DatabaseFilesTest::modified_flag_life_cycle() {
    const std::string a = path("a.tsy");
    write_file(a, header + "COM\t0\r\n" + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    // After a command-line open: clear.
    QVERIFY(!t.app->document.modified);
    QCOMPARE(t.window().windowTitle().toStdString(), a + " - Tessary");
    // An import sets it; a save clears it.
    t.host().push_file_choice(choice_of(a));
    import_database(*t.app);
    t.wait_loaded();
    QVERIFY(t.app->document.modified);
    QVERIFY(save_database(*t.app, a));
    QVERIFY(!t.app->document.modified);
    // A change of keys sets it again; Open (answering No) clears it.
    mark_modified(*t.app);
    t.host().push_answer(MsgAnswer::No);
    t.host().push_file_choice(choice_of(a));
    open_database_command(*t.app);
    QVERIFY(!t.app->document.modified);
    // New database (No) clears it too.
    mark_modified(*t.app);
    t.host().push_answer(MsgAnswer::No);
    new_database(*t.app);
    QVERIFY(!t.app->document.modified);
    QCOMPARE(t.window().windowTitle(), QStringLiteral("None - Tessary"));
}

void DatabaseFilesTest::new_database_prompt_yes_saves_first() {
    const std::string a = path("a.tsy");
    write_file(a, header + key_line("000001", "One"));
    TestApp t("\"" + a + "\"");
    t.host().clear_boxes();
    t.app->database.keys.add(KeyId{0, 0x77, 0});
    mark_modified(*t.app);
    t.host().push_answer(MsgAnswer::Yes);
    t.window().action(CmdNewDatabase)->trigger();
    QCOMPARE(t.boxes().size(), size_t(1));
    check_box(t.boxes()[0], closing_caption, save_changes_text, MsgIcon::Warning,
              MsgButtons::YesNoCancel);
    QVERIFY(read_file(a).find(key_line("000077", "")) != std::string::npos);
    QCOMPARE(t.app->database.keys.size(), 0);
    QVERIFY(t.app->database.file_name.empty());
}

void DatabaseFilesTest::closing_prompts_only_for_a_database_worth_saving() {
    TestApp t;
    MainWindow& w = t.window();
    // A new database without keys: no prompt even after the window moved.
    w.move(w.pos() + QPoint(30, 20));
    QVERIFY(!has_unsaved_changes(*t.app));
    QVERIFY(ask_save_changes(*t.app));
    QVERIFY(t.boxes().empty());
    // With a key: the prompt, and Cancel keeps the window.
    t.app->database.keys.add(KeyId{0, 1, 0});
    mark_modified(*t.app);
    t.host().push_answer(MsgAnswer::Cancel);
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QCOMPARE(t.boxes().size(), size_t(1));
    QCOMPARE(t.boxes()[0].caption, closing_caption);
}

QTEST_MAIN(DatabaseFilesTest)
#include "database_files_test.moc"
