// Controller menu, and Clear controller memory from the Keys menu.
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"

void reset_controller(App& app) {
    post_controller_request(app, request_reset);
}

void open_door_a(App& app) {
    post_controller_request(app, request_open_door_a);
}

void open_door_b(App& app) {
    post_controller_request(app, request_open_door_b);
}

void clear_controller_memory(App& app) {
    MsgAnswer answer = app.host.message_box(
        "Tessary - Clearing the key controller",
        "Clearing the memory of the key controller will remove all the keys, including\nthe "
        "master key. After that, the first key physically held to a contact will\nbecome the "
        "new master key. Until that happens, synchronizing won't work.\n\nPlease confirm that "
        "this is what you want to do.",
        MsgIcon::Warning, MsgButtons::OkCancel, MsgAnswer::Cancel);
    if (answer == MsgAnswer::Ok) {
        post_controller_request(app, request_clear_memory);
    }
}
