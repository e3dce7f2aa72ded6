#include "cli/command_line.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace {

bool parse_port(const std::string& text, unsigned* port) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned n = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
    if (n < 1 || n > 255) {
        return false;
    }
    *port = n;
    return true;
}

bool set_port(CliRequest& req, const std::string& value, std::string* error) {
    unsigned port = 0;
    if (!parse_port(value, &port)) {
        *error = "--port needs a COM port number from 1 to 255, not '" + value + "'";
        return false;
    }
    req.port = port;
    return true;
}

bool set_device(CliRequest& req, const std::string& value, std::string* error) {
    if (value.empty()) {
        *error = "--device needs a value";
        return false;
    }
    req.device = value;
    return true;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool set_time(std::optional<int64_t>& to, const char* name, const std::string& value,
              std::string* error) {
    to = parse_cli_time(value, now_ms());
    if (!to) {
        *error = std::string(name) +
                 " needs YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] or -Nd, -Nh, -Nm, not '" + value + "'";
    }
    return to.has_value();
}

bool set_since(CliRequest& req, const std::string& value, std::string* error) {
    return set_time(req.since_ms, "--since", value, error);
}

bool set_until(CliRequest& req, const std::string& value, std::string* error) {
    return set_time(req.until_ms, "--until", value, error);
}

bool set_key(CliRequest& req, const std::string& value, std::string* error) {
    if (value.empty() || value.size() > 6 ||
        value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        *error = "--key needs a key number of up to 6 hexadecimal digits, not '" + value + "'";
        return false;
    }
    req.key = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 16));
    return true;
}

bool set_text(CliRequest& req, const std::string& value, std::string*) {
    req.text = value;
    return true;
}

bool set_kinds(CliRequest& req, const std::string& value, std::string*) {
    req.kinds = value; // checked against the kinds where they are known
    return true;
}

bool set_event_door(CliRequest& req, const std::string& value, std::string* error) {
    if (value != "A" && value != "B" && value != "a" && value != "b") {
        *error = "--door needs A or B, not '" + value + "'";
        return false;
    }
    req.door = static_cast<char>(value[0] & ~0x20);
    return true;
}

bool set_count(std::optional<unsigned long>& to, const char* name, const std::string& value,
               std::string* error) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        *error = std::string(name) + " needs a number, not '" + value + "'";
        return false;
    }
    to = std::strtoul(value.c_str(), nullptr, 10);
    return true;
}

bool set_limit(CliRequest& req, const std::string& value, std::string* error) {
    std::optional<unsigned long> n;
    if (!set_count(n, "--limit", value, error)) {
        return false;
    }
    req.limit = *n;
    return true;
}

bool set_unused_days(CliRequest& req, const std::string& value, std::string* error) {
    std::optional<unsigned long> n;
    if (!set_count(n, "--unused-days", value, error)) {
        return false;
    }
    req.unused_days = static_cast<unsigned>(*n);
    return true;
}

bool set_months(CliRequest& req, const std::string& value, std::string* error) {
    std::optional<unsigned long> n;
    if (!set_count(n, "--months", value, error)) {
        return false;
    }
    req.months = static_cast<unsigned>(*n);
    return true;
}

// One option a subcommand takes: a switch sets its member, an option with a value (given as
// --opt=value or as the next argument) goes through its setter.
struct OptionEntry {
    const char* name;
    bool CliRequest::*flag = nullptr;
    bool (*set_value)(CliRequest&, const std::string&, std::string* error) = nullptr;
};

const OptionEntry csv_option{"--csv", &CliRequest::csv};
const OptionEntry json_option{"--json", &CliRequest::json};
const OptionEntry update_option{"--update", &CliRequest::update};
const OptionEntry good_rows_option{"--good-rows-only", &CliRequest::good_rows_only};
const OptionEntry dry_run_option{"--dry-run", &CliRequest::dry_run};
const OptionEntry keep_extras_option{"--keep-extras", &CliRequest::keep_extras};
const OptionEntry delete_extras_option{"--delete-extras", &CliRequest::delete_extras};
const OptionEntry verify_option{"--verify", &CliRequest::verify};
const OptionEntry yes_option{"--yes", &CliRequest::yes};
const OptionEntry port_option{"--port", nullptr, set_port};
const OptionEntry device_option{"--device", nullptr, set_device};
const OptionEntry since_option{"--since", nullptr, set_since};
const OptionEntry until_option{"--until", nullptr, set_until};
const OptionEntry key_option{"--key", nullptr, set_key};
const OptionEntry text_option{"--text", nullptr, set_text};
const OptionEntry kind_option{"--kind", nullptr, set_kinds};
const OptionEntry event_door_option{"--door", nullptr, set_event_door};
const OptionEntry limit_option{"--limit", nullptr, set_limit};
const OptionEntry oldest_first_option{"--oldest-first", &CliRequest::oldest_first};
const OptionEntry unused_days_option{"--unused-days", nullptr, set_unused_days};
const OptionEntry months_option{"--months", nullptr, set_months};

