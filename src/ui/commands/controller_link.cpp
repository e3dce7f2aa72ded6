#include "ui/commands/controller_link.h"

#include "ui/window/app.h"

void start_link(App& app, uint32_t port) {
    start_comm_thread(app.link, port);
}

void stop_link(App& app) {
    stop_comm_thread(app.link);
}

bool post_controller_request(App& app, uint32_t bit) {
    return post_request(app.link, bit);
}
