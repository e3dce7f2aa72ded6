#include "ui/dialogs/settings_dialog.h"

#include "platform/port_map.h"
#include "platform/serial_port.h"
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"
#include "ui/window/view_flags.h"
#include "ui/window/window_properties.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <limits>

namespace {

constexpr uint32_t highest_probed_port = 32;
constexpr int pending_role = Qt::UserRole + 1; // a device's stable name, or tcp:HOST:PORT
constexpr int test_poll_ms = 50;

std::string real_path(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

const char* const endpoint_form = "Type it as tcp:HOST:PORT, for example tcp:192.168.1.20:4001.";

QLineEdit* number_edit(int32_t value) {
    auto* edit = new QLineEdit(QString::number(value));
    edit->setAlignment(Qt::AlignRight);
    // Room for any value the setting holds, without growing the dialog.
    edit->setMaxLength(16);
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000000")) + 12);
    return edit;
}

void take_number(const QLineEdit* edit, int32_t& setting) {
    if (std::optional<int32_t> value = parse_setting_number(edit->text().toStdString())) {
        setting = *value;
    }
}

} // namespace

std::vector<uint32_t> listed_com_ports(uint32_t current_port,
                                       const std::function<bool(uint32_t)>& probe) {
    std::vector<uint32_t> ports;
    for (uint32_t n = 1; n <= highest_probed_port; ++n) {
        if (n == current_port || probe(n)) {
            ports.push_back(n);
        }
    }
    if (current_port > highest_probed_port) {
        ports.push_back(current_port);
    }
    return ports;
}

std::vector<SystemPort> listed_devices(const std::vector<uint32_t>& listed,
                                       std::vector<SystemPort> system) {
    std::vector<std::string> held;
    for (uint32_t n : listed) {
        held.push_back(real_path(com_port_path(n)));
    }
    std::erase_if(system, [&](const SystemPort& port) {
        std::string real = real_path(port.node);
        return !real.empty() && std::find(held.begin(), held.end(), real) != held.end();
    });
    std::sort(system.begin(), system.end(), [](const SystemPort& a, const SystemPort& b) {
        return port_label(a) < port_label(b);
    });
    return system;
}

std::optional<TcpEndpoint> parse_endpoint_field(std::string_view text, std::string* error) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    if (text.substr(0, 4) == "tcp:") {
        text.remove_prefix(4);
    }
    const size_t colon = text.rfind(':');
    if (text.empty() || colon == std::string_view::npos || colon == 0) {
        *error = endpoint_form;
        return std::nullopt;
    }
    std::string_view host = text.substr(0, colon);
    std::string_view port = text.substr(colon + 1);
    const bool bracketed = host.size() >= 3 && host.front() == '[' && host.back() == ']';
    std::string_view bare = bracketed ? host.substr(1, host.size() - 2) : host;
    const bool host_ok = std::all_of(bare.begin(), bare.end(), [&](char c) {
        return bracketed ? (std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.')
                         : host_char(c);
    });
    if (!host_ok) {
        *error = !bracketed && host.find(':') != std::string_view::npos
                     ? "An IPv6 address goes in brackets: tcp:[fd00::5]:4001."
                     : "\"" + std::string(host) + "\" is not a host name or address.";
        return std::nullopt;
    }
    std::optional<TcpEndpoint> endpoint =
        parse_tcp_endpoint("tcp:" + std::string(host) + ":" + std::string(port));
    if (!endpoint) {
        *error = port.empty() ? endpoint_form : "The port must be a number from 1 to 65535.";
    }
    return endpoint;
}

std::vector<SystemPort> system_serial_ports() {
    std::vector<SystemPort> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SystemPort port;
        port.node = info.systemLocation().toStdString();
        port.description = info.description().toStdString();
        port.manufacturer = info.manufacturer().toStdString();
        port.serial_number = info.serialNumber().toStdString();
        find_stable_names(port);
        ports.push_back(std::move(port));
    }
    return ports;
}

std::optional<int32_t> parse_setting_number(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        // The settings are signed 32-bit in the record and the file: a larger number would turn
        // negative there.
        if (value > std::numeric_limits<int32_t>::max()) {
            return std::nullopt;
        }
    }
    return static_cast<int32_t>(value);
}

SettingsDialog::SettingsDialog(App& app, QWidget* owner) : QDialog(owner), app_(app) {
    setWindowTitle(QStringLiteral("Edit Database Settings"));
    setModal(true);

    QLabel* port_label = build_port_list();
    build_port_test();
    QLabel* endpoint_label = build_endpoint_field();
    build_log_settings();
    QGridLayout* grid = lay_out_fields(port_label, endpoint_label);
    QDialogButtonBox* buttons = build_buttons();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    update_test_button();
    port_box_->setFocus();
    place_dialog(this);
}

