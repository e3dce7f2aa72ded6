#include "cli/cli.h"

#include "cli/database_input.h"
#include "cli/events_commands.h"
#include "cli/exit_codes.h"
#include "cli/keys_commands.h"
#include "cli/service_route.h"

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            ControllerSeam& controller) {
    ParsedCommandLine parsed = parse_command_line(args);
    if (!parsed.request) {
        err << "tessary-cli: " << parsed.error << "\n" << parsed.usage;
        return ExitUsage;
    }
    const CliRequest& req = *parsed.request;
    if (req.help || req.command == CliCommand::Help) {
        out << help_text(req.command);
        return ExitOk;
    }
    switch (req.command) {
    case CliCommand::Version:
        out << "tessary-cli " << TESSARY_VERSION << "\n";
        return ExitOk;
    case CliCommand::KeysList:
    case CliCommand::KeysExport:
    case CliCommand::KeysImport:
        return run_keys_command(req, out, err);
    case CliCommand::EventsList:
    case CliCommand::EventsLastUse:
    case CliCommand::EventsImportLogs:
    case CliCommand::EventsKeep:
        return run_events_command(req, out, err);
    case CliCommand::Status:
        return run_status(req, out, err);
    default:
        break;
    }
    // The controller subcommands: the database (when given) is loaded here, so that a missing
    // or unusable file is reported the same way for every subcommand.
    KeyDatabase db;
    if (!req.database.empty()) {
        DatabaseContents contents;
        if (int status = load_database_file(contents, req.database, err)) {
            return status;
        }
        db.keys = std::move(contents.keys);
        db.log = contents.log;
    }
    return controller.run(req, req.database.empty() ? nullptr : &db, out, err);
}
