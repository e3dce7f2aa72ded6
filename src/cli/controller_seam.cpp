#include "cli/controller_seam.h"

#include "cli/exit_codes.h"

int UnlinkedController::run(const CliRequest&, DatabaseRecord*, std::ostream&, std::ostream& err) {
    err << "tessary-cli: this build cannot reach the key controller yet (the serial link is not "
           "part of it); nothing was sent\n";
    return ExitUnavailable;
}
