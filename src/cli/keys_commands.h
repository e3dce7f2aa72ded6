// keys list, keys export and keys import: the subcommands that need only the database file.
#pragma once

#include "cli/command_line.h"

#include <ostream>

int run_keys_command(const CliRequest& request, std::ostream& out, std::ostream& err);
