// The command table behind the menu and the toolbar: each id runs one named function.
#pragma once

#include <span>

struct App;

struct CommandRow {
    int id;
    void (*handler)(App&);
};

std::span<const CommandRow> command_table();

// Runs the handler of a command id; ids without one are ignored.
void dispatch_command(App& app, int id);
