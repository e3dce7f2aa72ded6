#include "ui/commands/controller_link.h"

#include "ui/window/app.h"

void start_link(App& app, uint32_t port) {
    app.controller.start(port);
}

void stop_link(App& app) {
    app.controller.stop();
}
