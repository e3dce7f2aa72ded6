#include "ui/commands/command_table.h"

#include "platform/host.h"
#include "ui/commands/commands.h"
#include "ui/window/app.h"

#include <QAction>
#include <QKeySequence>
#include <QObject>

namespace {

// clang-format off
constexpr CommandRow rows[] = {
    {Menu::File, CmdNewDatabase, "&New database", "Start a new key database", new_database,
     NeedsDatabase},
    {Menu::File, CmdOpenDatabase, "&Open database...", "Open a key database",
     open_database_command, NeedsDatabase},
    // Its entries are the recent files, each opening its own path: the row has no handler.
    {Menu::File, CmdOpenRecent, "Open &Recent", "Open one of the key databases used last",
     nullptr, Submenu | NeedsDatabase},
    {Menu::File, CmdImportDatabase, "&Import database...",
     "Import the keys of another database into this one", import_database, NeedsDatabase},
    {Menu::File, CmdSettings, "S&ettings...", "Edit the settings of the program", settings_dialog,
     NeedsDatabase},
    {Menu::File, CmdSave, "&Save", "Save the current key database", save_command,
     SeparatorBefore | NeedsDatabase},
    {Menu::File, CmdSaveAs, "Save &As...", "Save the current key database with another name",
     save_as_command, NeedsDatabase},
    {Menu::File, CmdExportLogCsv, "Export &log to CSV...",
     "Write the rows of the log window to a CSV file", export_log_csv},
    {Menu::File, CmdRestoreBackup, "Restore &backup...",
     "Open a copy kept of this database from before one of its saves", restore_backup,
     NeedsDatabase},
    {Menu::File, CmdExit, "E&xit", nullptr, exit_command, SeparatorBefore},

    {Menu::View, CmdToolbar, "&Toolbar", "Toggles the toolbar", toggle_toolbar, Checkable},
    {Menu::View, CmdStatusbar, "&Statusbar", "Toggles the statusbar", toggle_status_bar,
     Checkable},
    {Menu::View, CmdFollowPresentedKey, "Select &presented key",
     "Select the key the controller reports in the key list", toggle_presented_key,
     Checkable},
    {Menu::View, CmdHistory, "&History",
     "Show the events kept of this database, filtered by period, key, kind and door",
     show_history, 0, "Ctrl+H"},
    {Menu::View, CmdLogWindow, "&Log window", "Toggle the log window", toggle_log_window,
     SeparatorBefore | Checkable},
    {Menu::View, CmdKeyList, "&Key list", "Toggle the key list", toggle_key_list, Checkable},

    {Menu::Controller, CmdResetController, "&Reset controller", "Reset the key controller",
     reset_controller},
    {Menu::Controller, CmdOpenDoorA, "Open door &A", "Open door A", open_door_a,
     SeparatorBefore},
    {Menu::Controller, CmdOpenDoorB, "Open door &B", "Open door B", open_door_b},

    {Menu::Keys, CmdCopyFromLog, "&Copy from log",
     "Copy the keys that are currently selected in the log to the keylist", copy_from_log,
     NeedsDatabase},
    {Menu::Keys, CmdNewKey, "&New key...", "Add a new key to the database", new_key, NeedsDatabase},
    {Menu::Keys, CmdEditKeys, "&Edit keys...",
     "Edit the keys that are currently selected in the keylist", edit_keys,
     SeparatorBefore | NeedsDatabase},
    {Menu::Keys, CmdDeleteKeys, "&Delete keys",
     "Delete the keys that are currently selected in the keylist", delete_keys, NeedsDatabase},
    {Menu::Keys, CmdFindKeys, "&Find keys", "Show only the keys that contain a text", find_keys,
     NeedsDatabase, "Ctrl+F"},
    {Menu::Keys, CmdExpiringKeys, "Expires &within 14 days",
     "Show only the keys whose last valid day is today or within the next 13 days",
     toggle_expiring_keys, Checkable | StartsUnchecked | NeedsDatabase},
    {Menu::Keys, CmdKeyUsage, "Key &usage...",
     "Show when each key was used last and how often, and the keys not used for some time",
     key_usage, NeedsDatabase},
    {Menu::Keys, CmdImportKeysCsv, "&Import keys from CSV...",
     "Add the keys of a CSV file to the database, after a preview", import_keys_csv,
     SeparatorBefore | NeedsDatabase},
    {Menu::Keys, CmdExportKeysCsv, "E&xport keys to CSV...",
     "Write every key of the database to a CSV file", export_keys_csv, NeedsDatabase},
    {Menu::Keys, CmdExportSelectedCsv, "Export se&lected keys to CSV...",
     "Write the keys that are currently selected in the keylist to a CSV file",
     export_selected_csv, NeedsDatabase},
    {Menu::Keys, CmdSynchronize, "&Synchronize",
     "Synchronize: copy the database to the key controller", synchronize,
     SeparatorBefore | NeedsDatabase},
    {Menu::Keys, CmdCompareWithController, "C&ompare with controller",
     "Read the keys back from the key controller and show how they differ from the database",
     compare_with_controller_command, NeedsDatabase},
    {Menu::Keys, CmdVerifyAfterSync, "&Verify after synchronize",
     "After a synchronize operation, read the keys back and report any difference",
     toggle_verify_after_sync, Checkable},
    {Menu::Keys, CmdClearMemory, "Clear controller memory",
     "Clear the memory of the key controller, including the master key",
     clear_controller_memory},

    {Menu::Help, CmdManual, "&Manual in Browser...",
     "Opens the manual in a web browser like Netscape or IE. Browsers may take some time to "
     "start.", open_manual},
    {Menu::Help, CmdAbout, "&About Tessary...", "Displays the program information and copyright",
     about_box, SeparatorBefore},
};
// clang-format on

constexpr const char* titles[] = {"&File", "&View", "&Controller", "&Keys", "&Help"};

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
    {5, CmdToolbar},
    {6, CmdStatusbar},
    {7, CmdLogWindow},
    {8, CmdKeyList},
};

} // namespace

