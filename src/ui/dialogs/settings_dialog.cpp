#include "ui/dialogs/settings_dialog.h"

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
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <limits>

namespace {

constexpr uint32_t highest_probed_port = 32;

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
    const DatabaseRecord& db = app.database;
    setWindowTitle(QStringLiteral("Edit Database Settings"));
    setModal(true);

    port_box_ = new QComboBox;
    port_box_->setObjectName(QStringLiteral("com_port"));
    port_box_->addItem(QStringLiteral("None"), 0u);
    port_box_->setCurrentIndex(0);
    for (uint32_t n : listed_com_ports(db.com_port, probe_com_port)) {
        port_box_->addItem(QStringLiteral("COM%1").arg(n), n);
        if (n == db.com_port) {
            port_box_->setCurrentIndex(port_box_->count() - 1);
        }
    }
    auto* port_label = new QLabel(QStringLiteral("&COM port:"));
    port_label->setBuddy(port_box_);

    screen_log_edit_ = number_edit(db.screen_log_lines);
    screen_log_edit_->setObjectName(QStringLiteral("screen_log_lines"));
    log_file_edit_ = number_edit(db.log_file_size);
    log_file_edit_->setObjectName(QStringLiteral("log_file_size"));

    rename_box_ =
        new QCheckBox(QStringLiteral("Rename full log files instead of overwriting them"));
    rename_box_->setChecked(db.rename_full_logs);
    save_window_box_ = new QCheckBox(QStringLiteral("&Save window properties"));
    save_window_box_->setChecked(db.save_window_properties);

    auto* grid = new QGridLayout;
    grid->addWidget(port_label, 0, 0);
    grid->addWidget(port_box_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Max. size of the screen log:")), 1, 0);
    grid->addWidget(screen_log_edit_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("lines.")), 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Max. size of the log file:")), 2, 0);
    grid->addWidget(log_file_edit_, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("kilobytes")), 2, 2);
    grid->addWidget(rename_box_, 3, 0, 1, 3);
    grid->addWidget(save_window_box_, 4, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    auto* buttons = new QDialogButtonBox;
    ok_button_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    cancel_button_ = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok_button_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    port_box_->setFocus();
    place_dialog(this);
}

void SettingsDialog::accept() {
    DatabaseRecord& db = app_.database;
    take_number(screen_log_edit_, db.screen_log_lines);
    take_number(log_file_edit_, db.log_file_size);
    db.rename_full_logs = rename_box_->isChecked();
    db.save_window_properties = save_window_box_->isChecked();
    const uint32_t old_port = db.com_port;
    db.com_port = port_box_->currentIndex() >= 0 ? port_box_->currentData().toUInt() : 0;
    apply_view_flags(app_);
    // Always, so that the title shows the port and File > Save offers itself.
    mark_modified(app_);
    if (db.com_port != old_port) {
        if (db.com_port != 0) {
            app_.logger.start_log();
            // Stops the thread on the old port first.
            start_link(app_, db.com_port);
        } else {
            // The thread first, so that no report reaches the log after "Log ended".
            stop_link(app_);
            app_.logger.end_log();
        }
    }
    QDialog::accept();
}

void settings_dialog(App& app) {
    SettingsDialog dialog(app, app.window.get());
    dialog.exec();
}