QLabel* SettingsDialog::build_port_list() {
    const KeyDatabase& db = app_.database;
    port_box_ = new QComboBox;
    port_box_->setObjectName(QStringLiteral("com_port"));
    port_box_->addItem(QStringLiteral("None"), 0u);
    port_box_->setCurrentIndex(0);
    const std::vector<uint32_t> listed = listed_com_ports(db.log.com_port, probe_com_port);
    for (uint32_t n : listed) {
        port_box_->addItem(QStringLiteral("COM%1").arg(n), n);
        if (n == db.log.com_port) {
            port_box_->setCurrentIndex(port_box_->count() - 1);
        }
    }
    devices_ = listed_devices(listed, app_.dialogs->system_ports());
    for (const SystemPort& device : devices_) {
        const QString label = QString::fromStdString(port_label(device));
        port_box_->addItem(label);
        port_box_->setItemData(port_box_->count() - 1, QString::fromStdString(stable_name(device)),
                               pending_role);
        port_box_->setItemData(port_box_->count() - 1, label, Qt::ToolTipRole);
    }
    // Long device names would stretch the dialog across the screen: the list opens wide enough
    // for them, the closed box stays moderate.
    port_box_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    port_box_->setMinimumContentsLength(devices_.empty() ? 8 : 44);
    auto* port_label = new QLabel(QStringLiteral("&COM port:"));
    port_label->setBuddy(port_box_);
    return port_label;
}

void SettingsDialog::build_port_test() {
    test_button_ = new QPushButton(QStringLiteral("&Test"));
    test_button_->setAutoDefault(false);
    test_result_ = new QLabel;
    test_result_->setObjectName(QStringLiteral("test_result"));
    test_result_->setWordWrap(true);
    test_result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    test_timer_ = new QTimer(this);
    test_timer_->setInterval(test_poll_ms);
    connect(test_button_, &QPushButton::clicked, this, &SettingsDialog::start_test);
    connect(test_timer_, &QTimer::timeout, this, &SettingsDialog::poll_test);
    // A result belongs to the port it was asked of: another choice ends a running test too.
    connect(port_box_, &QComboBox::currentIndexChanged, this, [this] {
        test_timer_->stop();
        stop_worker();
        test_mode_ = TestMode::Idle;
        test_result_->clear();
        update_test_button();
    });
}

QLabel* SettingsDialog::build_endpoint_field() {
    endpoint_edit_ = new QLineEdit;
    endpoint_edit_->setObjectName(QStringLiteral("endpoint"));
    endpoint_edit_->setPlaceholderText(QStringLiteral("tcp:HOST:PORT"));
    auto* endpoint_label = new QLabel(QStringLiteral("&Network port:"));
    endpoint_label->setBuddy(endpoint_edit_);
    add_button_ = new QPushButton(QStringLiteral("&Add"));
    add_button_->setAutoDefault(false);
    endpoint_error_ = new QLabel;
    endpoint_error_->setObjectName(QStringLiteral("endpoint_error"));
    endpoint_error_->setWordWrap(true);
    endpoint_error_->setVisible(false);
    connect(add_button_, &QPushButton::clicked, this, &SettingsDialog::add_endpoint);
    endpoint_edit_->installEventFilter(this);
    return endpoint_label;
}

void SettingsDialog::build_log_settings() {
    const KeyDatabase& db = app_.database;
    screen_log_edit_ = number_edit(db.log.screen_log_lines);
    screen_log_edit_->setObjectName(QStringLiteral("screen_log_lines"));
    log_file_edit_ = number_edit(db.log.log_file_size);
    log_file_edit_->setObjectName(QStringLiteral("log_file_size"));

    rename_box_ =
        new QCheckBox(QStringLiteral("Rename full log files instead of overwriting them"));
    rename_box_->setChecked(db.log.rename_full_logs);
    save_window_box_ = new QCheckBox(QStringLiteral("&Save window properties"));
    save_window_box_->setChecked(app_.document.layout.save_window_properties);
}

