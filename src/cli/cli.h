// tessary-cli as a function: arguments in, exit status out, data to `out` and diagnostics to
// `err`, the controller reached through `controller`.
#pragma once

#include "cli/controller_seam.h"

#include <ostream>
#include <string>
#include <vector>

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            ControllerSeam& controller);
