// Exit codes of tessary-cli: the sysexits values where one fits, so that a script or a service
// manager can tell a wrong call from a missing file from a silent controller.
#pragma once

enum ExitCode : int {
    ExitOk = 0,
    ExitDifferent = 1,     // diff: the lists differ; sync: stopped where a question would be asked
    ExitTrouble = 2,       // diff: could not compare
    ExitUsage = 64,        // EX_USAGE
    ExitDataError = 65,    // EX_DATAERR: an input file that cannot be used
    ExitNoInput = 66,      // EX_NOINPUT: an input file missing or unreadable
    ExitUnavailable = 69,  // EX_UNAVAILABLE: no controller, or its port is held by another process
    ExitIoError = 74,      // EX_IOERR
    ExitTempFail = 75,     // EX_TEMPFAIL: the database is open in another program; try later
    ExitNoPermission = 77, // EX_NOPERM: the device may not be opened
};
