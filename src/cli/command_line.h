// The command line of tessary-cli: subcommands, their options and their help texts.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class CliCommand {
    Help, // the program's own --help
    Version,
    KeysList,
    KeysExport,
    KeysImport,
    Diff,
    Sync,
    Door,
    Reset,
    Clear,
    Listen,
    Keys, // the keys group: only its --help, which lists list, export and import
    EventsList,
    EventsLastUse,
    EventsImportLogs,
    EventsKeep,
    Status, // the service's controllers
};

struct CliRequest {
    CliCommand command = CliCommand::Help;
    bool help = false;    // the subcommand's --help
    std::string database; // FILE.tsy; may be empty for door, reset, clear and listen
    std::string input;    // keys import: the CSV file, "-" for standard input
    bool csv = false;
    bool json = false;
    bool update = false;         // keys import: existing keys take the file's texts
    bool good_rows_only = false; // keys import: import despite bad rows
    bool dry_run = false;
    bool keep_extras = false;
    bool delete_extras = false;
    bool verify = false;
    bool yes = false;
    char door = 0;                // 'A' or 'B'
    std::optional<unsigned> port; // --port N
    std::string device;           // --device PATH
    // events: the period (UTC milliseconds), the key, the text, the kinds (their names, comma
    // separated), the door in `door`, how many, in which order; last-use: the days unused.
    std::optional<int64_t> since_ms;
    std::optional<int64_t> until_ms;
    std::optional<uint32_t> key;
    std::string text;
    std::string kinds;
    std::optional<size_t> limit;
    bool oldest_first = false;
    std::optional<unsigned> unused_days;
    std::optional<unsigned> months; // events keep: the months the history keeps
};

// A time given on the command line, in UTC milliseconds: YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]
// in local time, or -Nd, -Nh, -Nm before now_ms.
std::optional<int64_t> parse_cli_time(const std::string& text, int64_t now_ms);

struct ParsedCommandLine {
    std::optional<CliRequest> request; // empty on a usage error
    std::string error;                 // the usage error, without the program name
    std::string usage;                 // the usage lines of the subcommand concerned
};

ParsedCommandLine parse_command_line(const std::vector<std::string>& args);
// The full help of a subcommand (its usage, what it does and its options), or of the program.
std::string help_text(CliCommand command);
