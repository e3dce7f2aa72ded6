#include "ui/commands/command_table.h"

#include "platform/host.h"
#include "ui/commands/commands.h"
#include "ui/window/app.h"

namespace {

constexpr CommandRow rows[] = {
    {CmdNewDatabase, new_database},
    {CmdOpenDatabase, open_database_command},
    {CmdImportDatabase, import_database},
    {CmdSettings, settings_dialog},
    {CmdSave, save_command},
    {CmdSaveAs, save_as_command},
    {CmdExit, exit_command},
    {CmdToolbar, toggle_toolbar},
    {CmdStatusbar, toggle_status_bar},
    {CmdLogWindow, toggle_log_window},
    {CmdKeyList, toggle_key_list},
    {CmdResetController, reset_controller},
    {CmdOpenDoorA, open_door_a},
    {CmdOpenDoorB, open_door_b},
    {CmdCopyFromLog, copy_from_log},
    {CmdNewKey, new_key},
    {CmdEditKeys, edit_keys},
    {CmdDeleteKeys, delete_keys},
    {CmdSynchronize, synchronize},
    {CmdClearMemory, clear_controller_memory},
    {CmdManual, open_manual},
    {CmdAbout, about_box},
};

} // namespace

std::span<const CommandRow> command_table() {
    return rows;
}

void dispatch_command(App& app, int id) {
    auto it = app.commands.find(id);
    if (it != app.commands.end() && it->second) {
        it->second(app);
    }
}
