// Where COM port n lives on this machine. A user (or the simulated controller) maps a port by
// placing a symlink named COMn in the port folder; without one, COM n is the n-th built-in UART.
#pragma once

#include <cstdint>
#include <string>

// $TESSARY_PORT_DIR when set, else $XDG_CONFIG_HOME/tessary/ports (XDG_CONFIG_HOME defaulting
// to ~/.config), whether or not it exists.
std::string com_port_dir();

// $TESSARY_PORT_DIR/COMn when that variable is set; otherwise COMn in the folder above when that
// entry exists; otherwise /dev/ttyS<n-1>.
std::string com_port_path(uint32_t port);
