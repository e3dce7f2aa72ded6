// File > Settings: the port list as the port folder and the system offer it, binding a device or
// a network endpoint, the fields and options, OK and Cancel, the comm thread and log following a
// changed port, and the Test of a port.

// Before any Qt header: Qt's emit macro would garble the simulator's emit().
#include "sim_controller.h"

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
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
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

// Under a real display (TESSARY_SHOT_DIR set, QT_QPA_PLATFORM=xcb) the tests that show the
// dialog leave a picture of the screen there; otherwise nothing.
void save_shot(const char* name) {
    const QString dir = qEnvironmentVariable("TESSARY_SHOT_DIR");
    if (dir.isEmpty()) {
        return;
    }
    QTest::qWait(300);
    QGuiApplication::primaryScreen()->grabWindow(0).save(dir + "/" + name + ".png");
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
    void system_devices_are_listed_and_a_chosen_one_is_bound_on_ok();
    void a_device_takes_the_databases_own_number_when_it_is_free();
    void a_binding_that_fails_says_why_and_keeps_the_dialog();
    void a_network_endpoint_is_checked_added_and_bound();
    void test_asks_a_free_port_and_leaves_the_database_alone();
    void test_on_the_links_own_port_goes_through_the_link();
    void test_without_an_answer_says_so_and_cancel_ends_it();

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

    // Three adapters as the system reports them, by-id links in a folder of the test's own
    // leading to pseudo-terminals; the first is the device COM1 leads to in some tests.
    void script_adapters(TestApp& t) {
        QVERIFY(QDir().mkpath(dir.filePath("by-id")));
        scripted_dialogs(*t.app).ports = [this] {
            std::vector<SystemPort> list;
            const std::pair<const Pty*, const char*> adapters[] = {
                {&*com1, "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
                {&*dev_a, "usb-Prolific_USB-Serial_Controller_D-if00-port0"},
                {&*dev_b, "usb-Silicon_Labs_CP2102_0001-if00-port0"}};
            for (auto [pty, id] : adapters) {
                (void)::symlink(pty->slave.c_str(), path("by-id").append("/").append(id).c_str());
                list.push_back({pty->slave, "", "", "USB UART", "Maker", id + 4});
                find_stable_names(list.back(), path("by-id"), path("by-path"));
            }
            return list;
        };
    }
    QString label(const char* id) {
        return QStringLiteral("%1/%2 (USB UART, Maker, serial %3)")
            .arg(dir.filePath("by-id"), id, id + 4);
    }

    QTemporaryDir dir;
    QTemporaryDir ports;
    std::optional<Pty> dev_a;
    std::optional<Pty> dev_b;
    // Fresh per test, so that no byte of an earlier test is waiting on them.
    std::optional<Pty> com1;
    std::optional<Pty> com3;
};

void SettingsDialogTest::init() {
    QVERIFY(dir.isValid());
    QVERIFY(ports.isValid());
    com1.emplace();
    com3.emplace();
    dev_a.emplace();
    dev_b.emplace();
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
    QVERIFY(t->app->link.active());
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
    KeyDatabase& db = t.app->database;
    db.log.screen_log_lines = 250;
    db.log.log_file_size = 64;
    db.log.rename_full_logs = true;
    t.app->document.layout.save_window_properties = false;
    SettingsDialog d(*t.app, t.app->window.get());
    QCOMPARE(d.windowTitle(), QStringLiteral("Edit Database Settings"));
    // The test's result and the endpoint's error are empty until there is one.
    QCOMPARE(label_texts(&d),
             (QStringList{"", "", "&COM port:", "&Network port:", "Max. size of the log file:",
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
    // No two controls share a mnemonic; the label's leads to the list.
    QString letters;
    for (const QString& text :
         label_texts(&d) + QStringList{d.save_window_box()->text(), d.test_button()->text(),
                                       d.add_button()->text()}) {
        letters += text.contains('&') ? text[text.indexOf('&') + 1].toLower() : QChar();
    }
    letters.remove(QChar());
    QCOMPARE(QSet<QChar>(letters.begin(), letters.end()).size(), letters.size());
    QCOMPARE(letters.size(), 5);
    for (QLabel* l : d.findChildren<QLabel*>()) {
        if (l->text() == QStringLiteral("&COM port:")) {
            QCOMPARE(l->buddy(), static_cast<QWidget*>(d.port_box()));
        }
    }
}

void SettingsDialogTest::ok_takes_the_fields_and_options_and_marks_modified() {
    auto t = app_on_port(0);
    KeyDatabase& db = t->app->database;
    QVERIFY(!t->app->document.modified);
    {
        // OK without any change still marks the database modified.
        SettingsDialog d(*t->app, t->app->window.get());
        d.ok_button()->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));
    }
    QVERIFY(t->app->document.modified);
    QCOMPARE(t->app->window->windowTitle(), QString::fromStdString(path("a.tsy") + " - Tessary"));
    QVERIFY(t->app->window->action(CmdSave)->isEnabled());
    QCOMPARE(db.log.screen_log_lines, 1000);
    QCOMPARE(db.log.log_file_size, 710);
    QCOMPARE(t->app->link.starts(), 0u);
    // The log went on untouched: only its "Log started".
    QCOMPARE(read_file(path("a.log")), log_file_line(stamp, " - ", "Log started"));

    SettingsDialog d(*t->app, t->app->window.get());
    d.screen_log_edit()->setText(QStringLiteral("25"));
    d.log_file_edit()->setText(QStringLiteral(" 0 "));
    d.rename_box()->setChecked(true);
    d.save_window_box()->setChecked(false);
    d.ok_button()->click();
    QCOMPARE(db.log.screen_log_lines, 25);
    // 0 turns the log file off and is accepted.
    QCOMPARE(db.log.log_file_size, 0);
    QVERIFY(db.log.rename_full_logs);
    QVERIFY(!t->app->document.layout.save_window_properties);
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
    KeyDatabase& db = t.app->database;
    db.log.screen_log_lines = 300;
    db.log.log_file_size = 20;
    SettingsDialog d(*t.app, t.app->window.get());
    d.screen_log_edit()->clear();
    d.log_file_edit()->setText(QStringLiteral("lots"));
    d.ok_button()->click();
    QCOMPARE(db.log.screen_log_lines, 300);
    QCOMPARE(db.log.log_file_size, 20);
    QVERIFY(t.app->document.modified);
}

void SettingsDialogTest::cancel_changes_nothing() {
    map_port(1, *com1);
    auto t = app_on_port(0);
    KeyDatabase& db = t->app->database;
    SettingsDialog d(*t->app, t->app->window.get());
    d.screen_log_edit()->setText(QStringLiteral("5"));
    d.rename_box()->setChecked(true);
    QVERIFY(select_port(d.port_box(), "COM1") > 0);
    d.cancel_button()->click();
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QCOMPARE(db.log.screen_log_lines, 1000);
    QVERIFY(!db.log.rename_full_logs);
    QCOMPARE(db.log.com_port, 0u);
    QVERIFY(!t->app->document.modified);
    QVERIFY(!t->app->link.active());
    QCOMPARE(t->app->window->windowTitle(), QString::fromStdString(path("a.tsy") + " - Tessary"));
}

void SettingsDialogTest::choosing_none_stops_the_link_and_ends_the_log() {
    map_port(3, *com3);
    auto t = app_on_port(3);
    QVERIFY(t->app->link.active());
    QVERIFY(com3->wait_until_held());
    SettingsDialog d(*t->app, t->app->window.get());
    QVERIFY(select_port(d.port_box(), "None") == 0);
    d.ok_button()->click();
    QCOMPARE(t->app->database.log.com_port, 0u);
    QVERIFY(!t->app->link.active());
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
    QCOMPARE(t->app->database.log.com_port, 1u);
    QVERIFY(t->app->link.active());
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
    KeyDatabase& db = t.app->database;
    db.log.com_port = 40;
    const uint32_t starts = t.app->link.starts();
    SettingsDialog d(*t.app, t.app->window.get());
    QCOMPARE(items(d.port_box()), (QStringList{"None", "COM1", "COM40"}));
    QCOMPARE(d.port_box()->currentText(), QStringLiteral("COM40"));
    d.ok_button()->click();
    // OK without touching the list keeps the port and leaves the link alone.
    QCOMPARE(db.log.com_port, 40u);
    QCOMPARE(t.app->link.starts(), starts);
    QCOMPARE(t.window().windowTitle(), QStringLiteral(" [COM40] - Tessary"));
}

void SettingsDialogTest::the_command_opens_it_modally_enter_is_ok_and_esc_cancel() {
    TestApp t;
    KeyDatabase& db = t.app->database;
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
    QCOMPARE(db.log.screen_log_lines, 1000);
    QVERIFY(!t.app->document.modified);
    // Enter in a field presses OK.
    press(Qt::Key_Return, "12");
    QCOMPARE(db.log.screen_log_lines, 12);
    QVERIFY(t.app->document.modified);
}

void SettingsDialogTest::system_devices_are_listed_and_a_chosen_one_is_bound_on_ok() {
    map_port(1, *com1);
    auto t = app_on_port(0);
    script_adapters(*t);
    const QString a = label("usb-Prolific_USB-Serial_Controller_D-if00-port0");
    const QString b = label("usb-Silicon_Labs_CP2102_0001-if00-port0");
    {
        // The adapter COM1 leads to is COM1; the other two follow the ports.
        SettingsDialog d(*t->app, t->app->window.get());
        QCOMPARE(items(d.port_box()), (QStringList{"None", "COM1", a, b}));
        d.show();
        d.port_box()->showPopup();
        save_shot("settings-two-adapters");
        d.port_box()->hidePopup();
        QVERIFY(select_port(d.port_box(), b) > 0);
        save_shot("settings-adapter-chosen");
        d.ok_button()->click();
    }
    // The lowest free number, a link to the by-id name, and the link on it.
    QCOMPARE(t->app->database.log.com_port, 2u);
    QCOMPARE(QFile::symLinkTarget(ports.filePath("COM2")),
             dir.filePath("by-id/usb-Silicon_Labs_CP2102_0001-if00-port0"));
    QVERIFY(dev_b->wait_until_held());
    {
        // Once the link lets it go, the adapter is COM2 and no second entry of its own.
        SettingsDialog d(*t->app, t->app->window.get());
        d.port_box()->setCurrentIndex(0);
        d.ok_button()->click();
    }
    SettingsDialog d(*t->app, t->app->window.get());
    QCOMPARE(items(d.port_box()), (QStringList{"None", "COM1", "COM2", a}));
    QVERIFY(t->boxes().empty());
}

void SettingsDialogTest::a_device_takes_the_databases_own_number_when_it_is_free() {
    // COM5 names nothing in the port folder: the link on it fails to open.
    auto t = app_on_port(5);
    QVERIFY(QTest::qWaitFor([&] { return !t->app->link.active(); }, 20000));
    script_adapters(*t);
    const uint32_t starts = t->app->link.starts();
    SettingsDialog d(*t->app, t->app->window.get());
    QVERIFY(select_port(d.port_box(), label("usb-Silicon_Labs_CP2102_0001-if00-port0")) == 4);
    d.ok_button()->click();
    QCOMPARE(t->app->database.log.com_port, 5u);
    // The number stayed, the device behind it is new: the link starts again on it.
    QCOMPARE(t->app->link.starts(), starts + 1);
    QVERIFY(dev_b->wait_until_held());
}

void SettingsDialogTest::a_binding_that_fails_says_why_and_keeps_the_dialog() {
    // A port folder that is a file: nothing can be written into it, whoever runs the test.
    write_file(path("not-a-folder"), "");
    qputenv("TESSARY_PORT_DIR", QByteArray::fromStdString(path("not-a-folder")));
    auto t = app_on_port(0);
    script_adapters(*t);
    SettingsDialog d(*t->app, t->app->window.get());
    d.port_box()->setCurrentIndex(1);
    d.show();
    d.ok_button()->click();
    QVERIFY(d.isVisible());
    QCOMPARE(t->app->database.log.com_port, 0u);
    QVERIFY(!t->app->document.modified);
    QCOMPARE(t->boxes().size(), size_t(1));
    QCOMPARE(t->boxes()[0].text, "Couldn't bind " + path("by-id") +
                                     "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 to a COM "
                                     "port in " +
                                     path("not-a-folder") + ": Not a directory.");
}

void SettingsDialogTest::a_network_endpoint_is_checked_added_and_bound() {
    const char* form = "Type it as tcp:HOST:PORT, for example tcp:192.168.1.20:4001.";
    const char* range = "The port must be a number from 1 to 65535.";
    const std::pair<const char*, const char*> bad[] = {
        {"controller.site", form},
        {"tcp:10.0.0.5:", form},
        {"tcp:10.0.0.5:70000", range},
        {"my host:4001", "\"my host\" is not a host name or address."},
        {"fd00::5:4001", "An IPv6 address goes in brackets: tcp:[fd00::5]:4001."}};
    map_port(1, *com1);
    auto t = app_on_port(0);
    SettingsDialog d(*t->app, t->app->window.get());
    for (auto [typed, error] : bad) {
        d.endpoint_edit()->setText(QString::fromUtf8(typed));
        d.add_button()->click();
        QCOMPARE(d.endpoint_error()->text(), QString::fromUtf8(error));
        QCOMPARE(d.port_box()->count(), 2);
    }
    d.show();
    save_shot("settings-endpoint-error");
    d.endpoint_edit()->setText(QStringLiteral("tcp:"));
    d.add_button()->click();
    save_shot("settings-endpoint-form");
    // Both forms give the one item, chosen; Enter in the field adds rather than ends the dialog.
    for (const char* typed : {" 127.0.0.1:9 ", "tcp:127.0.0.1:9"}) {
        d.endpoint_edit()->setText(QString::fromUtf8(typed));
        QTest::keyClick(d.endpoint_edit(), Qt::Key_Return);
    }
    QVERIFY(d.isVisible());
    QVERIFY(d.endpoint_error()->isHidden());
    QCOMPARE(items(d.port_box()), (QStringList{"None", "COM1", "tcp:127.0.0.1:9"}));
    QCOMPARE(d.port_box()->currentIndex(), 2);
    d.ok_button()->click();
    QCOMPARE(t->app->database.log.com_port, 2u);
    QCOMPARE(read_file(ports.filePath("COM2").toStdString()), std::string("tcp:127.0.0.1:9\n"));
    // An endpoint a listed port already names selects that port.
    SettingsDialog again(*t->app, t->app->window.get());
    again.port_box()->setCurrentIndex(0);
    again.endpoint_edit()->setText(QStringLiteral("127.0.0.1:9"));
    again.add_button()->click();
    QCOMPARE(again.port_box()->currentText(), QStringLiteral("COM2"));
}

void SettingsDialogTest::test_asks_a_free_port_and_leaves_the_database_alone() {
    SimOptions options;
    options.model = SimModel::Rd03;
    SimController sim(options);
    QVERIFY(sim.start() && sim.link_as(ports.path().toStdString(), 1));
    auto t = app_on_port(0);
    SettingsDialog d(*t->app, t->app->window.get());
    QVERIFY(!d.test_button()->isEnabled()); // "None"
    QVERIFY(select_port(d.port_box(), "COM1") > 0);
    d.test_button()->click();
    QCOMPARE(d.test_result()->text(), QStringLiteral("Testing\u2026"));
    QVERIFY(!d.test_button()->isEnabled());
    const QRegularExpression shown(QStringLiteral("^RD-03, echo round trip \\d+\\.\\d ms$"));
    QTRY_VERIFY_WITH_TIMEOUT(shown.match(d.test_result()->text()).hasMatch(), 20000);
    QCOMPARE(sim.resets(), 1);
    QVERIFY(probe_com_port(1)); // let go again
    QCOMPARE(t->app->database.log.com_port, 0u);
    QVERIFY(!t->app->link.active());
}

void SettingsDialogTest::test_on_the_links_own_port_goes_through_the_link() {
    SimController sim;
    QVERIFY(sim.start() && sim.link_as(ports.path().toStdString(), 1));
    auto t = app_on_port(1);
    QVERIFY(QTest::qWaitFor([&] { return t->app->link.identification().count > 0; }, 20000));
    const uint32_t starts = t->app->link.starts();
    SettingsDialog d(*t->app, t->app->window.get());
    d.show();
    d.test_button()->click();
    QTRY_COMPARE_WITH_TIMEOUT(d.test_result()->text(), QStringLiteral("RD-04"), 20000);
    save_shot("settings-test-result");
    QCOMPARE(sim.resets(), 2);
    QCOMPARE(t->app->link.starts(), starts);
    QVERIFY(t->boxes().empty());
}

void SettingsDialogTest::test_without_an_answer_says_so_and_cancel_ends_it() {
    map_port(1, *com1); // nobody answers on its other side
    auto t = app_on_port(0);
    for (bool cancel : {false, true}) {
        SettingsDialog d(*t->app, t->app->window.get());
        QVERIFY(select_port(d.port_box(), "COM1") > 0);
        d.test_button()->click();
        QTest::qWait(100);
        QVERIFY(d.testing());
        if (cancel) {
            d.cancel_button()->click();
        } else {
            t->clock.tick += identify_wait_ms; // five seconds of the application's clock
            QTRY_COMPARE_WITH_TIMEOUT(d.test_result()->text(), QStringLiteral("No answer"), 5000);
        }
        QVERIFY(!d.testing());
        QVERIFY(probe_com_port(1));
    }
    QVERIFY(!t->app->document.modified);
}

QTEST_MAIN(SettingsDialogTest)
#include "settings_dialog_test.moc"