QGridLayout* SettingsDialog::lay_out_fields(QLabel* port_label, QLabel* endpoint_label) {
    // The port list and the network field span the number fields and their units, so that a
    // long device name widens the dialog without pushing the numbers apart.
    auto* grid = new QGridLayout;
    grid->addWidget(port_label, 0, 0);
    grid->addWidget(port_box_, 0, 1, 1, 2);
    grid->addWidget(test_button_, 0, 3);
    grid->addWidget(test_result_, 1, 1, 1, 3);
    grid->addWidget(endpoint_label, 2, 0);
    grid->addWidget(endpoint_edit_, 2, 1, 1, 2);
    grid->addWidget(add_button_, 2, 3);
    grid->addWidget(endpoint_error_, 3, 0, 1, 4);
    grid->addWidget(new QLabel(QStringLiteral("Max. size of the screen log:")), 4, 0);
    grid->addWidget(screen_log_edit_, 4, 1);
    grid->addWidget(new QLabel(QStringLiteral("lines.")), 4, 2);
    grid->addWidget(new QLabel(QStringLiteral("Max. size of the log file:")), 5, 0);
    grid->addWidget(log_file_edit_, 5, 1);
    grid->addWidget(new QLabel(QStringLiteral("kilobytes")), 5, 2);
    grid->addWidget(rename_box_, 6, 0, 1, 4);
    grid->addWidget(save_window_box_, 7, 0, 1, 4);
    grid->setColumnStretch(2, 1);
    return grid;
}

QDialogButtonBox* SettingsDialog::build_buttons() {
    auto* buttons = new QDialogButtonBox;
    ok_button_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    cancel_button_ = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok_button_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    return buttons;
}

SettingsDialog::~SettingsDialog() {
    stop_worker();
}

