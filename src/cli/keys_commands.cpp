#include "cli/keys_commands.h"

#include "cli/database_input.h"
#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "core/text_encoding.h"
#include "database/csv.h"
#include "database/database_backup.h"
#include "database/database_save.h"
#include "platform/file_lock.h"

namespace {

std::string day_or_empty(const std::optional<Day>& day) {
    return day ? day_text(*day) : std::string();
}

std::string json_day(const std::optional<Day>& day) {
    return day ? json_string(day_text(*day)) : "null";
}

// One line per key; control characters are escaped, so the columns stay apart and a name cannot
// steer the terminal.
void write_text_list(const DatabaseContents& db, std::ostream& out) {
    for (int row = 0; row < db.keys.size(); ++row) {
        const KeyRecord* k = db.keys.row(row);
        out << db.keys.cell_text(row, 0) << '\t' << terminal_text(utf8_from_key_text(k->name))
            << '\t' << terminal_text(utf8_from_key_text(k->memo)) << '\t'
            << terminal_text(utf8_from_key_text(k->free_field)) << '\t'
            << day_or_empty(k->valid_from) << '\t' << day_or_empty(k->valid_until) << '\n';
    }
}

void write_json_list(const DatabaseContents& db, std::ostream& out) {
    out << "[";
    for (int row = 0; row < db.keys.size(); ++row) {
        const KeyRecord* k = db.keys.row(row);
        out << (row == 0 ? "\n" : ",\n") << "  {\"key\": " << json_string(db.keys.cell_text(row, 0))
            << ", \"name\": " << json_string(utf8_from_key_text(k->name))
            << ", \"memo\": " << json_string(utf8_from_key_text(k->memo))
            << ", \"free\": " << json_string(utf8_from_key_text(k->free_field))
            << ", \"valid_from\": " << json_day(k->valid_from)
            << ", \"valid_until\": " << json_day(k->valid_until) << "}";
    }
    out << (db.keys.size() == 0 ? "]\n" : "\n]\n");
}

int import_keys(const CliRequest& req, DatabaseContents& db, std::ostream& out, std::ostream& err) {
    std::string text;
    if (int status = read_input_file(req.input, text, err)) {
        return status;
    }
    const std::string& name = req.input == "-" ? std::string("standard input") : req.input;
    CsvImportPlan plan = plan_csv_import(text, db.keys);
    if (!plan.header_error.empty()) {
        err << "tessary-cli: " << name << ": " << plan.header_error << "\n";
        return ExitDataError;
    }
    if (!plan.extra_columns.empty()) {
        err << "tessary-cli: " << name << ": columns ignored:";
        for (size_t i = 0; i < plan.extra_columns.size(); ++i) {
            err << (i ? ", " : " ") << terminal_text(utf8_from_key_text(plan.extra_columns[i]));
        }
        err << "\n";
    }
    for (const CsvBadRow& bad : plan.bad_rows) {
        err << name << ":" << bad.line << ": " << csv_bad_reason_text(bad.reason) << "\n";
    }
    if (!plan.bad_rows.empty() && !req.good_rows_only) {
        err << "tessary-cli: nothing imported: " << plan.bad_rows.size()
            << " bad row(s); give --good-rows-only to import the good rows only\n";
        return ExitDataError;
    }
    out << plan.new_keys << " new, " << plan.existing_keys << " already in the database ("
        << (req.update ? "updated" : "kept") << "), " << plan.bad_rows.size()
        << " bad row(s) left out" << (req.dry_run ? "; nothing saved (--dry-run)" : "") << "\n";
    if (req.dry_run || apply_csv_import(db.keys, plan, req.update) == 0) {
        return ExitOk;
    }
    // No window here: the window lines stay as the file had them.
    const SaveResult saved = save_database_file(db.keys, db.log, db.layout, req.database, true);
    if (std::optional<BackupResult> failed = take_backup_failure()) {
        err << "tessary-cli: " << req.database
            << ": no backup copy of the old file could be made: " << failed->reason << "\n";
    }
    if (!saved) {
        err << "tessary-cli: " << req.database << ": could not be saved"
            << (saved.old_file_changed ? "" : "; it is unchanged") << ": " << saved.reason()
            << "\n";
        return ExitIoError;
    }
    return ExitOk;
}

} // namespace

int run_keys_command(const CliRequest& req, std::ostream& out, std::ostream& err) {
    // An import writes the file: never under a window that has it open and would later save
    // its own copy over it. Taken before the read, so that the file cannot change in between.
    FileLock lock;
    if (req.command == CliCommand::KeysImport && !req.dry_run &&
        lock.acquire(req.database) == FileLock::Outcome::HeldElsewhere) {
        err << "tessary-cli: " << req.database << " is open in " << describe_holder(lock.holder())
            << "; close it there first. Nothing was imported.\n";
        return ExitTempFail;
    }
    DatabaseContents db;
    if (int status = load_database_file(db, req.database, err)) {
        return status;
    }
    switch (req.command) {
    case CliCommand::KeysList:
        if (req.csv) {
            out << keys_to_csv(db.keys);
        } else if (req.json) {
            write_json_list(db, out);
        } else {
            write_text_list(db, out);
        }
        return ExitOk;
    case CliCommand::KeysExport:
        if (req.json) {
            write_json_list(db, out);
        } else {
            out << keys_to_csv(db.keys);
        }
        return ExitOk;
    case CliCommand::KeysImport:
        return import_keys(req, db, out, err);
    default:
        return ExitUsage;
    }
}
