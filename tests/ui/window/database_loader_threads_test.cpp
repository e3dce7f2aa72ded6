// A database read on its own thread: the window is usable while the file comes in, the status
// bar says so, the commands that need the database are greyed until the keys are in, and
// closing the window meanwhile abandons the load without a prompt. The file is a named pipe,
// handed to the loader past the refusal of anything but a regular file, so that the test
// decides when the reader gets its bytes.
#include "../window_test_support.h"
#include "ui/commands/commands.h"
#include "ui/models/row_click_view.h"
#include "ui/window/document.h"

#include <QAction>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string head = ";              === Tessary 2.0 key list ===\r\nCOM\t0\r\n"
                         "KEY\t000001\tOne\t\t\r\n";

struct Pipe {
    Pipe(App& app, const std::string& p) : path(p) {
        mkfifo(path.c_str(), 0600);
        // Read-write, so that neither this open nor the reader's waits for the other end.
        fd = ::open(path.c_str(), O_RDWR);
        scripted_dialogs(app).loading = [](const std::string& name) { return File::open_read(name); };
    }
    ~Pipe() { close(); }
    void write(const std::string& bytes) {
        QCOMPARE(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    std::string path;
    int fd = -1;
};

} // namespace

class DatabaseLoaderTest : public QObject {
    Q_OBJECT
  private slots:
    void commandsWaitForTheKeysWhileTheWindowShowsProgress();
    void closingDuringALoadAbandonsItWithoutAPrompt();

  private:
    QTemporaryDir dir;
};

void DatabaseLoaderTest::commandsWaitForTheKeysWhileTheWindowShowsProgress() {
    TestApp t;
    Pipe pipe(*t.app, dir.filePath("big.tsy").toStdString());
    pipe.write(head);
    QVERIFY(open_database_file(*t.app, FileChoice{pipe.path, pipe.path.rfind('/') + 1}));
    QVERIFY(t.app->loader.loading());
    QTRY_VERIFY(t.window().status_text().startsWith(QStringLiteral("Loading database... ")));
    for (int id : {int(CmdSave), int(CmdNewKey), int(CmdSynchronize), int(CmdOpenDatabase)}) {
        QVERIFY(!t.window().action(id)->isEnabled());
    }
    QVERIFY(t.window().action(CmdToolbar)->isEnabled());
    // The list view's Delete reaches no command meanwhile either.
    dispatch_command(*t.app, CmdDeleteKeys);
    QVERIFY(t.boxes().empty());
    pipe.write("KEY\t000002\tTwo\t\t\r\n");
    pipe.close();
    t.wait_loaded();
    QCOMPARE(t.app->database.keys.size(), 2);
    QCOMPARE(t.window().key_view()->model()->rowCount(), 2);
    QCOMPARE(t.window().status_text(), QStringLiteral("Ready"));
    QVERIFY(t.window().action(CmdNewKey)->isEnabled());
    QVERIFY(t.window().action(CmdSynchronize)->isEnabled());
    QCOMPARE(t.window().windowTitle(), QStringLiteral("big.tsy - Tessary"));
    // The open's last step ran after the load: the database names no port.
    QCOMPARE(t.boxes().size(), size_t(1));
}

void DatabaseLoaderTest::closingDuringALoadAbandonsItWithoutAPrompt() {
    TestApp t;
    Pipe pipe(*t.app, dir.filePath("half.tsy").toStdString());
    pipe.write(head);
    QVERIFY(open_database_file(*t.app, FileChoice{pipe.path, 0}));
    // A half-read database would otherwise count as changed (its window differs from the
    // file's) and be offered for saving over the file.
    mark_modified(*t.app);
    // The reader waits for more bytes; the end of the pipe lets it see the cancel.
    QTimer::singleShot(50, [&pipe] { pipe.close(); });
    QVERIFY(t.window().close());
    QVERIFY(!t.app->loader.loading());
    QVERIFY(t.boxes().empty());
}

QTEST_MAIN(DatabaseLoaderTest)
#include "database_loader_threads_test.moc"
