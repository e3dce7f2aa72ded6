// Where the controller subcommands (diff, sync, door, reset, clear, listen) meet the link.
// The command line is parsed and the database loaded before this point; everything after it
// talks to the controller: LinkedController in the program.
#pragma once

#include "cli/command_line.h"
#include "database/key_database.h"

#include <ostream>

struct ControllerSeam {
    virtual ~ControllerSeam() = default;
    // Runs one controller subcommand. `database` is the loaded FILE.tsy (its COM port, its keys;
    // the log file goes beside request.database), or null when none was given and the port
    // comes from --port or --device. Data to out, diagnostics to err; returns the exit status.
    virtual int run(const CliRequest& request, KeyDatabase* database, std::ostream& out,
                    std::ostream& err) = 0;
};
