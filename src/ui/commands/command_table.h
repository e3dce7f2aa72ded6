// The commands of the menus and the toolbar. Each command is one row of the table (its id, the
// text and help of its entry, its handler) and, once the application exists, one QAction that
// the menu entry and the toolbar button share, so both always show the same enabled and checked
// state. A new command is one new row and its handler.
#pragma once

#include "ui/commands/command_ids.h"

#include <functional>
#include <map>
#include <memory>
#include <span>

class QAction;
class QObject;
struct App;

// The menus, in the menu bar's order.
enum class Menu { File, View, Controller, Keys, Help };

// Flags of a row.
constexpr unsigned SeparatorBefore = 1;  // a separator line above the entry
constexpr unsigned Checkable = 2;        // a check-mark entry and check button, checked at first
constexpr unsigned Submenu = 4;          // the entry opens a submenu that the window fills
constexpr unsigned NeedsDatabase = 8;    // greyed while a database is being loaded
constexpr unsigned StartsUnchecked = 16; // with Checkable: not checked at first

struct CommandRow {
    Menu menu;
    int id;
    const char* text; // the entry's text, its mnemonic marked with '&'
    const char* help; // status-bar help and toolbar tooltip; null when the entry has none
    void (*handler)(App&);
    unsigned flags = 0;
    const char* shortcut = nullptr; // a QKeySequence text; null for none
};

// Every command, in menu order: each menu's entries in the order they are shown.
std::span<const CommandRow> command_table();
// The menu bar's titles, indexed by Menu.
std::span<const char* const> menu_titles();

struct ToolbarEntry {
    int image = -1; // index into the toolbar image strip; -1 for a separator
    int id = 0;
};
std::span<const ToolbarEntry> toolbar_table();

// Whether a command's row carries NeedsDatabase.
bool needs_database(int command_id);
// The status-bar help and toolbar tooltip of a command; null when it has none.
const char* help_string(int command_id);

using CommandHandler = std::function<void(App&)>;

// A command as the running program holds it.
struct Command {
    QAction* action = nullptr;
    CommandHandler handler; // a test may put its own in place
};

// Command ids to their actions and handlers, built from command_table().
class CommandTable {
  public:
    // Triggering an action runs its command's handler on app.
    explicit CommandTable(App& app);
    ~CommandTable();
    CommandTable(const CommandTable&) = delete;
    CommandTable& operator=(const CommandTable&) = delete;

    // Null for an id without a command.
    QAction* action(int id) const;
    Command* find(int id);

    auto begin() { return commands_.begin(); }
    auto end() { return commands_.end(); }

  private:
    std::unique_ptr<QObject> owner_; // parent of the actions
    std::map<int, Command> commands_;
};

// Runs the handler of a command id; ids without one are ignored.
void dispatch_command(App& app, int id);
