#include "ui/host/qt_host.h"
#include "ui/window/recent_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

#include <chrono>
#include <thread>

namespace {

QMessageBox::Icon qt_icon(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Error:
        return QMessageBox::Critical;
    case MsgIcon::Warning:
        return QMessageBox::Warning;
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton qt_button(MsgAnswer answer) {
    switch (answer) {
    case MsgAnswer::Ok:
        return QMessageBox::Ok;
    case MsgAnswer::Cancel:
        return QMessageBox::Cancel;
    case MsgAnswer::Yes:
        return QMessageBox::Yes;
    case MsgAnswer::No:
        return QMessageBox::No;
    }
    return QMessageBox::NoButton;
}

} // namespace

QtHost::QtHost() = default;

bool QtHost::on_ui_thread() const {
    return QThread::currentThread() == thread();
}

MsgAnswer QtHost::message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                              MsgButtons buttons, MsgAnswer default_button) {
    ShownBox box{caption, text, icon, buttons, default_button};
    if (on_ui_thread()) {
        return show_box(box);
    }
    // The caller blocks until the box is answered on the user-interface thread, as a modal box
    // owned by the main window would block it.
    MsgAnswer answer = MsgAnswer::Cancel;
    QMetaObject::invokeMethod(
        this, [&] { answer = show_box(box); }, Qt::BlockingQueuedConnection);
    return answer;
}

MsgAnswer QtHost::show_box(const ShownBox& box) {
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton escape = QMessageBox::Ok;
    switch (box.buttons) {
    case MsgButtons::Ok:
        break;
    case MsgButtons::OkCancel:
        buttons = QMessageBox::Ok | QMessageBox::Cancel;
        escape = QMessageBox::Cancel;
        break;
    case MsgButtons::YesNoCancel:
        buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        escape = QMessageBox::Cancel;
        break;
    }
    QWidget* owner = window_ ? window_->owner_widget() : nullptr;
    QMessageBox mb(qt_icon(box.icon), QString::fromStdString(box.caption),
                   QString::fromStdString(box.text), buttons, owner);
    mb.setTextFormat(Qt::PlainText);
    mb.setDefaultButton(qt_button(box.default_button));
    mb.setEscapeButton(escape);
    switch (mb.exec()) {
    case QMessageBox::Ok:
        return MsgAnswer::Ok;
    case QMessageBox::Yes:
        return MsgAnswer::Yes;
    case QMessageBox::No:
        return MsgAnswer::No;
    case QMessageBox::Cancel:
        return MsgAnswer::Cancel;
    default:
        return box.buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::Cancel;
    }
}

void QtHost::notify(const std::string& caption, const std::string& text, MsgIcon icon) {
    ShownBox box{caption, text, icon, MsgButtons::Ok, MsgAnswer::Ok};
    // Queued even on the user-interface thread: the caller goes on at once either way.
    QMetaObject::invokeMethod(
        this, [this, box] { show_notice(box); }, Qt::QueuedConnection);
}

void QtHost::show_notice(const ShownBox& box) {
    QWidget* owner = window_ ? window_->owner_widget() : nullptr;
    auto* mb = new QMessageBox(qt_icon(box.icon), QString::fromStdString(box.caption),
                               QString::fromStdString(box.text), QMessageBox::Ok, owner);
    mb->setAttribute(Qt::WA_DeleteOnClose);
    mb->setTextFormat(Qt::PlainText);
    mb->setWindowModality(Qt::NonModal);
    mb->show();
}

void QtHost::run_on_ui(const std::function<void()>& fn) {
    if (on_ui_thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(
        this, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void QtHost::post_to_ui(std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

bool QtHost::wait_serving_ui(const std::function<bool()>& done, uint32_t timeout_ms) {
    QElapsedTimer timer;
    timer.start();
    const bool serve = on_ui_thread();
    while (!done()) {
        if (timer.elapsed() >= static_cast<qint64>(timeout_ms)) {
            return done();
        }
        if (serve) {
            // Other threads' run_on_ui calls and boxes arrive as queued calls; the user's own
            // input waits until the wait is over.
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void QtHost::set_status_text(const std::string& text) {
    if (window_) {
        window_->show_status_text(QString::fromStdString(text));
    }
}

void QtHost::enable_command(int command_id, bool enabled) {
    if (window_) {
        window_->set_command_enabled(command_id, enabled);
    }
}

void QtHost::set_title(const std::string& title) {
    if (window_ && window_->owner_widget()) {
        window_->owner_widget()->setWindowTitle(QString::fromStdString(title));
    }
}

void QtHost::set_progress(int done, int total) {
    if (window_) {
        window_->show_progress(done, total);
    }
}

void QtHost::hide_progress() {
    if (window_) {
        window_->hide_progress();
    }
}

std::optional<FileChoice> QtHost::open_file_dialog() {
    return file_dialog(false);
}

std::optional<FileChoice> QtHost::save_file_dialog() {
    return file_dialog(true);
}

std::optional<FileChoice> QtHost::file_dialog(bool save) {
    QFileDialog dialog(window_ ? window_->owner_widget() : nullptr);
    dialog.setNameFilters(
        {QStringLiteral("Tessary files (*.tsy)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("tsy"));
    if (save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (settings_) {
        if (const QString folder = RecentFiles(*settings_).last_folder(); !folder.isEmpty()) {
            dialog.setDirectory(folder);
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    if (settings_) {
        RecentFiles(*settings_).set_last_folder(dialog.directory().absolutePath());
    }
    FileChoice choice;
    choice.path = QFile::encodeName(dialog.selectedFiles().first()).toStdString();
    size_t slash = choice.path.rfind('/');
    choice.name_offset = slash == std::string::npos ? 0 : slash + 1;
    return choice;
}
