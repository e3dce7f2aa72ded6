// What the subsystems below the window layer need from the window system: message boxes,
// running code on the user-interface thread, the status bar, the title and the file dialogs. The Qt
// window implements it; tests use a scripted fake.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

enum class MsgIcon { Error, Warning, Information, Question };
enum class MsgButtons { Ok, OkCancel, YesNoCancel };
enum class MsgAnswer { Ok, Cancel, Yes, No };

// An icon as one word, for a box told to a peer in another process, and back (Information for
// a word it does not know).
inline const char* msg_icon_name(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Error:
        return "error";
    case MsgIcon::Warning:
        return "warning";
    case MsgIcon::Question:
        return "question";
    case MsgIcon::Information:
        break;
    }
    return "information";
}
inline MsgIcon parse_msg_icon(const std::string& name) {
    for (MsgIcon icon : {MsgIcon::Error, MsgIcon::Warning, MsgIcon::Question}) {
        if (name == msg_icon_name(icon)) {
            return icon;
        }
    }
    return MsgIcon::Information;
}

// A path chosen in a file dialog, with the index at which its bare file name begins.
struct FileChoice {
    std::string path;
    size_t name_offset = 0;
};

struct Host {
    virtual ~Host() = default;

    // Callable from any thread; blocks the caller until the box is answered, like a modal box.
    // Closing a box without a button counts as Cancel where there is one, else as Ok.
    virtual MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                                  MsgButtons buttons = MsgButtons::Ok,
                                  MsgAnswer default_button = MsgAnswer::Ok) = 0;

    // An Ok box that the caller does not wait for: for a thread that must go on working while
    // the user reads it (the comm thread retrying a lost port). Callable from any thread. A host
    // without such boxes shows a modal one.
    virtual void notify(const std::string& caption, const std::string& text, MsgIcon icon) {
        message_box(caption, text, icon);
    }
    // Runs fn on the user-interface thread and returns when it has run. On that thread it runs
    // fn at once.
    virtual void run_on_ui(const std::function<void()>& fn) = 0;
    // Runs fn on the user-interface thread later, without waiting for it: for a thread whose
    // last act must not wait on a window that may open a dialog. A host without an event queue
    // runs it as run_on_ui does.
    virtual void post_to_ui(std::function<void()> fn) { run_on_ui(fn); }

    // Called on the user-interface thread: waits until done() is true or timeout_ms have passed,
    // while still running other threads' run_on_ui calls and message boxes, so that a thread
    // being waited for can never deadlock on the user-interface thread. Returns done().
    virtual bool wait_serving_ui(const std::function<bool()>& done, uint32_t timeout_ms) = 0;

    // The following are called on the user-interface thread only.
    virtual void set_status_text(const std::string& text) = 0;
    virtual void set_title(const std::string& title) = 0;
    virtual std::optional<FileChoice> open_file_dialog() = 0;
    virtual std::optional<FileChoice> save_file_dialog() = 0;

    // A progress bar in the status bar beside the status text: done out of total, shown by the
    // first call; hide_progress takes it away. User-interface thread only. Hosts without a
    // status bar may ignore both.
    virtual void set_progress(int done, int total) {
        (void)done;
        (void)total;
    }
    virtual void hide_progress() {}
};

// Asks a thread to end, then waits on the user-interface thread until done(), still serving the
// thread's run_on_ui calls and boxes: a thread that is logging a line or showing a box must not
// turn a stop into a deadlock. With a time-out, false when done() is still false after it;
// without one, waits however long it takes.
inline bool ask_stop_and_wait(Host& host, const std::function<void()>& ask_stop,
                              const std::function<bool()>& done,
                              std::optional<uint32_t> timeout_ms) {
    ask_stop();
    if (timeout_ms) {
        return host.wait_serving_ui(done, *timeout_ms);
    }
    while (!host.wait_serving_ui(done, 1000)) {
    }
    return true;
}
