// The Host seam on Qt: message boxes owned by the main window, callable from any thread, and
// the user-interface thread's services for the comm and synchronize threads. A test host derives
// from it and answers boxes and file dialogs itself instead of showing them.
#pragma once

#include "platform/host.h"

#include <QObject>

class QSettings;
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

class QtHost : public QObject, public Host {
    Q_OBJECT
  public:
    QtHost();

    void attach(HostWindow* window) { window_ = window; }
    // Where the file dialogs keep the folder they last showed; none keeps nothing.
    void set_settings(QSettings* settings) { settings_ = settings; }

    MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                          MsgButtons buttons = MsgButtons::Ok,
                          MsgAnswer default_button = MsgAnswer::Ok) override;
    void notify(const std::string& caption, const std::string& text, MsgIcon icon) override;
    void run_on_ui(const std::function<void()>& fn) override;
    void post_to_ui(std::function<void()> fn) override;
    bool wait_serving_ui(const std::function<bool()>& done, uint32_t timeout_ms) override;
    void set_status_text(const std::string& text) override;
    // Greys or enables a menu entry and its toolbar button (the ids of ui/commands).
    void enable_command(int command_id, bool enabled);
    void set_title(const std::string& title) override;
    std::optional<FileChoice> open_file_dialog() override;
    std::optional<FileChoice> save_file_dialog() override;
    void set_progress(int done, int total) override;
    void hide_progress() override;

    bool on_ui_thread() const;

  protected:
    // Always called on the user-interface thread: shows the box modally over the window and
    // returns the button pressed.
    virtual MsgAnswer show_box(const ShownBox& box);
    // Always called on the user-interface thread: shows an Ok box without waiting for it.
    virtual void show_notice(const ShownBox& box);
    // The file dialog of Open (save false) or Save As; nothing when cancelled.
    virtual std::optional<FileChoice> file_dialog(bool save);

  private:
    HostWindow* window_ = nullptr;
    QSettings* settings_ = nullptr;
};
