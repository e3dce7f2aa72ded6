// tessaryd's program: its command line, the one service per site file, the signals that reload
// and end it, and what it tells systemd.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// The exit status of a site file that cannot be read: systemd does not restart for it.
constexpr int exit_config = 78;

int run_daemon(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
