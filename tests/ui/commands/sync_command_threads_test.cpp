// Keys > Synchronize in the window: the command greyed in the menu and on the toolbar while the
// thread runs, the status texts, the progress bar, the database marked modified, and closing
// the window while a run is going.
#include "support/fake_clock.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_qt_host.h"
#include "sync/scripted_comm.h"
#include "ui/commands/commands.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

#include <chrono>
#include <memory>
#include <thread>

namespace {

const char* const checking = "Checking the keys in the key controller";

QAction* menu_entry(MainWindow& w, int id) {
    for (QAction* top : w.menuBar()->actions()) {
        if (QMenu* menu = top->menu()) {
            for (QAction* a : menu->actions()) {
                if (a->data().toInt() == id) {
                    return a;
                }
            }
        }
    }
    return nullptr;
}

QWidget* toolbar_button(MainWindow& w, int id) {
    for (QAction* a : w.tool_bar()->actions()) {
        if (a->data().toInt() == id) {
            return w.tool_bar()->widgetForAction(a);
        }
    }
    return nullptr;
}

QProgressBar* progress_bar(MainWindow& w) {
    return w.progress_bar();
}

void add_database_key(App& app, uint32_t number) {
    app.database.keys.add(KeyId{0, number, 0}, "someone");
}

} // namespace

class SyncCommandTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeClock> clock;
    std::unique_ptr<App> app;
    std::unique_ptr<ScriptedComm> comm;
    QTemporaryDir settings_dir;

    MainWindow& window() { return *app->window; }
    void trigger_synchronize() { window().action(CmdSynchronize)->trigger(); }
    bool command_enabled() {
        QAction* entry = menu_entry(window(), CmdSynchronize);
        QWidget* button = toolbar_button(window(), CmdSynchronize);
        bool e = entry && entry->isEnabled();
        bool b = button && button->isEnabled();
        // The menu entry and the toolbar button never disagree.
        if (e != b) {
            qWarning("menu entry and toolbar button disagree");
            return false;
        }
        return e;
    }

  private slots:
    void init() {
        clock = std::make_unique<FakeClock>();
        clock->auto_advance = true;
        app = make_scripted_app(*clock);
        // The scripted controller does not change with what it is sent: these runs are not
        // read back.
        app->settings =
            std::make_unique<QSettings>(settings_dir.filePath("t.conf"), QSettings::IniFormat);
        app->settings->setValue("sync/verify", false);
        start_up(*app, {});
        QVERIFY(QTest::qWaitForWindowExposed(app->window.get()));
        comm = std::make_unique<ScriptedComm>(app->link);
    }
    void cleanup() {
        if (app) {
            comm->stop();
        }
        app.reset();
        comm.reset(); // its thread has ended; it no longer touches the link
        clock.reset();
    }

    void greyedInMenuAndToolbarWhileRunningAndReadyAfter() {
        QVERIFY(menu_entry(window(), CmdSynchronize));
        QVERIFY(toolbar_button(window(), CmdSynchronize));
        QVERIFY(command_enabled());
        comm->readout = ScriptedComm::Readout::Ignore;
        comm->start();
        trigger_synchronize();
        QTRY_COMPARE(comm->sent().size(), size_t{1});
        QTRY_COMPARE(window().status_text(), QString::fromLatin1(checking));
        QVERIFY(!command_enabled());
        // Compare needs the same thread: greyed with it, back with it.
        QVERIFY(!window().action(CmdCompareWithController)->isEnabled());

        // A second start while the first run waits is refused: still one read-out request.
        trigger_synchronize();
        QTest::qWait(50);
        QCOMPARE(comm->sent().size(), size_t{1});

        // The comm thread goes away: the wait ends as if unanswered, without a box.
        app->link.request_stop();
        QTRY_VERIFY(command_enabled());
        QVERIFY(window().action(CmdCompareWithController)->isEnabled());
        QCOMPARE(window().status_text(), QStringLiteral("Ready"));
        QVERIFY(scripted_host(*app).boxes().empty());
        QTRY_VERIFY(!app->sync.running());
        QCOMPARE(app->sync.last_result(), SyncResult::CommStopped);
    }

    void yesKeepsKeysMarksModifiedAndShowsTheBarDuringTheAdds() {
        for (uint32_t k : {0x11u, 0x12u, 0x13u, 0x14u}) {
            add_database_key(*app, k);
        }
        QVERIFY(!app->document.modified);
        comm->memory = {0x100, 0x11};
        comm->before_key = [](size_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        };
        scripted_host(*app).push_answer(MsgAnswer::Yes);
        comm->start();
        trigger_synchronize();
        QTRY_VERIFY(progress_bar(window()) && progress_bar(window())->isVisible());
        QCOMPARE(progress_bar(window())->maximum(), 3);
        QCOMPARE(window().status_text(), QStringLiteral("Adding keys to the key controller"));
        QTRY_VERIFY(!app->sync.running());
        QCOMPARE(app->sync.last_result(), SyncResult::Done);

        QVERIFY(!progress_bar(window())->isVisible());
        QCOMPARE(window().status_text(), QStringLiteral("Ready"));
        QVERIFY(command_enabled());
        QVERIFY(app->document.modified);
        QCOMPARE(app->database.keys.size(), 5);
        auto boxes = scripted_host(*app).boxes();
        QCOMPARE(boxes.size(), size_t{2});
        QCOMPARE(boxes[1].text,
                 std::string("The database and the key controller are now up to date."));
    }

    // Compare reads back, sends nothing else and hands the difference to the dialog; the
    // commands are greyed meanwhile and back afterwards.
    void compareShowsTheDifferenceWithoutSendingAnything() {
        add_database_key(*app, 0x11);
        add_database_key(*app, 0x12);
        comm->memory = {0x100, 0x11, 0x33};
        comm->before_key = [](size_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        };
        std::vector<KeyDifference> shown;
        scripted_dialogs(*app).comparison = [&shown](App&, const KeyDifference& d) {
            shown.push_back(d);
            return false;
        };
        comm->start();
        window().action(CmdCompareWithController)->trigger();
        QTRY_COMPARE(window().status_text(), QString::fromLatin1(checking));
        QVERIFY(!command_enabled());
        QTRY_COMPARE(shown.size(), size_t{1});
        QCOMPARE(shown[0].to_add.size(), size_t{1});
        QCOMPARE(shown[0].to_add[0].number, 0x12u);
        QCOMPARE(shown[0].master.number, 0x100u);
        QCOMPARE(shown[0].extra.size(), size_t{2});
        QCOMPARE(shown[0].extra[1].number, 0x33u);
        QCOMPARE(comm->sent().size(), size_t{1});
        QVERIFY(command_enabled());
        QCOMPARE(window().status_text(), QStringLiteral("Ready"));
        QVERIFY(scripted_host(*app).boxes().empty());
        QVERIFY(!app->document.modified);
    }

    // Without a port the link's own box says so, once; the commands come back.
    void compareWithoutAPortSaysSoOnce() {
        window().action(CmdCompareWithController)->trigger();
        QTRY_VERIFY(command_enabled());
        QCOMPARE(scripted_host(*app).boxes().size(), size_t{1});
        QCOMPARE(scripted_host(*app).boxes()[0].caption,
                 std::string("Tessary - Serial communications"));
    }

    void closingWhileTheReadOutIsAwaitedEndsTheRun() {
        comm->readout = ScriptedComm::Readout::Ignore;
        comm->start();
        trigger_synchronize();
        QTRY_COMPARE(comm->sent().size(), size_t{1});
        QVERIFY(app->sync.running());
        app.reset(); // must return: the run ends, and nothing touches the freed window
        QVERIFY(comm->finished());
    }

    void closingTheWindowDuringATransferEndsTheRunWithoutABox() {
        add_database_key(*app, 0x21);
        comm->take_transfers = false;
        comm->start();
        trigger_synchronize();
        QTRY_COMPARE(app->link.transfer_remaining(), 1);
        QVERIFY(window().close());
        QVERIFY(!app->sync.running());
        QCOMPARE(app->sync.last_result(), SyncResult::Shutdown);
        QTest::qWait(20);
        QVERIFY(scripted_host(*app).boxes().empty());
        // Synchronize cannot start again on a closed window.
        trigger_synchronize();
        QVERIFY(!app->sync.running());
    }

    void closingDuringAStalledTransferStopsTheCommThreadAndEnds() {
        add_database_key(*app, 0x21);
        comm->take_transfers = false;
        comm->start();
        trigger_synchronize();
        QTRY_COMPARE(app->link.transfer_remaining(), 1);
        app.reset(); // must return: the run ends, and nothing touches the freed window
        QVERIFY(comm->finished());
    }
};

QTEST_MAIN(SyncCommandTest)
#include "sync_command_threads_test.moc"
