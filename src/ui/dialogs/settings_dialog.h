// File > Settings: the database's COM port, the screen log and log file limits, and the two
// options. OK applies them (restarting the comm thread and the log when the port changed) and
// marks the database modified; Cancel changes nothing.
#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
struct App;

// The ports the list offers after "None": those of 1 to 32 that can be opened now, and the
// database's own port wherever it lies (the running comm thread holds it, so it never probes
// free, and a port above 32 must not be lost by pressing OK).
std::vector<uint32_t> listed_com_ports(uint32_t current_port,
                                       const std::function<bool(uint32_t)>& probe);

// A whole non-negative decimal number (blanks around it allowed) that fits the setting; nothing
// for anything else, which leaves the setting as it was.
std::optional<int32_t> parse_setting_number(std::string_view text);

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

    // OK: takes the settings into the database, then ends the dialog.
    void accept() override;

  private:
    App& app_;
    QComboBox* port_box_ = nullptr;
    QLineEdit* screen_log_edit_ = nullptr;
    QLineEdit* log_file_edit_ = nullptr;
    QCheckBox* rename_box_ = nullptr;
    QCheckBox* save_window_box_ = nullptr;
    QPushButton* ok_button_ = nullptr;
    QPushButton* cancel_button_ = nullptr;
};
