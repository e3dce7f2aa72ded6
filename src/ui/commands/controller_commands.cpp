// Controller menu, and Clear controller memory from the Keys menu.
#include "ui/commands/commands.h"
#include "ui/window/app.h"

void reset_controller(App& app) {
    app.controller.send(ControllerCommand::Reset);
}

void open_door_a(App& app) {
    app.controller.send(ControllerCommand::OpenDoorA);
}

void open_door_b(App& app) {
    app.controller.send(ControllerCommand::OpenDoorB);
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
        app.controller.send(ControllerCommand::ClearMemory);
    }
}