struct SubcommandEntry {
    CliCommand command;
    const char* words; // as typed: "keys list"
    const char* usage; // the arguments after the words
    const char* help;  // what it does, then its options
    std::vector<OptionEntry> options;
    int min_args;
    int max_args;
};

const char* const where_options =
    "  --port N         the controller on COM port N instead of the database's port\n"
    "  --device PATH    the controller on this serial device or pseudo-terminal\n";

const std::vector<SubcommandEntry>& subcommands() {
    static const std::vector<SubcommandEntry> table = {
        {CliCommand::EventsList,
         "events list",
         "FILE.tsy [--since T] [--until T] [--key K] [--text S] [--kind K[,K...]] [--door A|B]\n"
         "                   [--limit N] [--oldest-first] [--json|--csv]",
         "Prints the events of the database's history, newest first: time, key, kind, door and\n"
         "text, separated by tabs. T is YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS] in local time, or\n"
         "-7d, -12h, -30m before now. A database without a history prints nothing.\n\n"
         "  --since T        events from T on\n"
         "  --until T        events before T\n"
         "  --key K          the events of one key number\n"
         "  --text S         events whose key number, name or memo holds S\n"
         "  --kind K,...     valid-key, master-key, invalid-key, door, penalty, alarm, manual,\n"
         "                   memory, link, log, sync\n"
         "  --door A|B       the events of one door\n"
         "  --limit N        at most N events\n"
         "  --oldest-first   oldest first\n"
         "  --json           one JSON object a line\n"
         "  --csv            as CSV with a header row\n",
         {since_option, until_option, key_option, text_option, kind_option, event_door_option,
          limit_option, oldest_first_option, json_option, csv_option},
         1,
         1},
        {CliCommand::EventsImportLogs,
         "events import-logs",
         "FILE.tsy",
         "Fills the database's history from its log files, the current one and those rotated\n"
         "aside, creating the history when there is none. The log files keep the minute of each\n"
         "line. A line the history holds already is not stored again.\n",
         {},
         1,
         1},
        {CliCommand::EventsKeep,
         "events keep",
         "FILE.tsy [--months N]",
         "Prints how many months of events the database's history keeps; with --months, sets\n"
         "it and removes the older events at once. The window and every other program that\n"
         "writes the history keep the same, removing what grows older once a day.\n\n"
         "  --months N       keep N months of events; 0 keeps all (the default)\n",
         {months_option},
         1,
         1},
        {CliCommand::EventsLastUse,
         "events last-use",
         "FILE.tsy [--since T] [--unused-days N] [--json|--csv]",
         "Prints each key of the database with its last use (time and door) and its number of\n"
         "uses, from its history: key, name, last use, door, uses, separated by tabs. Keys never\n"
         "used have an empty last use.\n\n"
         "  --since T        count the uses from T on\n"
         "  --unused-days N  only the keys not used for N days or more\n"
         "  --json           one JSON object a line\n"
         "  --csv            as CSV with a header row\n",
         {since_option, unused_days_option, json_option, csv_option},
         1,
         1},
        {CliCommand::KeysList,
         "keys list",
         "FILE.tsy [--csv|--json]",
         "Prints the keys of the database, one per line: key number, name, memo, free field,\n"
         "first and last day of validity, separated by tabs. Texts are printed in UTF-8.\n\n"
         "  --csv            as CSV (key,name,memo,free,valid_from,valid_until)\n"
         "  --json           as a JSON array of objects\n",
         {csv_option, json_option},
         1,
         1},
        {CliCommand::KeysExport,
         "keys export",
         "FILE.tsy [--csv|--json]",
         "Writes the keys of the database to standard output as CSV (the default) or JSON,\n"
         "in UTF-8; Windows-1252 texts are converted.\n\n"
         "  --csv            CSV with the header row key,name,memo,free,valid_from,\n"
         "                   valid_until (the default)\n"
         "  --json           a JSON array of objects\n",
         {csv_option, json_option},
         1,
         1},
        {CliCommand::KeysImport,
         "keys import",
         "FILE.tsy KEYS.csv [--csv] [--update] [--good-rows-only] [--dry-run]",
         "Adds the keys of a CSV file (header row key,name,memo,free in any order, optionally\n"
         "valid_from and valid_until as YYYY-MM-DD; - reads standard input) to the database\n"
         "and saves it. A file with bad rows is refused as a\n"
         "whole; every bad row is listed with its line number and reason. While the database\n"
         "is open in a Tessary window nothing is imported (exit status 75).\n\n"
         "  --csv            the input is CSV (the only input format)\n"
         "  --update         keys already in the database take the texts of the file\n"
         "                   (without it they are kept as they are)\n"
         "  --good-rows-only import the good rows even when some rows are bad\n"
         "  --dry-run        say what would be imported and change nothing\n",
         {csv_option, json_option, update_option, good_rows_option, dry_run_option},
         2,
         2},
        {CliCommand::Diff,
         "diff",
         "FILE.tsy [--port N|--device PATH]",
         "Reads the keys back from the controller (nothing else is sent) and prints one line\n"
         "per difference, tab-separated: add KEY NAME for a key valid today that the\n"
         "controller lacks, extra KEY for a key only the controller holds, expired KEY NAME\n"
         "for a key the controller holds outside its days of validity.\n"
         "Exit status 0 when they are equal, 1 when they differ, 2 on trouble (a controller\n"
         "that does not answer, a port in use, a read-out with a data problem).\n\n",
         {port_option, device_option},
         1,
         1},
        {CliCommand::Sync,
         "sync",
         "FILE.tsy [--dry-run] [--keep-extras|--delete-extras] [--verify] [--port N|--device "
         "PATH]",
         "Makes the controller hold exactly the keys of the database that are valid today,\n"
         "printing each key as it is planned (delete, add or keep, tab-separated) before it is\n"
         "sent. Keys only the controller holds stop the run before anything is sent (exit\n"
         "status 1) unless one of the two extras options says what to do with them.\n"
         "FILE.tsy is never written: a sync may run while the database is open in the window.\n\n"
         "  --dry-run        print what would be sent; send nothing but the read-out\n"
         "  --keep-extras    leave them in the controller (the file is not changed: a\n"
         "                   scheduled job never edits the user's database; the window's\n"
         "                   Synchronize adds them to it)\n"
         "  --delete-extras  delete them from the controller\n"
         "  --verify         read the controller back afterwards and compare; a difference\n"
         "                   is reported with its keys and exit status 74\n",
         {dry_run_option, keep_extras_option, delete_extras_option, verify_option, port_option,
          device_option},
         1,
         1},
        {CliCommand::Door,
         "door",
         "A|B [FILE.tsy] [--port N|--device PATH]",
         "Opens door A or door B. Exit status 0 once the controller has answered.\n\n",
         {port_option, device_option},
         1,
         2},
        {CliCommand::Reset,
         "reset",
         "[FILE.tsy] [--port N|--device PATH]",
         "Resets the controller. Exit status 0 once it has answered.\n\n",
         {port_option, device_option},
         0,
         1},
        {CliCommand::Clear,
         "clear",
         "--yes [FILE.tsy] [--port N|--device PATH]",
         "Clears the controller's key memory. Refuses without --yes (exit status 64).\n"
         "Afterwards the first key presented at the controller becomes its master key.\n\n"
         "  --yes            really clear it\n",
         {yes_option, port_option, device_option},
         0,
         1},
        {CliCommand::Listen,
         "listen",
         "[FILE.tsy] [--json] [--port N|--device PATH]",
         "Prints the controller's events, one per line (time, key and event, tab-separated),\n"
         "with the texts of the screen log, until interrupted (SIGINT or SIGTERM: exit\n"
         "status 0).\n\n"
         "  --json           one JSON object per line: time, key, event and highlight\n",
         {json_option, port_option, device_option},
         0,
         1},
        {CliCommand::Status,
         "status",
         "[--json]",
         "Lists the controllers the service (tessaryd) serves, one per line: database, COM\n"
         "port, state (connected, lost or none), model, and for none the reason. Exit status\n"
         "0; 69 when no service runs.\n\n"
         "  --json           one JSON object: the socket and the controllers\n",
         {json_option},
         0,
         0},
    };
    return table;
}

