// File > Settings: the port list as the port folder offers it, the fields and options, OK and
// Cancel, and the comm thread and log following a changed port.
#include "ui/window_test_support.h"

#include "events/log_file.h"
#include "platform/serial_port.h"
#include "ui/commands/commands.h"
#include "ui/dialogs/settings_dialog.h"
#include "ui/window/document.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

const std::string header = ";              === Tessary 2.0 key list ===\r\n"
                           ";   === It is not recommended to edit this file manually! ===\r\n"
                           ";\r\n";
const char* const stamp = "2003/7/4 9:05";

// The master side of a pseudo-terminal whose slave a COMn entry of the port folder names.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
        }
    }
    ~Pty() {
        if (master >= 0) {
            ::close(master);
        }
    }
    // True once the comm thread has opened the slave: its first act there is the reset, which
    // ends in "r". Probing the port instead would race with the thread's own open.
    bool wait_until_held(int timeout_ms = 20000) const {
        QDeadlineTimer deadline(timeout_ms);
        while (!deadline.hasExpired()) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
                char bytes[64];
                ssize_t n = ::read(master, bytes, sizeof bytes);
                if (n > 0 && std::string_view(bytes, static_cast<size_t>(n)).find('r') !=
                                 std::string_view::npos) {
                    return true;
                }
            }
        }
        return false;
    }

    int master = -1;
    std::string slave;
};

QStringList items(const QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i) {
        list << box->itemText(i);
    }
    return list;
}

QStringList label_texts(const QWidget* w) {
    QStringList list;
    for (const QLabel* l : w->findChildren<QLabel*>()) {
        list << l->text();
    }
    list.sort();
    return list;
}

int select_port(QComboBox* box, const QString& text) {
    int i = box->findText(text);
    box->setCurrentIndex(i);
    return i;
}

} // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void ports_listed_are_the_probed_ones_and_the_current_one();
    void dialog_shows_its_caption_labels_and_the_settings();
    void ok_takes_the_fields_and_options_and_marks_modified();
    void entries_that_are_no_number_keep_the_setting();
    void cancel_changes_nothing();
    void choosing_none_stops_the_link_and_ends_the_log();
    void choosing_a_port_starts_the_log_and_the_link();
    void a_port_above_32_is_listed_and_kept();
    void the_command_opens_it_modally_enter_is_ok_and_esc_cancel();

  private:
    std::string path(const char* name) { return dir.filePath(name).toStdString(); }
    void map_port(uint32_t n, const Pty& pty) {
        QVERIFY(!pty.slave.empty());
        QVERIFY(::symlink(
                    pty.slave.c_str(),
                    ports.filePath(QStringLiteral("COM%1").arg(n)).toLocal8Bit().constData()) == 0);
    }
    std::unique_ptr<TestApp> app_on_port(uint32_t port) {
        const std::string a = path("a.tsy");
        write_file(a, header + "COM\t" + std::to_string(port) + "\r\n");
        auto t = std::make_unique<TestApp>("\"" + a + "\"");
        t->host().clear_boxes();
        return t;
    }

    QTemporaryDir dir;
    QTemporaryDir ports;
    // Fresh per test, so that no byte of an earlier test is waiting on them.
    std::optional<Pty> com1;
    std::optional<Pty> com3;
};

void SettingsDialogTest::init() {
    QVERIFY(dir.isValid());
    QVERIFY(ports.isValid());
    com1.emplace();
    com3.emplace();
    // Both the link and the probe find COMn in this folder; nothing else is probed.
    qputenv("TESSARY_PORT_DIR", ports.path().toLocal8Bit());
}

void SettingsDialogTest::cleanup() {
    qunsetenv("TESSARY_PORT_DIR");
    QDir(ports.path()).removeRecursively();
    QDir().mkpath(ports.path());
    QDir(dir.path()).removeRecursively();
    QDir().mkpath(dir.path());
}

