#include "ui/controller_link.h"

#include "ui/app.h"

// Not wired to the comm thread yet: commands to the controller do nothing.
void start_link(App&, uint32_t) {}

void stop_link(App&) {}

bool post_controller_request(App&, uint32_t) {
    return false;
}
