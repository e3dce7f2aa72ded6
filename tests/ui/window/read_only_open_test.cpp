// A database that another program holds: the offer to open it read-only, what read-only means
// for Save, Save As and the title, and the recent-files list that every open feeds.
#include "ui/lock_holder_process.h"
#include "ui/window_test_support.h"

#include "ui/commands/commands.h"
#include "ui/window/document.h"
#include "ui/window/recent_files.h"

#include <QAction>
#include <QApplication>
#include <QFile>

namespace {

const std::string database_text = ";              === Tessary 2.0 key list ===\r\n"
                                  ";   === It is not recommended to edit this file manually! "
                                  "===\r\n;\r\nKEY\t00abcd\tMain door\t\t\r\n";

FileChoice choice_of(const std::string& path) {
    return FileChoice{path, path.rfind('/') + 1};
}

} // namespace

class ReadOnlyOpenTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::string held; // a database the other process holds
    std::string mine; // a database nobody holds
    std::unique_ptr<LockHolderProcess> other;

    std::string path(const char* name) { return dir->filePath(name).toStdString(); }
    QStringList recent(TestApp& t) { return RecentFiles(*t.app->settings).files(); }

    // Opens the held database through File > Open, answering the offer with answer.
    void open_held(TestApp& t, MsgAnswer answer) {
        t.host().clear_boxes();
        t.host().push_answer(answer);
        t.host().push_file_choice(choice_of(held));
        open_database_command(*t.app);
        t.wait_loaded();
        const std::vector<ShownBox> boxes = t.boxes();
        QVERIFY(!boxes.empty());
        const ShownBox& box = boxes[0];
        QCOMPARE(box.caption, std::string("Tessary - Loading database"));
        QCOMPARE(box.text,
                 "The database '" + held + "' is already open in process " +
                     std::to_string(other->process.processId()) + " (" +
                     QCoreApplication::applicationFilePath().section('/', -1).toStdString() +
                     ") on host " + QSysInfo::machineHostName().toStdString() +
                     ".\n\nChoose OK to open it read-only, or Cancel to leave it "
                     "closed.");
        QCOMPARE(box.icon, MsgIcon::Warning);
        QCOMPARE(box.buttons, MsgButtons::OkCancel);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        held = path("held.tsy");
        mine = path("mine.tsy");
        write_file(held, database_text);
        write_file(mine, database_text);
        other = std::make_unique<LockHolderProcess>();
        other->start(QString::fromStdString(held));
    }
    void cleanup() { other.reset(); }

    void cancel_keeps_the_open_database() {
        TestApp t(mine);
        open_held(t, MsgAnswer::Cancel);
        QCOMPARE(t.boxes().size(), size_t(1));
        QCOMPARE(t.app->database.file_name, mine);
        QVERIFY(t.app->document.lock.held());
        QVERIFY(!t.app->document.read_only);
        QCOMPARE(recent(t), QStringList{QString::fromStdString(mine)});
    }

    void read_only_open_greys_save_and_says_so() {
        TestApp t(mine);
        open_held(t, MsgAnswer::Ok);
        QCOMPARE(t.app->database.file_name, held);
        QCOMPARE(t.app->database.keys.size(), 1);
        QVERIFY(t.app->document.read_only);
        // The database left behind is no longer locked; the other process keeps its own lock.
        QVERIFY(!t.app->document.lock.held());
        QVERIFY(!QFile::exists(QString::fromStdString(mine + ".lock")));
        QVERIFY(QFile::exists(QString::fromStdString(held + ".lock")));
        QCOMPARE(t.window().windowTitle(), QStringLiteral("held.tsy (read-only) - Tessary"));
        mark_modified(*t.app);
        QVERIFY(!t.window().action(CmdSave)->isEnabled());
        // Yes in the save-changes prompt goes to Save As: the file is the other window's.
        t.host().clear_boxes();
        t.host().push_answer(MsgAnswer::Yes);
        t.host().push_file_choice(std::nullopt);
        QVERIFY(!ask_save_changes(*t.app));
        QCOMPARE(read_file(held), database_text);
        QCOMPARE(recent(t),
                 (QStringList{QString::fromStdString(held), QString::fromStdString(mine)}));
    }

    void save_as_takes_a_free_name_and_refuses_a_held_one() {
        TestApp t;
        open_held(t, MsgAnswer::Ok);
        mark_modified(*t.app);
        // Onto the file the other process holds: refused, nothing written.
        t.host().clear_boxes();
        t.host().push_file_choice(choice_of(held));
        QVERIFY(!save_database_as(*t.app));
        QCOMPARE(t.boxes().size(), size_t(1));
        QCOMPARE(t.boxes()[0].caption, std::string("Tessary - Saving database"));
        QCOMPARE(t.boxes()[0].icon, MsgIcon::Error);
        QCOMPARE(read_file(held), database_text);
        QVERIFY(t.app->document.read_only);
        // To a free name: the window holds that one and may save again.
        const std::string copy = path("copy.tsy");
        t.host().push_file_choice(choice_of(copy));
        QVERIFY(save_database_as(*t.app));
        QVERIFY(!t.app->document.read_only);
        QCOMPARE(t.app->document.lock.database(), copy);
        QCOMPARE(t.window().windowTitle(), QStringLiteral("copy.tsy - Tessary"));
        QCOMPARE(recent(t).first(), QString::fromStdString(copy));
    }

    // Open Recent takes the road of File > Open: the prompt first, then the lock.
    void open_recent_prompts_then_opens() {
        TestApp t(mine);
        mark_modified(*t.app);
        t.host().clear_boxes();
        t.host().push_answer(MsgAnswer::Cancel);
        open_recent(*t.app, held);
        QCOMPARE(t.boxes().size(), size_t(1));
        QCOMPARE(t.boxes()[0].caption, std::string("Tessary - Closing Tessary"));
        QCOMPARE(t.app->database.file_name, mine);
        other->close_database();
        t.host().clear_boxes();
        t.host().push_answer(MsgAnswer::No);
        open_recent(*t.app, held);
        t.wait_loaded();
        QCOMPARE(t.app->database.file_name, held);
        QCOMPARE(t.window().windowTitle(), QStringLiteral("held.tsy - Tessary"));
        QCOMPARE(t.app->document.lock.database(), held);
        QCOMPARE(recent(t).first(), QString::fromStdString(held));
    }

    // A lock file that no live process locks is stale whatever it holds.
    void garbage_lock_file_is_taken_over() {
        other->close_database();
        write_file(held + ".lock", "\x01\xff no pid here\n");
        TestApp t(held);
        for (const ShownBox& box : t.boxes()) {
            QVERIFY2(box.text.find("already open") == std::string::npos, box.text.c_str());
        }
        QVERIFY(!t.app->document.read_only);
        QCOMPARE(t.app->document.lock.database(), held);
    }

    void lock_goes_with_the_database() {
        other->close_database();
        TestApp t(held);
        QCOMPARE(t.app->document.lock.database(), held);
        // Save As to another name moves the lock.
        t.host().push_file_choice(choice_of(mine));
        QVERIFY(save_database_as(*t.app));
        QVERIFY(!QFile::exists(QString::fromStdString(held + ".lock")));
        QVERIFY(QFile::exists(QString::fromStdString(mine + ".lock")));
        // New database closes it.
        new_database(*t.app);
        QVERIFY(!t.app->document.lock.held());
        QVERIFY(!QFile::exists(QString::fromStdString(mine + ".lock")));
    }
};

int main(int argc, char** argv) {
    if (int code = 0; run_as_lock_holder(argc, argv, code)) {
        return code;
    }
    QApplication app(argc, argv);
    ReadOnlyOpenTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "read_only_open_test.moc"
