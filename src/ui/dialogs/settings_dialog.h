// File > Settings: the database's COM port, the screen log and log file limits, and the two
// options. OK applies them (restarting the comm thread and the log when the port changed) and
// marks the database modified; Cancel changes nothing. Beside the COM ports the list offers the
// serial devices the system reports and network endpoints typed in; OK binds such a choice to a
// COM number in the port folder. Test asks the unit on the chosen port which model it is.
#pragma once

#include "controller/controller_probe.h"
#include "platform/port_binding.h"

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
struct App;

// The ports the list offers after "None": those of 1 to 32 that can be opened now, and the
// database's own port wherever it lies (the running comm thread holds it, so it never probes
// free, and a port above 32 must not be lost by pressing OK).
std::vector<uint32_t> listed_com_ports(uint32_t current_port,
                                       const std::function<bool(uint32_t)>& probe);

// A whole non-negative decimal number (blanks around it allowed) that fits the setting; nothing
// for anything else, which leaves the setting as it was.
std::optional<int32_t> parse_setting_number(std::string_view text);

// The devices the list offers after the COM ports, by label: every one the system reports
// except those that a listed COM port already leads to (choosing one would give that number
// again).
std::vector<SystemPort> listed_devices(const std::vector<uint32_t>& listed,
                                       std::vector<SystemPort> system);

// The network entry field: "tcp:HOST:PORT" or "HOST:PORT". On failure, *error says what is
// wrong with the text.
std::optional<TcpEndpoint> parse_endpoint_field(std::string_view text, std::string* error);

// The serial devices the system reports (Qt's enumeration), with their stable names.
std::vector<SystemPort> system_serial_ports();

class SettingsDialog final : public QDialog {
    Q_OBJECT
  public:
    SettingsDialog(App& app, QWidget* owner);

    QComboBox* port_box() const { return port_box_; }
    QLineEdit* screen_log_edit() const { return screen_log_edit_; }
    QLineEdit* log_file_edit() const { return log_file_edit_; }
    QCheckBox* rename_box() const { return rename_box_; }
    QCheckBox* save_window_box() const { return save_window_box_; }
    QPushButton* ok_button() const { return ok_button_; }
    QPushButton* cancel_button() const { return cancel_button_; }
    QPushButton* test_button() const { return test_button_; }
    QLabel* test_result() const { return test_result_; }
    QLineEdit* endpoint_edit() const { return endpoint_edit_; }
    QPushButton* add_button() const { return add_button_; }
    QLabel* endpoint_error() const { return endpoint_error_; }
    bool testing() const { return test_mode_ != TestMode::Idle; }

    ~SettingsDialog() override;
    // OK: binds a chosen device or endpoint, takes the settings into the database, then ends
    // the dialog. A binding that fails says why and leaves the dialog open.
    void accept() override;
    // Ends a running test first.
    void done(int result) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    enum class TestMode { Idle, Link, Own };
    // The constructor's parts; each returns what the layout still needs.
    QLabel* build_port_list();
    void build_port_test();
    QLabel* build_endpoint_field();
    void build_log_settings();
    QGridLayout* lay_out_fields(QLabel* port_label, QLabel* endpoint_label);
    QDialogButtonBox* build_buttons();
    // What the chosen item names for opening: a port folder entry, a device, tcp:HOST:PORT;
    // empty for None.
    std::string chosen_entry() const;
    bool held_by_link(const std::string& entry) const;
    // The COM number of the chosen item, binding a device or endpoint first; false when the
    // binding failed. *new_entry tells that the port folder entry was written just now.
    bool chosen_port(uint32_t* port, bool* new_entry);
    void add_endpoint();
    void start_test();
    void poll_test();
    void end_test(const QString& result);
    void stop_worker();
    void update_test_button();

    App& app_;
    std::vector<SystemPort> devices_;
    QComboBox* port_box_ = nullptr;
    QLineEdit* screen_log_edit_ = nullptr;
    QLineEdit* log_file_edit_ = nullptr;
    QCheckBox* rename_box_ = nullptr;
    QCheckBox* save_window_box_ = nullptr;
    QPushButton* ok_button_ = nullptr;
    QPushButton* cancel_button_ = nullptr;
    QPushButton* test_button_ = nullptr;
    QLabel* test_result_ = nullptr;
    QLineEdit* endpoint_edit_ = nullptr;
    QPushButton* add_button_ = nullptr;
    QLabel* endpoint_error_ = nullptr;

    // The running test: on the window's own link (which holds the port open exclusively), or
    // on a port of its own opened by a worker thread so that the dialog stays responsive.
    QTimer* test_timer_ = nullptr;
    TestMode test_mode_ = TestMode::Idle;
    uint32_t test_start_ = 0; // tick of the application's clock
    uint32_t seen_identifications_ = 0;
    std::thread worker_;
    std::atomic<bool> worker_cancel_{false};
    std::atomic<bool> worker_done_{false};
    ProbeAnswer worker_answer_; // written by the worker before worker_done_
};