void SettingsDialogTest::ports_listed_are_the_probed_ones_and_the_current_one() {
    // The rule itself, with a stand-in probe.
    auto only_1_and_5 = [](uint32_t n) { return n == 1 || n == 5; };
    QCOMPARE(listed_com_ports(0, only_1_and_5), (std::vector<uint32_t>{1, 5}));
    QCOMPARE(listed_com_ports(3, only_1_and_5), (std::vector<uint32_t>{1, 3, 5}));
    QCOMPARE(listed_com_ports(40, only_1_and_5), (std::vector<uint32_t>{1, 5, 40}));
    std::vector<uint32_t> probed;
    listed_com_ports(0, [&](uint32_t n) {
        probed.push_back(n);
        return false;
    });
    QCOMPARE(probed.size(), size_t(32));
    QCOMPARE(probed.back(), 32u);

    // The real probe through the port folder: COM1 free, COM3 held by the program's own comm
    // thread, COM2 not there at all.
    map_port(1, *com1);
    map_port(3, *com3);
    auto t = app_on_port(3);
    QVERIFY(comm_active(t->app->link));
    QVERIFY(com3->wait_until_held());
    QVERIFY(!probe_com_port(3));
    QVERIFY(probe_com_port(1));
    SettingsDialog d(*t->app, t->app->window.get());
    QCOMPARE(items(d.port_box()), (QStringList{"None", "COM1", "COM3"}));
    QCOMPARE(d.port_box()->currentText(), QStringLiteral("COM3"));
    QCOMPARE(d.port_box()->itemData(0).toUInt(), 0u);
    QCOMPARE(d.port_box()->itemData(2).toUInt(), 3u);
    QVERIFY(t->boxes().empty());
}

void SettingsDialogTest::dialog_shows_its_caption_labels_and_the_settings() {
    TestApp t;
    DatabaseRecord& db = t.app->database;
    db.screen_log_lines = 250;
    db.log_file_size = 64;
    db.rename_full_logs = true;
    db.save_window_properties = false;
    SettingsDialog d(*t.app, t.app->window.get());
    QCOMPARE(d.windowTitle(), QStringLiteral("Edit Database Settings"));
    QCOMPARE(label_texts(&d), (QStringList{"&COM port:", "Max. size of the log file:",
                                           "Max. size of the screen log:", "kilobytes", "lines."}));
    QCOMPARE(d.rename_box()->text(),
             QStringLiteral("Rename full log files instead of overwriting them"));
    QCOMPARE(d.save_window_box()->text(), QStringLiteral("&Save window properties"));
    QCOMPARE(d.ok_button()->text(), QStringLiteral("OK"));
    QCOMPARE(d.cancel_button()->text(), QStringLiteral("Cancel"));
    QVERIFY(d.ok_button()->isDefault());
    QCOMPARE(d.screen_log_edit()->text(), QStringLiteral("250"));
    QCOMPARE(d.log_file_edit()->text(), QStringLiteral("64"));
    QVERIFY(d.screen_log_edit()->alignment() & Qt::AlignRight);
    QVERIFY(d.log_file_edit()->alignment() & Qt::AlignRight);
    QVERIFY(d.rename_box()->isChecked());
    QVERIFY(!d.save_window_box()->isChecked());
    // No port anywhere in the empty port folder: only "None", selected.
    QCOMPARE(items(d.port_box()), QStringList{"None"});
    QCOMPARE(d.port_box()->currentIndex(), 0);
    // The label's mnemonic leads to the list.
    QCOMPARE(d.findChildren<QLabel*>().size(), 5);
    for (QLabel* l : d.findChildren<QLabel*>()) {
        if (l->text() == QStringLiteral("&COM port:")) {
            QCOMPARE(l->buddy(), static_cast<QWidget*>(d.port_box()));
        }
    }
}