bool needs_controller(CliCommand c) {
    return c == CliCommand::Diff || c == CliCommand::Sync || c == CliCommand::Door ||
           c == CliCommand::Reset || c == CliCommand::Clear || c == CliCommand::Listen;
}

std::string usage_of(const SubcommandEntry& entry) {
    return std::string("usage: tessary-cli ") + entry.words + " " + entry.usage + "\n";
}

// The usage lines of every subcommand whose words begin with `group` ("" for all of them).
std::string usage_lines(std::string_view group) {
    std::string out;
    for (const SubcommandEntry& entry : subcommands()) {
        if (std::string_view(entry.words).starts_with(group)) {
            out += (out.empty() ? "usage: " : "       ") + std::string("tessary-cli ") +
                   entry.words + " " + entry.usage + "\n";
        }
    }
    return out;
}

std::string program_usage() {
    return usage_lines("") + "       tessary-cli --help | --version\n";
}

std::string keys_group_help() {
    return usage_lines("keys ") +
           "\nThe keys of a database, read or added without a window. Each subcommand has its\n"
           "own --help.\n\n"
           "  list             prints the keys of the database, one per line\n"
           "  export           writes the keys to standard output as CSV or JSON\n"
           "  import           adds the keys of a CSV file to the database and saves it\n"
           "  --help           this text\n";
}

