// What Tessary's command line asks for: print a text and end (--help, --version, a mistake), or
// open the window on a database.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

struct CommandLine {
    enum class Action { Run, Print, Fail };
    Action action = Action::Run;
    // Run: the one positional argument, handed to start-up unchanged: a path (spaces and all),
    // or one string in the raw form that begins with a double quote. Empty when none was given.
    std::string database;
    // Print: the text for standard output; Fail: the message for standard error.
    QString text;
    int exit_code = 0;
};

// arguments[0] is the program. --help and --version win over any mistake beside them, so that
// they answer even when Qt's own options (-platform ...) are still in the list.
CommandLine parse_command_line(const QStringList& arguments);