void SettingsDialog::accept() {
    uint32_t chosen = 0;
    bool new_entry = false;
    if (!chosen_port(&chosen, &new_entry)) {
        return;
    }
    KeyDatabase& db = app_.database;
    take_number(screen_log_edit_, db.log.screen_log_lines);
    take_number(log_file_edit_, db.log.log_file_size);
    db.log.rename_full_logs = rename_box_->isChecked();
    app_.document.layout.save_window_properties = save_window_box_->isChecked();
    const uint32_t old_port = db.log.com_port;
    db.log.com_port = chosen;
    apply_view_flags(app_);
    // Always, so that the title shows the port and File > Save offers itself.
    mark_modified(app_);
    // A number newly bound to another device is a change of port even when the number stays.
    if (db.log.com_port != old_port || (new_entry && db.log.com_port != 0)) {
        if (db.log.com_port != 0) {
            app_.logger.start_log();
            // Stops the thread on the old port first.
            start_link(app_, db.log.com_port);
        } else {
            // The thread first, so that no report reaches the log after "Log ended".
            stop_link(app_);
            app_.logger.end_log();
        }
    }
    QDialog::accept();
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
    // Enter after typing an endpoint adds it rather than pressing OK; in the empty field it is
    // OK as everywhere else.
    if (watched == endpoint_edit_ && event->type() == QEvent::KeyPress &&
        !endpoint_edit_->text().trimmed().isEmpty()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            add_endpoint();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void SettingsDialog::done(int result) {
    test_timer_->stop();
    stop_worker();
    test_mode_ = TestMode::Idle;
    QDialog::done(result);
}

bool SettingsDialog::chosen_port(uint32_t* port, bool* new_entry) {
    *new_entry = false;
    const int index = port_box_->currentIndex();
    const std::string pending =
        index >= 0 ? port_box_->itemData(index, pending_role).toString().toStdString() : "";
    if (pending.empty()) {
        *port = index >= 0 ? port_box_->currentData().toUInt() : 0;
        return true;
    }
    const std::string dir = com_port_dir();
    const std::vector<PortEntry> before = mapped_ports(dir);
    std::error_code error;
    if (std::optional<TcpEndpoint> endpoint = parse_tcp_endpoint(pending)) {
        *port = bind_tcp_endpoint(dir, *endpoint, app_.database.log.com_port, &error);
    } else {
        auto device = std::find_if(devices_.begin(), devices_.end(),
                                   [&](const SystemPort& d) { return stable_name(d) == pending; });
        *port = bind_port(dir, *device, app_.database.log.com_port, &error);
    }
    if (*port == 0) {
        const std::string reason = error == std::errc::no_space_on_device
                                       ? "COM1 to COM32 are all taken."
                                       : error.message() + ".";
        app_.host.message_box("Tessary - Serial communications",
                              "Couldn't bind " + pending + " to a COM port in " + dir + ": " +
                                  reason,
                              MsgIcon::Error);
        return false;
    }
    *new_entry = std::none_of(before.begin(), before.end(),
                              [&](const PortEntry& e) { return e.number == *port; });
    return true;
}

void SettingsDialog::add_endpoint() {
    std::string error;
    std::optional<TcpEndpoint> endpoint =
        parse_endpoint_field(endpoint_edit_->text().toStdString(), &error);
    endpoint_error_->setText(QString::fromStdString(error));
    endpoint_error_->setVisible(!endpoint);
    if (!endpoint) {
        endpoint_edit_->setFocus();
        return;
    }
    const QString text = QString::fromStdString(tcp_endpoint_text(*endpoint));
    // An endpoint a listed COM port already names is that port.
    for (const PortEntry& e : mapped_ports(com_port_dir())) {
        const int i = port_box_->findData(e.number);
        if (i > 0 && e.target == text.toStdString()) {
            port_box_->setCurrentIndex(i);
            endpoint_edit_->clear();
            return;
        }
    }
    int i = port_box_->findData(text, pending_role);
    if (i < 0) {
        port_box_->addItem(text);
        i = port_box_->count() - 1;
        port_box_->setItemData(i, text, pending_role);
    }
    port_box_->setCurrentIndex(i);
    endpoint_edit_->clear();
}

std::string SettingsDialog::chosen_entry() const {
    const int index = port_box_->currentIndex();
    if (index < 0) {
        return {};
    }
    const QString pending = port_box_->itemData(index, pending_role).toString();
    if (!pending.isEmpty()) {
        return pending.toStdString();
    }
    const uint32_t n = port_box_->currentData().toUInt();
    return n == 0 ? std::string() : com_port_path(n);
}

bool SettingsDialog::held_by_link(const std::string& entry) const {
    const Link& link = app_.link;
    if (!link.active() || link.port() == 0) {
        return false;
    }
    const std::string held = com_port_path(link.port());
    if (entry == held) {
        return true;
    }
    // The same endpoint typed in, or the same device by another name.
    if (std::optional<TcpEndpoint> endpoint = parse_tcp_endpoint(entry)) {
        return read_tcp_entry(held) == endpoint;
    }
    const std::string real = real_path(entry);
    return !real.empty() && real == real_path(held);
}

void SettingsDialog::update_test_button() {
    test_button_->setEnabled(!testing() && !chosen_entry().empty());
}

void SettingsDialog::start_test() {
    const std::string entry = chosen_entry();
    if (testing() || entry.empty()) {
        return;
    }
    test_result_->setText(QStringLiteral("Testing\u2026"));
    test_start_ = app_.clock.tick_ms();
    if (held_by_link(entry)) {
        // The open is exclusive: the test goes through the link that holds the port.
        seen_identifications_ = app_.link.identification().count;
        if (!app_.link.post(request_reset)) {
            end_test(QStringLiteral("No answer"));
            return;
        }
        test_mode_ = TestMode::Link;
    } else {
        worker_cancel_.store(false);
        worker_done_.store(false);
        worker_ = std::thread([this, entry] {
            worker_answer_ =
                identify_controller(entry, system_clock(), identify_wait_ms, worker_cancel_);
            worker_done_.store(true, std::memory_order_release);
        });
        test_mode_ = TestMode::Own;
    }
    update_test_button();
    test_timer_->start();
}

void SettingsDialog::poll_test() {
    const bool timed_out = app_.clock.tick_ms() - test_start_ >= identify_wait_ms;
    if (test_mode_ == TestMode::Link) {
        const Link::Identification id = app_.link.identification();
        if (id.count != seen_identifications_) {
            end_test(QString::fromStdString(test_result_text(id.line, id.reset_round_trip_us)));
        } else if (timed_out || !app_.link.active()) {
            end_test(QStringLiteral("No answer"));
        }
        return;
    }
    if (worker_done_.load(std::memory_order_acquire)) {
        stop_worker();
        switch (worker_answer_.kind) {
        case ProbeAnswer::Answered:
            end_test(QString::fromStdString(
                test_result_text(worker_answer_.line, worker_answer_.reset_round_trip_us)));
            break;
        case ProbeAnswer::OpenFailed:
            end_test(QString::fromStdString(worker_answer_.message));
            break;
        default:
            end_test(QStringLiteral("No answer"));
            break;
        }
    } else if (timed_out) {
        stop_worker();
        end_test(QStringLiteral("No answer"));
    }
}

void SettingsDialog::end_test(const QString& result) {
    test_timer_->stop();
    test_mode_ = TestMode::Idle;
    test_result_->setText(result);
    update_test_button();
}

void SettingsDialog::stop_worker() {
    if (worker_.joinable()) {
        worker_cancel_.store(true, std::memory_order_release);
        worker_.join();
    }
}

void settings_dialog(App& app) {
    SettingsDialog dialog(app, app.window.get());
    dialog.exec();
}
