// The Host seam on Qt: message boxes owned by the main window, callable from any thread, and
// the user-interface thread's services for the comm and synchronize threads. Tests switch it to
// scripted mode: boxes and file dialogs are then recorded and answered from queues instead of
// being shown.
#pragma once

#include "platform/host.h"

#include <QObject>
#include <QPointer>

#include <deque>
#include <mutex>
#include <vector>

class QWidget;

struct ShownBox {
    std::string caption;
    std::string text;
    MsgIcon icon;
    MsgButtons buttons;
    MsgAnswer default_button;
};

// What the host drives in the window; set by the main window once it exists.
struct HostWindow {
    virtual ~HostWindow() = default;
    virtual QWidget* owner_widget() = 0;
    virtual void show_status_text(const QString& text) = 0;
    virtual void set_command_enabled(int command_id, bool enabled) = 0;
    virtual void show_progress(int done, int total) = 0;
    virtual void hide_progress() = 0;
};

class QtHost final : public QObject, public Host {
    Q_OBJECT
  public:
    QtHost();

    void attach(HostWindow* window) { window_ = window; }

    MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                          MsgButtons buttons = MsgButtons::Ok,
                          MsgAnswer default_button = MsgAnswer::Ok) override;
    void notify(const std::string& caption, const std::string& text, MsgIcon icon) override;
    void run_on_ui(const std::function<void()>& fn) override;
    bool wait_serving_ui(const std::function<bool()>& done, uint32_t timeout_ms) override;
    void set_status_text(const std::string& text) override;
    void enable_command(int command_id, bool enabled) override;
    void set_title(const std::string& title) override;
    std::optional<FileChoice> open_file_dialog() override;
    std::optional<FileChoice> save_file_dialog() override;
    void set_progress(int done, int total) override;
    void hide_progress() override;

    // Scripted mode: nothing is shown. A box takes the next queued answer, or its default
    // button when none is queued; a file dialog takes the next queued choice, or is cancelled.
    void set_scripted(bool scripted);
    void push_answer(MsgAnswer answer);
    void push_file_choice(std::optional<FileChoice> choice);
    // Every box asked for so far, shown or scripted, in order.
    std::vector<ShownBox> boxes() const;
    void clear_boxes();

    bool on_ui_thread() const;

  private:
    MsgAnswer show_box(const ShownBox& box);
    std::optional<FileChoice> file_dialog(bool save);

    HostWindow* window_ = nullptr;
    mutable std::mutex mutex_; // the scripting queues and the record of boxes
    bool scripted_ = false;
    std::deque<MsgAnswer> answers_;
    std::deque<std::optional<FileChoice>> file_choices_;
    std::vector<ShownBox> boxes_;
};
