// The Qt host: real message boxes with their captions, icons and buttons; scripted answers;
// calls from other threads blocking until the user-interface thread has served them.
#include "ui/window_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {

// Looks at the box that is up, then presses one of its buttons.
struct BoxInspector {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton default_button = QMessageBox::NoButton;
    bool seen = false;

    void answer_with(QMessageBox::StandardButton press) {
        QTimer::singleShot(0, [this, press] { inspect_and_press(press); });
    }
    void inspect_and_press(QMessageBox::StandardButton press) {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            QTimer::singleShot(10, [this, press] { inspect_and_press(press); });
            return;
        }
        seen = true;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        default_button = box->standardButton(box->defaultButton());
        if (press == QMessageBox::Escape) {
            QTest::keyClick(box, Qt::Key_Escape);
        } else {
            box->button(press)->click();
        }
    }
};

} // namespace

class QtHostTest : public QObject {
    Q_OBJECT
  private slots:
    void error_box_has_caption_text_icon_and_ok();
    void confirmation_box_defaults_to_cancel();
    void question_box_has_yes_no_cancel();
    void escape_counts_as_cancel_or_ok();
    void scripted_boxes_are_recorded_and_answered_from_the_queue();
    void box_from_another_thread_blocks_until_answered();
    void run_on_ui_from_another_thread_runs_on_the_ui_thread();
    void waiting_serves_other_threads();
    void waiting_gives_up_after_its_time();
    void scripted_file_dialogs_take_queued_choices();
    void status_title_and_command_reach_the_window();
};

void QtHostTest::error_box_has_caption_text_icon_and_ok() {
    ScriptedQtHost host;
    BoxInspector box;
    box.answer_with(QMessageBox::Ok);
    MsgAnswer a =
        host.message_box("Tessary - Loading database", "Line one.\n\nLine two.", MsgIcon::Error);
    QVERIFY(box.seen);
    QCOMPARE(a, MsgAnswer::Ok);
    QCOMPARE(box.title, QStringLiteral("Tessary - Loading database"));
    QCOMPARE(box.text, QStringLiteral("Line one.\n\nLine two."));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(host.boxes().size(), size_t(1));
}

void QtHostTest::confirmation_box_defaults_to_cancel() {
    ScriptedQtHost host;
    BoxInspector box;
    box.answer_with(QMessageBox::Ok);
    MsgAnswer a = host.message_box("Tessary - Clearing the key controller", "Sure?",
                                   MsgIcon::Warning, MsgButtons::OkCancel, MsgAnswer::Cancel);
    QCOMPARE(a, MsgAnswer::Ok);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.default_button, QMessageBox::Cancel);
}

void QtHostTest::question_box_has_yes_no_cancel() {
    ScriptedQtHost host;
    for (auto [press, expected] :
         {std::pair{QMessageBox::Yes, MsgAnswer::Yes}, std::pair{QMessageBox::No, MsgAnswer::No},
          std::pair{QMessageBox::Cancel, MsgAnswer::Cancel}}) {
        BoxInspector box;
        box.answer_with(press);
        MsgAnswer a = host.message_box("Tessary - Closing Tessary", "Save?", MsgIcon::Warning,
                                       MsgButtons::YesNoCancel, MsgAnswer::Yes);
        QCOMPARE(a, expected);
        QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QCOMPARE(box.default_button, QMessageBox::Yes);
    }
    BoxInspector info;
    info.answer_with(QMessageBox::Ok);
    host.message_box("c", "t", MsgIcon::Information);
    QCOMPARE(info.icon, QMessageBox::Information);
    BoxInspector question;
    question.answer_with(QMessageBox::No);
    host.message_box("c", "t", MsgIcon::Question, MsgButtons::YesNoCancel, MsgAnswer::No);
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(question.default_button, QMessageBox::No);
}

void QtHostTest::escape_counts_as_cancel_or_ok() {
    ScriptedQtHost host;
    BoxInspector box;
    box.answer_with(QMessageBox::Escape);
    QCOMPARE(host.message_box("c", "t", MsgIcon::Warning, MsgButtons::YesNoCancel, MsgAnswer::Yes),
             MsgAnswer::Cancel);
    BoxInspector ok_only;
    ok_only.answer_with(QMessageBox::Escape);
    QCOMPARE(host.message_box("c", "t", MsgIcon::Error), MsgAnswer::Ok);
}

void QtHostTest::scripted_boxes_are_recorded_and_answered_from_the_queue() {
    ScriptedQtHost host;
    host.set_scripted(true);
    host.push_answer(MsgAnswer::No);
    QCOMPARE(host.message_box("a", "b", MsgIcon::Warning, MsgButtons::YesNoCancel, MsgAnswer::Yes),
             MsgAnswer::No);
    // With the queue empty the default button answers.
    QCOMPARE(host.message_box("c", "d", MsgIcon::Warning, MsgButtons::OkCancel, MsgAnswer::Cancel),
             MsgAnswer::Cancel);
    std::vector<ShownBox> boxes = host.boxes();
    QCOMPARE(boxes.size(), size_t(2));
    QCOMPARE(boxes[1].caption, std::string("c"));
    QCOMPARE(boxes[1].text, std::string("d"));
    QCOMPARE(boxes[1].buttons, MsgButtons::OkCancel);
    host.clear_boxes();
    QVERIFY(host.boxes().empty());
}