void SettingsDialogTest::ok_takes_the_fields_and_options_and_marks_modified() {
    auto t = app_on_port(0);
    DatabaseRecord& db = t->app->database;
    QVERIFY(!db.modified);
    {
        // OK without any change still marks the database modified.
        SettingsDialog d(*t->app, t->app->window.get());
        d.ok_button()->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));
    }
    QVERIFY(db.modified);
    QCOMPARE(t->app->window->windowTitle(), QString::fromStdString(path("a.tsy") + " - Tessary"));
    QVERIFY(t->app->window->action(CmdSave)->isEnabled());
    QCOMPARE(db.screen_log_lines, 1000);
    QCOMPARE(db.log_file_size, 710);
    QCOMPARE(t->app->link.starts(), 0u);
    // The log went on untouched: only its "Log started".
    QCOMPARE(read_file(path("a.log")), log_file_line(stamp, " - ", "Log started"));

    SettingsDialog d(*t->app, t->app->window.get());
    d.screen_log_edit()->setText(QStringLiteral("25"));
    d.log_file_edit()->setText(QStringLiteral(" 0 "));
    d.rename_box()->setChecked(true);
    d.save_window_box()->setChecked(false);
    d.ok_button()->click();
    QCOMPARE(db.screen_log_lines, 25);
    // 0 turns the log file off and is accepted.
    QCOMPARE(db.log_file_size, 0);
    QVERIFY(db.rename_full_logs);
    QVERIFY(!db.save_window_properties);
    QVERIFY(t->boxes().empty());
}

void SettingsDialogTest::entries_that_are_no_number_keep_the_setting() {
    QCOMPARE(parse_setting_number("1000"), std::optional<int32_t>(1000));
    QCOMPARE(parse_setting_number("  7"), std::optional<int32_t>(7));
    QCOMPARE(parse_setting_number("2147483647"), std::optional<int32_t>(2147483647));
    QCOMPARE(parse_setting_number(""), std::nullopt);
    QCOMPARE(parse_setting_number("   "), std::nullopt);
    QCOMPARE(parse_setting_number("-5"), std::nullopt);
    QCOMPARE(parse_setting_number("12k"), std::nullopt);
    QCOMPARE(parse_setting_number("1 2"), std::nullopt);
    // Would turn negative in the record and the file.
    QCOMPARE(parse_setting_number("2147483648"), std::nullopt);
    QCOMPARE(parse_setting_number("99999999999999999999"), std::nullopt);

    TestApp t;
    DatabaseRecord& db = t.app->database;
    db.screen_log_lines = 300;
    db.log_file_size = 20;
    SettingsDialog d(*t.app, t.app->window.get());
    d.screen_log_edit()->clear();
    d.log_file_edit()->setText(QStringLiteral("lots"));
    d.ok_button()->click();
    QCOMPARE(db.screen_log_lines, 300);
    QCOMPARE(db.log_file_size, 20);
    QVERIFY(db.modified);
}

void SettingsDialogTest::cancel_changes_nothing() {
    map_port(1, *com1);
    auto t = app_on_port(0);
    DatabaseRecord& db = t->app->database;
    SettingsDialog d(*t->app, t->app->window.get());
    d.screen_log_edit()->setText(QStringLiteral("5"));
    d.rename_box()->setChecked(true);
    QVERIFY(select_port(d.port_box(), "COM1") > 0);
    d.cancel_button()->click();
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QCOMPARE(db.screen_log_lines, 1000);
    QVERIFY(!db.rename_full_logs);
    QCOMPARE(db.com_port, 0u);
    QVERIFY(!db.modified);
    QVERIFY(!comm_active(t->app->link));
    QCOMPARE(t->app->window->windowTitle(), QString::fromStdString(path("a.tsy") + " - Tessary"));
}

void SettingsDialogTest::choosing_none_stops_the_link_and_ends_the_log() {
    map_port(3, *com3);
    auto t = app_on_port(3);
    QVERIFY(comm_active(t->app->link));
    QVERIFY(com3->wait_until_held());
    SettingsDialog d(*t->app, t->app->window.get());
    QVERIFY(select_port(d.port_box(), "None") == 0);
    d.ok_button()->click();
    QCOMPARE(t->app->database.com_port, 0u);
    QVERIFY(!comm_active(t->app->link));
    // The port is free again.
    QVERIFY(probe_com_port(3));
    QCOMPARE(read_file(path("a.log")),
             log_file_line(stamp, " - ", "Log started") + log_file_line(stamp, " - ", "Log ended"));
    QCOMPARE(t->app->screen_log.rows.size(), size_t(0));
    QCOMPARE(t->app->window->windowTitle(), QString::fromStdString(path("a.tsy") + " - Tessary"));
    QVERIFY(t->boxes().empty());
}

