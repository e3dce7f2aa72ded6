// tessary-cli: the keys of a database and its controller from scripts and timers, without Qt.
#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "cli/linked_controller.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    LinkedController controller;
    int status = run_cli(args, std::cout, std::cerr, controller);
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "tessary-cli: could not write the output\n";
        return ExitIoError;
    }
    return status;
}
