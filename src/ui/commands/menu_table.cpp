#include "ui/commands/menu_table.h"

#include "platform/host.h"

namespace {

constexpr MenuEntry file_menu[] = {
    {"&New database", CmdNewDatabase},
    {"&Open database...", CmdOpenDatabase},
    {"&Import database...", CmdImportDatabase},
    {"S&ettings...", CmdSettings},
    {},
    {"&Save", CmdSave},
    {"Save &As...", CmdSaveAs},
    {},
    {"E&xit", CmdExit},
};

constexpr MenuEntry view_menu[] = {
    {"&Toolbar", CmdToolbar, true},      {"&Statusbar", CmdStatusbar, true}, {},
    {"&Log window", CmdLogWindow, true}, {"&Key list", CmdKeyList, true},
};

constexpr MenuEntry controller_menu[] = {
    {"&Reset controller", CmdResetController},
    {},
    {"Open door &A", CmdOpenDoorA},
    {"Open door &B", CmdOpenDoorB},
};

constexpr MenuEntry keys_menu[] = {
    {"&Copy from log", CmdCopyFromLog},
    {"&New key...", CmdNewKey},
    {},
    {"&Edit keys...", CmdEditKeys},
    {"&Delete keys", CmdDeleteKeys},
    {},
    {"&Synchronize", CmdSynchronize},
    {"Clear controller memory", CmdClearMemory},
};

constexpr MenuEntry help_menu[] = {
    {"&Manual in Browser...", CmdManual},
    {},
    {"&About Tessary...", CmdAbout},
};

constexpr MenuDef menus[] = {
    {"&File", file_menu}, {"&View", view_menu}, {"&Controller", controller_menu},
    {"&Keys", keys_menu}, {"&Help", help_menu},
};

constexpr ToolbarEntry toolbar[] = {
    {},
    {0, CmdOpenDoorA},
    {1, CmdOpenDoorB},
    {},
    {2, CmdResetController},
    {},
    {3, CmdCopyFromLog},
    {4, CmdSynchronize},
    {},
    {},
    {5, CmdToolbar, true},
    {6, CmdStatusbar, true},
    {7, CmdLogWindow, true},
    {8, CmdKeyList, true},
};

struct HelpString {
    int id;
    const char* text;
};

constexpr HelpString help_strings[] = {
    {CmdNewDatabase, "Start a new key database"},
    {CmdOpenDatabase, "Open a key database"},
    {CmdImportDatabase, "Import the keys of another database into this one"},
    {CmdSettings, "Edit the settings of the program"},
    {CmdSave, "Save the current key database"},
    {CmdSaveAs, "Save the current key database with another name"},
    {CmdToolbar, "Toggles the toolbar"},
    {CmdStatusbar, "Toggles the statusbar"},
    {CmdLogWindow, "Toggle the log window"},
    {CmdKeyList, "Toggle the key list"},
    {CmdResetController, "Reset the key controller"},
    {CmdOpenDoorA, "Open door A"},
    {CmdOpenDoorB, "Open door B"},
    {CmdCopyFromLog, "Copy the keys that are currently selected in the log to the keylist"},
    {CmdNewKey, "Add a new key to the database"},
    {CmdEditKeys, "Edit the keys that are currently selected in the keylist"},
    {CmdDeleteKeys, "Delete the keys that are currently selected in the keylist"},
    {CmdSynchronize, "Synchronize: copy the database to the key controller"},
    {CmdClearMemory, "Clear the memory of the key controller, including the master key"},
    {CmdManual, "Opens the manual in a web browser like Netscape or IE. Browsers may take some "
                "time to start."},
    {CmdAbout, "Displays the program information and copyright"},
};

} // namespace

std::span<const MenuDef> menu_table() {
    return menus;
}

std::span<const ToolbarEntry> toolbar_table() {
    return toolbar;
}

const char* help_string(int command_id) {
    for (const HelpString& h : help_strings) {
        if (h.id == command_id) {
            return h.text;
        }
    }
    return nullptr;
}
