// The controller subcommands on the real link: the comm thread on the port, the decoder, the
// log file beside the database and the synchronize operation, with no window. Boxes become
// lines (information on standard output, the rest on standard error) that take their default
// answer; no question is ever left to wait for a user.
#pragma once

#include "cli/controller_seam.h"

struct LinkedController final : ControllerSeam {
    int run(const CliRequest& request, KeyDatabase* database, std::ostream& out,
            std::ostream& err) override;
};