void QtHostTest::box_from_another_thread_blocks_until_answered() {
    ScriptedQtHost host;
    BoxInspector box;
    box.answer_with(QMessageBox::Cancel);
    std::atomic<bool> done{false};
    MsgAnswer answer = MsgAnswer::Ok;
    std::thread worker([&] {
        answer = host.message_box("Tessary - Serial communications", "From the comm thread",
                                  MsgIcon::Error, MsgButtons::OkCancel, MsgAnswer::Ok);
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 20000);
    worker.join();
    QVERIFY(box.seen);
    QCOMPARE(answer, MsgAnswer::Cancel);
    QCOMPARE(box.text, QStringLiteral("From the comm thread"));
}

void QtHostTest::run_on_ui_from_another_thread_runs_on_the_ui_thread() {
    ScriptedQtHost host;
    QThread* ui = QThread::currentThread();
    QThread* ran_on = nullptr;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        host.run_on_ui([&] { ran_on = QThread::currentThread(); });
        // run_on_ui returned: the function has run.
        done = ran_on != nullptr;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 20000);
    worker.join();
    QCOMPARE(ran_on, ui);
    // On the user-interface thread it runs at once.
    bool inline_ran = false;
    host.run_on_ui([&] { inline_ran = true; });
    QVERIFY(inline_ran);
}

void QtHostTest::waiting_serves_other_threads() {
    ScriptedQtHost host;
    host.set_scripted(true);
    std::atomic<bool> finished{false};
    int served = 0;
    std::thread worker([&] {
        // A thread that needs the user-interface thread before it can end.
        for (int i = 0; i < 3; ++i) {
            host.run_on_ui([&] { ++served; });
        }
        host.message_box("c", "from the worker", MsgIcon::Error);
        finished = true;
    });
    bool ended = host.wait_serving_ui([&] { return finished.load(); }, 20000);
    worker.join();
    QVERIFY(ended);
    QCOMPARE(served, 3);
    QCOMPARE(host.boxes().size(), size_t(1));
}

void QtHostTest::waiting_gives_up_after_its_time() {
    ScriptedQtHost host;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!host.wait_serving_ui([] { return false; }, 50));
    QVERIFY(timer.elapsed() >= 50);
    QVERIFY(host.wait_serving_ui([] { return true; }, 0));
}

void QtHostTest::scripted_file_dialogs_take_queued_choices() {
    ScriptedQtHost host;
    host.set_scripted(true);
    host.push_file_choice(FileChoice{"/keys/office.tsy", 6});
    host.push_file_choice(std::nullopt);
    auto first = host.open_file_dialog();
    QVERIFY(first.has_value());
    QCOMPARE(first->path, std::string("/keys/office.tsy"));
    QCOMPARE(first->name_offset, size_t(6));
    QVERIFY(!host.save_file_dialog().has_value());
    QVERIFY(!host.open_file_dialog().has_value());
}

void QtHostTest::status_title_and_command_reach_the_window() {
    TestApp t;
    t.app->host.set_status_text("Checking the keys in the key controller");
    QCOMPARE(t.window().status_text(), QStringLiteral("Checking the keys in the key controller"));
    // Also while the status bar is hidden.
    t.window().action(CmdStatusbar)->trigger();
    t.app->host.set_status_text("Ready");
    QCOMPARE(t.window().status_text(), QStringLiteral("Ready"));
    t.app->host.set_title("keys.tsy - Tessary");
    QCOMPARE(t.window().windowTitle(), QStringLiteral("keys.tsy - Tessary"));
    t.app->host.enable_command(CmdSynchronize, false);
    QVERIFY(!t.window().action(CmdSynchronize)->isEnabled());
    t.app->host.enable_command(CmdSynchronize, true);
    QVERIFY(t.window().action(CmdSynchronize)->isEnabled());
    // The progress bar beside the status text.
    QVERIFY(!t.window().progress_bar()->isVisible());
    t.window().action(CmdStatusbar)->trigger();
    t.app->host.set_progress(3, 12);
    QVERIFY(t.window().progress_bar()->isVisible());
    QCOMPARE(t.window().progress_bar()->value(), 3);
    QCOMPARE(t.window().progress_bar()->maximum(), 12);
    t.app->host.hide_progress();
    QVERIFY(!t.window().progress_bar()->isVisible());
}

QTEST_MAIN(QtHostTest)
#include "qt_host_test.moc"
