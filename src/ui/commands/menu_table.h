// The menu bar, the toolbar's button table and the help string of each command, as data.
#pragma once

#include <span>

struct MenuEntry {
    const char* text = nullptr; // null: a separator
    int id = 0;
    bool checked = false; // a check-mark entry, checked at first
};

struct MenuDef {
    const char* title;
    std::span<const MenuEntry> entries;
};

std::span<const MenuDef> menu_table();

struct ToolbarEntry {
    int image = -1; // index into the toolbar image strip; -1 for a separator
    int id = 0;
    bool check = false; // a check button, checked at first
};

std::span<const ToolbarEntry> toolbar_table();

// The status-bar help and toolbar tooltip of a command; null when it has none.
const char* help_string(int command_id);