std::span<const CommandRow> command_table() {
    return rows;
}

std::span<const char* const> menu_titles() {
    return titles;
}

std::span<const ToolbarEntry> toolbar_table() {
    return toolbar;
}

bool needs_database(int command_id) {
    for (const CommandRow& row : rows) {
        if (row.id == command_id) {
            return (row.flags & NeedsDatabase) != 0;
        }
    }
    return false;
}

const char* help_string(int command_id) {
    for (const CommandRow& row : rows) {
        if (row.id == command_id) {
            return row.help;
        }
    }
    return nullptr;
}

CommandTable::CommandTable(App& app) : owner_(std::make_unique<QObject>()) {
    for (const CommandRow& row : command_table()) {
        auto* a = new QAction(QString::fromLatin1(row.text), owner_.get());
        a->setData(row.id);
        a->setIconVisibleInMenu(false);
        if (row.help) {
            a->setStatusTip(QString::fromLatin1(row.help));
            a->setToolTip(QString::fromLatin1(row.help));
        }
        if (row.shortcut) {
            a->setShortcut(QKeySequence(QString::fromLatin1(row.shortcut)));
        }
        if (row.flags & Checkable) {
            a->setCheckable(true);
            a->setChecked(!(row.flags & StartsUnchecked));
        }
        const int id = row.id;
        QObject::connect(a, &QAction::triggered, owner_.get(),
                         [&app, id] { dispatch_command(app, id); });
        commands_.emplace(row.id, Command{a, row.handler});
    }
}

CommandTable::~CommandTable() = default;

QAction* CommandTable::action(int id) const {
    auto it = commands_.find(id);
    return it == commands_.end() ? nullptr : it->second.action;
}

Command* CommandTable::find(int id) {
    auto it = commands_.find(id);
    return it == commands_.end() ? nullptr : &it->second;
}

void dispatch_command(App& app, int id) {
    Command* command = app.commands.find(id);
    // The list views reach commands without their greyed actions.
    if (app.loader.loading() && needs_database(id)) {
        return;
    }
    if (command && command->handler) {
        command->handler(app);
    }
}
