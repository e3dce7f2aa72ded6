// Keys > Compare with controller: the controller's keys read back on the synchronize thread,
// exactly as Synchronize reads them, nothing else sent; then the difference in a dialog from
// which Synchronize can be started. And Keys > Verify after synchronize, a user's preference
// kept in the program's settings, not in a database.
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/dialogs/compare_dialog.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"

#include <QAction>
#include <QSettings>

namespace {

const QString verify_setting = QStringLiteral("sync/verify");

const char* const compare_lost_text =
    "The keys couldn't be compared: the connection to the key controller was lost while its "
    "keys were being read.";
const char* const compare_missing_text =
    "The keys couldn't be compared: the key controller answered but sent no keys. It may hold "
    "no master key yet.";

} // namespace

void show_comparison_result(App& app, SyncResult result, const KeyDifference& diff) {
    // Posted as the thread's last act but one: a Synchronize started from here must not find it
    // still running.
    app.host.wait_serving_ui([&app] { return !app.sync.running(); }, 1000);
    app.host.set_status_text(sync_status_ready);
    app.host.enable_command(CmdSynchronize, true);
    const char* failure = nullptr;
    switch (result) {
    case SyncResult::Done:
        break;
    case SyncResult::CommStopped:
    case SyncResult::ConnectionLost:
        failure = compare_lost_text;
        break;
    case SyncResult::ReadoutMissing:
        failure = compare_missing_text;
        break;
    default:
        // No port and no answer: the link has said so in its own box. Shutdown: nobody is left
        // to tell.
        return;
    }
    if (failure) {
        app.host.message_box(compare_caption, failure, MsgIcon::Error);
        return;
    }
    if (app.dialogs->show_comparison(app, diff)) {
        dispatch_command(app, CmdSynchronize);
    }
}

void compare_with_controller_command(App& app) {
    if (!app.window) {
        return;
    }
    if (!saved_for_service(app, compare_caption)) {
        return;
    }
    // The result comes back through the session's observers, which the window's view shows.
    if (app.controller.compare()) {
        app.host.set_status_text(sync_status_checking);
        app.host.enable_command(CmdSynchronize, false);
    }
}

bool verify_after_sync(const App& app) {
    return app.settings ? app.settings->value(verify_setting, true).toBool() : true;
}

void toggle_verify_after_sync(App& app) {
    const bool on = !verify_after_sync(app);
    if (app.settings) {
        app.settings->setValue(verify_setting, on);
    }
    if (QAction* a = app.commands.action(CmdVerifyAfterSync)) {
        a->setChecked(on);
    }
}