bool is_help(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

// Which subcommand the first words name; *at is set to the number of words it took.
const SubcommandEntry* find_subcommand(const std::vector<std::string>& args, size_t* at) {
    for (const SubcommandEntry& s : subcommands()) {
        std::string words = s.words;
        bool two = words.find(' ') != std::string::npos;
        std::string typed = two && args.size() >= 2 ? args[0] + " " + args[1] : args[0];
        if (typed == words) {
            *at = two ? 2 : 1;
            return &s;
        }
    }
    return nullptr;
}

// Options as the GNU tools take them: --opt=value or --opt value, and "--" ends the options.
// Only the subcommand's own options are known; anything else is refused by its name.
bool read_arguments(const SubcommandEntry& entry, const std::vector<std::string>& args, size_t at,
                    CliRequest& req, std::vector<std::string>& positional, std::string* error) {
    for (size_t i = at; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (is_help(a)) {
            req.help = true;
            return true;
        }
        if (a == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1,
                              args.end());
            return true;
        }
        if (a.size() < 2 || a[0] != '-') { // "-" alone is standard input
            positional.push_back(a);
            continue;
        }
        const size_t equals = a.find('=');
        const std::string name = a.substr(0, equals);
        auto option = std::find_if(entry.options.begin(), entry.options.end(),
                                   [&](const OptionEntry& o) { return name == o.name; });
        if (option == entry.options.end()) {
            *error = "unknown option '" + name + "'";
            return false;
        }
        if (option->flag) {
            if (equals != std::string::npos) {
                *error = name + " takes no value";
                return false;
            }
            req.*(option->flag) = true;
            continue;
        }
        if (equals == std::string::npos && i + 1 >= args.size()) {
            *error = name + " needs a value";
            return false;
        }
        const std::string value = equals == std::string::npos ? args[++i] : a.substr(equals + 1);
        if (!option->set_value(req, value, error)) {
            return false;
        }
    }
    return true;
}

// The rules between options and arguments; fills in the request's files and door.
bool check_request(const SubcommandEntry& entry, CliRequest& req,
                   std::vector<std::string>& positional, std::string* error) {
    const size_t count = positional.size();
    if (count < static_cast<size_t>(entry.min_args) ||
        count > static_cast<size_t>(entry.max_args)) {
        *error = count < static_cast<size_t>(entry.min_args) ? "missing arguments"
                                                             : "too many arguments";
        return false;
    }
    if (req.csv && req.json) {
        *error = "--csv and --json exclude each other";
        return false;
    }
    if (req.command == CliCommand::KeysImport && req.json) {
        *error = "keys import reads CSV only";
        return false;
    }
    if (req.keep_extras && req.delete_extras) {
        *error = "--keep-extras and --delete-extras exclude each other";
        return false;
    }
    if (req.port && !req.device.empty()) {
        *error = "--port and --device exclude each other";
        return false;
    }
    if (req.command == CliCommand::Door) {
        const std::string& door = positional[0];
        if (door != "A" && door != "B" && door != "a" && door != "b") {
            *error = "door needs A or B, not '" + door + "'";
            return false;
        }
        req.door = static_cast<char>(door[0] & ~0x20);
        positional.erase(positional.begin());
    }
    if (req.command == CliCommand::Clear && !req.yes) {
        *error = "clear empties the controller's key memory: give --yes to do it";
        return false;
    }
    if (!positional.empty()) {
        req.database = positional[0];
    }
    if (positional.size() > 1) {
        req.input = positional[1];
    }
    if (needs_controller(req.command) && req.database.empty() && !req.port && req.device.empty()) {
        *error = "say which controller: FILE.tsy, --port N or --device PATH";
        return false;
    }
    return true;
}

} // namespace

