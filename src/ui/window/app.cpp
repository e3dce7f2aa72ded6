#include "ui/window/app.h"

#include "ui/commands/command_table.h"
#include "ui/commands/commands.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"

#include <QSettings>
#include <QSocketNotifier>

namespace {

class SessionView final : public SessionObserver {
  public:
    explicit SessionView(App& app) : app_(app) {}
    void sync_running(bool running) override { app_.host.enable_command(CmdSynchronize, !running); }
    void sync_progress(int done, int total) override {
        if (total < 0) {
            app_.host.hide_progress();
        } else {
            app_.host.set_progress(done, total);
        }
    }
    void database_changed() override { mark_modified(app_); }
    void compare_finished(SyncResult result, const KeyDifference& diff) override {
        show_comparison_result(app_, result, diff);
    }

  private:
    App& app_;
};

} // namespace

App::App(Clock& c, std::unique_ptr<QtHost> h)
    : clock(c), owned_host(std::move(h)), host(*owned_host),
      session_view(std::make_unique<SessionView>(*this)) {
    controller.add_observer(session_view.get());
    session.keep_history(true);
}

App::~App() {
    // A load in progress would hand its keys to a record that is going.
    loader.cancel();
    attachment_notifier.reset();
    controller.use_own();
    attachment.reset();
    // A running Synchronize uses the lists, the link and the window: end it first, serving its
    // calls, before any of them goes.
    // The comm thread may be waiting for this thread to take a log line: the session keeps
    // serving it until it has gone.
    session.shut_down();
    controller.remove_observer(session_view.get());
    // The models go first; the records must not call back into them while being destroyed.
    host.attach(nullptr);
    window.reset();
    database.keys.set_observer(nullptr);
    screen_log.observer = nullptr;
}
