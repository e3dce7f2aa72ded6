#include "ui/commands/controller_link.h"

#include "ui/commands/commands.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"

#include "ui/models/row_click_view.h"
#include <QHeaderView>
#include <QSocketNotifier>

#include <algorithm>

namespace {

// The service's history fills the screen log as far as the user sees it, no further: older
// reports are in the History window.
size_t screenful(const App& app) {
    int rows = 50;
    if (app.window && app.window->log_view()) {
        const QTableView* view = app.window->log_view();
        const int row_height = std::max(1, view->verticalHeader()->defaultSectionSize());
        rows = std::max(rows, view->viewport()->height() / row_height + 1);
    }
    return static_cast<size_t>(std::clamp(rows, 1, std::max(1, app.database.log.screen_log_lines)));
}

void detach(App& app) {
    if (!app.attachment) {
        return;
    }
    // Later: detaching may come from the notifier's own signal, by way of a box's event loop.
    app.attachment_notifier->setEnabled(false);
    app.attachment_notifier.release()->deleteLater();
    app.controller.use_own();
    app.attachment.reset();
}

void service_input(App& app);

bool attach(App& app) {
    AttachedDesk desk{app.host, app.clock, app.database,
                      [&app](LogRow row) { app.logger.show_line(std::move(row)); }};
    app.attachment = ServiceAttachment::attach(app.service_socket, app.database.file_name,
                                               screenful(app), std::move(desk));
    if (!app.attachment) {
        return false;
    }
    // The service holds the port: a link of the window's own would only find it in use.
    app.session.stop();
    app.controller.use(*app.attachment);
    app.attachment_notifier =
        std::make_unique<QSocketNotifier>(app.attachment->fd(), QSocketNotifier::Read);
    QObject::connect(app.attachment_notifier.get(), &QSocketNotifier::activated,
                     [&app] { service_input(app); });
    // The backlog may have come with the subscription's answer, before the notifier watched.
    service_input(app);
    return true;
}

void service_input(App& app) {
    if (!app.attachment || app.attachment->take_in() || !app.attachment) {
        return;
    }
    // The service went away (stopped, restarted, or dropped this window): the window carries
    // on with the port itself, and says so once.
    // The port first: no report is lost while the box waits for the user.
    detach(app);
    const uint32_t port = app.database.log.com_port;
    if (port != 0) {
        app.controller.start(port);
    }
    update_title(app);
    app.host.message_box(service_stopped_caption,
                         std::string(service_stopped_text) + "COM" + std::to_string(port) +
                             " itself.",
                         MsgIcon::Information);
}

} // namespace

void start_link(App& app, uint32_t port) {
    detach(app);
    if (attach(app)) {
        update_title(app);
    } else {
        app.controller.start(port);
    }
}

void stop_link(App& app) {
    const bool attached = app.attachment != nullptr;
    detach(app);
    app.controller.stop();
    if (attached) {
        update_title(app);
    }
}

bool saved_for_service(App& app, const char* caption) {
    if (!app.attachment || !app.document.modified) {
        return true;
    }
    if (app.host.message_box(caption, service_unsaved_text, MsgIcon::Question, MsgButtons::OkCancel,
                             MsgAnswer::Ok) != MsgAnswer::Ok) {
        return false;
    }
    save_command(app);
    return !app.document.modified;
}
