// The controller subcommands through tessaryd, when the service holds the controller's port:
// the same output and exit statuses as on the link itself, as far as its answers tell them.
#pragma once

#include "cli/command_line.h"
#include "database/key_database.h"

#include <optional>
#include <ostream>

// Runs the subcommand through the service when one serves `database` (or, without one, COM
// port `port`); none when no service serves it, and the caller opens the port itself.
std::optional<int> run_through_service(const CliRequest& request, const KeyDatabase* database,
                                       unsigned port, std::ostream& out, std::ostream& err);

// tessary-cli status: the service's controllers, or that no service runs (exit status 69).
int run_status(const CliRequest& request, std::ostream& out, std::ostream& err);