std::optional<int64_t> parse_cli_time(const std::string& text, int64_t now_ms) {
    if (text.size() >= 3 && text[0] == '-') {
        const std::string digits = text.substr(1, text.size() - 2);
        const char unit = text.back();
        const int64_t per = unit == 'd'   ? 86'400'000
                            : unit == 'h' ? 3'600'000
                            : unit == 'm' ? 60'000
                                          : 0;
        if (per == 0 || digits.size() > 6 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        return now_ms - std::stoll(digits) * per;
    }
    std::tm t{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &consumed) !=
            3 ||
        consumed != 10) {
        return std::nullopt;
    }
    if (text.size() > 10) {
        int more = 0;
        const char* rest = text.c_str() + 10;
        const int got =
            std::sscanf(rest, "T%2d:%2d%n:%2d%n", &t.tm_hour, &t.tm_min, &more, &t.tm_sec, &more);
        if (got < 2 || static_cast<size_t>(more) != text.size() - 10) {
            return std::nullopt;
        }
    }
    const int year = t.tm_year, month = t.tm_mon, day = t.tm_mday;
    if (month < 1 || month > 12 || day < 1 || day > 31 || t.tm_hour > 23 || t.tm_min > 59 ||
        t.tm_sec > 59) {
        return std::nullopt;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1; // the zone's rule on that day, summer or winter
    const std::time_t when = std::mktime(&t);
    if (when == -1 || t.tm_mday != day || t.tm_mon != month - 1 || t.tm_year != year - 1900) {
        return std::nullopt; // 2026-02-30 and the like
    }
    return static_cast<int64_t>(when) * 1000;
}

std::string help_text(CliCommand command) {
    if (command == CliCommand::Keys) {
        return keys_group_help();
    }
    for (const SubcommandEntry& entry : subcommands()) {
        if (entry.command == command) {
            std::string out = usage_of(entry) + "\n" + entry.help;
            if (needs_controller(command)) {
                out += std::string(out.ends_with("\n\n") ? "" : "\n") +
                       "The controller is the one on the database's COM port unless:\n" +
                       where_options;
            }
            return out + "  --help           this text\n";
        }
    }
    return program_usage() +
           "\nManages the keys of a Tessary database (.tsy) and its key controller from\n"
           "scripts and timers. Each subcommand has its own --help.\n\n"
           "Exit status: 0 done, 1 different (diff, sync), 2 trouble (diff), 64 usage error,\n"
           "65 unusable input file, 66 input file missing, 69 controller not answering or its\n"
           "port in use, 74 input/output error, 75 database open in a window (keys import),\n"
           "77 no permission for the device.\n";
}

ParsedCommandLine parse_command_line(const std::vector<std::string>& args) {
    ParsedCommandLine result;
    result.usage = program_usage();
    if (args.empty()) {
        result.error = "no subcommand given";
        return result;
    }
    if (is_help(args[0]) || args[0] == "help" || args[0] == "--version") {
        result.request = CliRequest{};
        result.request->command = args[0] == "--version" ? CliCommand::Version : CliCommand::Help;
        return result;
    }
    if (args[0] == "keys" && args.size() >= 2 && is_help(args[1])) {
        result.request = CliRequest{};
        result.request->command = CliCommand::Keys;
        result.request->help = true;
        return result;
    }
    size_t at = 0;
    const SubcommandEntry* entry = find_subcommand(args, &at);
    if (!entry) {
        result.error =
            args[0] == "keys" && args.size() < 2
                ? "keys needs one of list, export or import"
                : "unknown subcommand '" + args[0] + (args[0] == "keys" ? " " + args[1] : "") + "'";
        return result;
    }
    result.usage = usage_of(*entry);
    CliRequest req;
    req.command = entry->command;
    std::vector<std::string> positional;
    if (!read_arguments(*entry, args, at, req, positional, &result.error)) {
        return result;
    }
    if (!req.help && !check_request(*entry, req, positional, &result.error)) {
        return result;
    }
    result.request = req;
    return result;
}