void SettingsDialogTest::choosing_a_port_starts_the_log_and_the_link() {
    map_port(1, *com1);
    map_port(3, *com3);
    auto t = app_on_port(0);
    {
        SettingsDialog d(*t->app, t->app->window.get());
        QCOMPARE(items(d.port_box()), (QStringList{"None", "COM1", "COM3"}));
        QCOMPARE(d.port_box()->currentIndex(), 0);
        QVERIFY(select_port(d.port_box(), "COM1") > 0);
        d.ok_button()->click();
    }
    QCOMPARE(t->app->database.com_port, 1u);
    QVERIFY(comm_active(t->app->link));
    QCOMPARE(t->app->link.starts(), 1u);
    QVERIFY(com1->wait_until_held());
    QVERIFY(!probe_com_port(1));
    QCOMPARE(t->app->window->windowTitle(),
             QString::fromStdString(path("a.tsy") + " [COM1] - Tessary"));
    // The log started again: the screen holds only the new "Log started".
    QCOMPARE(t->app->screen_log.rows.size(), size_t(1));
    QCOMPARE(read_file(path("a.log")), log_file_line(stamp, " - ", "Log started") +
                                           log_file_line(stamp, " - ", "Log started"));
    // From COM1 to COM3: the thread moves, COM1 is let go.
    {
        SettingsDialog d(*t->app, t->app->window.get());
        QCOMPARE(d.port_box()->currentText(), QStringLiteral("COM1"));
        QVERIFY(select_port(d.port_box(), "COM3") > 0);
        d.ok_button()->click();
    }
    QCOMPARE(t->app->link.starts(), 2u);
    QVERIFY(com3->wait_until_held());
    QVERIFY(!probe_com_port(3));
    QVERIFY(probe_com_port(1));
    QCOMPARE(t->app->window->windowTitle(),
             QString::fromStdString(path("a.tsy") + " [COM3] - Tessary"));
    QVERIFY(t->boxes().empty());
}

void SettingsDialogTest::a_port_above_32_is_listed_and_kept() {
    map_port(1, *com1);
    TestApp t;
    DatabaseRecord& db = t.app->database;
    db.com_port = 40;
    const uint32_t starts = t.app->link.starts();
    SettingsDialog d(*t.app, t.app->window.get());
    QCOMPARE(items(d.port_box()), (QStringList{"None", "COM1", "COM40"}));
    QCOMPARE(d.port_box()->currentText(), QStringLiteral("COM40"));
    d.ok_button()->click();
    // OK without touching the list keeps the port and leaves the link alone.
    QCOMPARE(db.com_port, 40u);
    QCOMPARE(t.app->link.starts(), starts);
    QCOMPARE(t.window().windowTitle(), QStringLiteral(" [COM40] - Tessary"));
}

void SettingsDialogTest::the_command_opens_it_modally_enter_is_ok_and_esc_cancel() {
    TestApp t;
    DatabaseRecord& db = t.app->database;
    QString seen_title;
    bool was_modal = false;
    auto press = [&](Qt::Key key, const char* text) {
        QTimer::singleShot(0, [&, key, text] {
            QWidget* w = QApplication::activeModalWidget();
            QVERIFY(w);
            seen_title = w->windowTitle();
            was_modal = w->isModal();
            auto* d = qobject_cast<SettingsDialog*>(w);
            QVERIFY(d);
            d->screen_log_edit()->setFocus();
            d->screen_log_edit()->setText(QString::fromLatin1(text));
            QTest::keyClick(d->screen_log_edit(), key);
        });
        t.window().action(CmdSettings)->trigger();
    };
    press(Qt::Key_Escape, "11");
    QCOMPARE(seen_title, QStringLiteral("Edit Database Settings"));
    QVERIFY(was_modal);
    QCOMPARE(db.screen_log_lines, 1000);
    QVERIFY(!db.modified);
    // Enter in a field presses OK.
    press(Qt::Key_Return, "12");
    QCOMPARE(db.screen_log_lines, 12);
    QVERIFY(db.modified);
}

QTEST_MAIN(SettingsDialogTest)
#include "settings_dialog_test.moc"
