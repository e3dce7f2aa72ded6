#include "cli/events_commands.h"

#include "cli/database_input.h"
#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "core/text_encoding.h"
#include "database/csv.h"
#include "history/event_store.h"
#include "history/log_import.h"
#include "platform/file.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace {

constexpr size_t page_size = 1000;

std::string json_or_null(const std::string& text) {
    return text.empty() ? "null" : json_string(text);
}

} // namespace

std::string event_json(const StoredEvent& e, const std::string& more) {
    return "{\"time\": " + json_string(iso_local_time(e.time_ms)) +
           ", \"key\": " + json_or_null(event_key_text(e.key)) +
           ", \"name\": " + json_string(utf8_from_key_text(e.name)) +
           ", \"memo\": " + json_string(utf8_from_key_text(e.memo)) +
           ", \"kind\": " + json_string(event_kind_name(e.kind)) +
           ", \"door\": " + json_or_null(event_door_text(e.door)) +
           ", \"highlight\": " + (e.highlight ? "true" : "false") +
           ", \"text\": " + json_string(utf8_from_key_text(e.text)) + more + "}";
}

namespace {

void print_event(std::ostream& out, const StoredEvent& e, const CliRequest& req) {
    const std::string time = iso_local_time(e.time_ms);
    const std::string key = event_key_text(e.key);
    const std::string text = utf8_from_key_text(e.text);
    if (req.json) {
        out << event_json(e) << "\n";
    } else if (req.csv) {
        out << csv_field(time) << ',' << csv_field(key) << ',' << csv_field(event_kind_name(e.kind))
            << ',' << csv_field(event_door_text(e.door)) << ',' << csv_field(text) << "\r\n";
    } else {
        out << time << '\t' << key << '\t' << event_kind_name(e.kind) << '\t'
            << event_door_text(e.door) << '\t' << terminal_text(text) << '\n';
    }
}

// The filter of the request; false, with the reason in *error, for an unknown kind.
bool filter_of(const CliRequest& req, EventFilter& f, std::string* error) {
    f.since_ms = req.since_ms;
    f.until_ms = req.until_ms;
    f.key = req.key;
    f.text = req.text;
    f.door = req.door;
    std::stringstream kinds(req.kinds);
    std::string name;
    while (std::getline(kinds, name, ',')) {
        if (name.empty()) {
            continue;
        }
        std::optional<EventKind> kind = parse_event_kind(name);
        if (!kind) {
            *error = "--kind: unknown kind '" + name + "'";
            return false;
        }
        f.kinds.push_back(*kind);
    }
    return true;
}

// The store of the database, or null when it has none (then nothing is printed).
std::unique_ptr<EventStore> open_store(const CliRequest& req, std::ostream& err, int* status) {
    *status = ExitOk;
    const std::string path = history_path(req.database);
    if (!file_exists(req.database)) {
        err << "tessary-cli: " << req.database << ": no such file\n";
        *status = ExitNoInput;
        return nullptr;
    }
    if (!file_exists(path)) {
        return nullptr;
    }
    std::string error;
    std::unique_ptr<EventStore> store = EventStore::open(path, false, req.database, &error);
    if (!store) {
        err << "tessary-cli: " << path << ": " << error << "\n";
        *status = ExitDataError;
    }
    return store;
}

int list_events(const CliRequest& req, std::ostream& out, std::ostream& err) {
    EventFilter filter;
    std::string error;
    if (!filter_of(req, filter, &error)) {
        err << "tessary-cli: " << error << "\n";
        return ExitUsage;
    }
    int status = ExitOk;
    std::unique_ptr<EventStore> store = open_store(req, err, &status);
    if (!store) {
        return status;
    }
    if (req.csv) {
        out << "time,key,kind,door,text\r\n";
    }
    size_t left = req.limit ? *req.limit : SIZE_MAX;
    std::optional<EventCursor> after;
    while (left > 0) {
        std::vector<StoredEvent> page =
            store->page(filter, std::min(left, page_size), after, req.oldest_first);
        for (const StoredEvent& e : page) {
            print_event(out, e, req);
        }
        if (page.size() < std::min(left, page_size)) {
            break;
        }
        left -= page.size();
        after = EventCursor{page.back().time_ms, page.back().id};
    }
    return ExitOk;
}

int last_use(const CliRequest& req, std::ostream& out, std::ostream& err) {
    DatabaseContents db;
    if (int status = load_database_file(db, req.database, err)) {
        return status;
    }
    int status = ExitOk;
    std::unique_ptr<EventStore> store = open_store(req, err, &status);
    std::vector<KeyUsage> usage = store ? store->key_usage(req.since_ms) : std::vector<KeyUsage>{};
    const int64_t now = static_cast<int64_t>(std::time(nullptr)) * 1000;
    if (req.csv) {
        out << "key,name,last_use,door,uses\r\n";
    }
    for (const KeyRecord& record : db.keys) {
        const KeyRecord* k = &record;
        const uint32_t number = k->id.number & key_number_mask;
        // key_usage comes ordered by key: a search, not a scan per key of a large database.
        auto u = std::lower_bound(usage.begin(), usage.end(), number,
                                  [](const KeyUsage& x, uint32_t key) { return x.key < key; });
        const bool used = u != usage.end() && u->key == number;
        if (req.unused_days && used &&
            now - u->last_ms < static_cast<int64_t>(*req.unused_days) * 86'400'000) {
            continue;
        }
        const std::string key = event_key_text(number);
        const std::string name = utf8_from_key_text(k->name);
        const std::string when = used ? iso_local_time(u->last_ms) : std::string();
        const std::string door = used ? event_door_text(u->last_door) : std::string();
        const int64_t uses = used ? u->uses : 0;
        if (req.json) {
            out << "{\"key\": " << json_string(key) << ", \"name\": " << json_string(name)
                << ", \"last_use\": " << json_or_null(when) << ", \"door\": " << json_or_null(door)
                << ", \"uses\": " << uses << "}\n";
        } else if (req.csv) {
            out << csv_field(key) << ',' << csv_field(name) << ',' << csv_field(when) << ','
                << csv_field(door) << ',' << uses << "\r\n";
        } else {
            out << key << '\t' << terminal_text(name) << '\t' << when << '\t' << door << '\t'
                << uses << '\n';
        }
    }
    return status;
}

// The store of the database, made when it has none; null, with the status, when it cannot be
// written.
std::unique_ptr<EventStore> open_store_to_write(const CliRequest& req, std::ostream& err,
                                                int* status) {
    const std::string path = history_path(req.database);
    std::string error;
    std::unique_ptr<EventStore> store = EventStore::open(path, true, req.database, &error);
    if (!store || store->read_only()) {
        err << "tessary-cli: " << path << ": " << (store ? store->read_only_reason() : error)
            << "\n";
        *status = store ? ExitDataError : ExitIoError;
        return nullptr;
    }
    return store;
}

int import_logs(const CliRequest& req, std::ostream& out, std::ostream& err) {
    DatabaseContents db;
    if (int status = load_database_file(db, req.database, err)) {
        return status;
    }
    const std::string path = history_path(req.database);
    int status = ExitOk;
    std::unique_ptr<EventStore> store = open_store_to_write(req, err, &status);
    if (!store) {
        return status;
    }
    const LogImportResult r = import_log_files(*store, req.database, [&db](uint32_t key) {
        const KeyRecord* k = db.keys.row(db.keys.find(KeyId{0, key, 0}));
        return k ? std::pair(k->name, k->memo) : std::pair<std::string, std::string>();
    });
    out << r.imported << " events imported from " << r.files << " log file"
        << (r.files == 1 ? "" : "s") << ", " << r.already_stored << " already in the history\n";
    if (!r.error.empty()) {
        err << "tessary-cli: " << path << ": " << r.error << "\n";
        return ExitIoError;
    }
    return ExitOk;
}

std::string keeps_text(int months) {
    return months == 0 ? "The history keeps all events.\n"
                       : "The history keeps " + std::to_string(months) + " month" +
                             (months == 1 ? "" : "s") + " of events.\n";
}

int keep_events(const CliRequest& req, std::ostream& out, std::ostream& err) {
    if (!req.months) {
        int status = ExitOk;
        std::unique_ptr<EventStore> store = open_store(req, err, &status);
        if (status == ExitOk) {
            out << keeps_text(store ? store->retention_months() : 0);
        }
        return status;
    }
    if (!file_exists(req.database)) {
        err << "tessary-cli: " << req.database << ": no such file\n";
        return ExitNoInput;
    }
    const std::string path = history_path(req.database);
    int status = ExitOk;
    std::unique_ptr<EventStore> store = open_store_to_write(req, err, &status);
    if (!store) {
        return status;
    }
    std::string error;
    if (!store->set_retention_months(static_cast<int>(*req.months), &error)) {
        err << "tessary-cli: " << error << "\n";
        return *req.months > EventStore::max_retention_months ? ExitUsage : ExitIoError;
    }
    const int64_t removed =
        store->apply_retention(static_cast<int64_t>(std::time(nullptr)) * 1000, &error);
    out << keeps_text(store->retention_months()) << removed << " older event"
        << (removed == 1 ? "" : "s") << " removed\n";
    if (!error.empty()) {
        err << "tessary-cli: " << path << ": " << error << "\n";
        return ExitIoError;
    }
    return ExitOk;
}

} // namespace

std::string iso_local_time(int64_t utc_ms) {
    const std::time_t seconds = static_cast<std::time_t>(utc_ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const int offset = static_cast<int>(local.tm_gmtoff / 60) % (24 * 60);
    const int magnitude = offset < 0 ? -offset : offset;
    char zone[24];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return std::string(text) + zone;
}

int run_events_command(const CliRequest& req, std::ostream& out, std::ostream& err) {
    switch (req.command) {
    case CliCommand::EventsList:
        return list_events(req, out, err);
    case CliCommand::EventsImportLogs:
        return import_logs(req, out, err);
    case CliCommand::EventsKeep:
        return keep_events(req, out, err);
    default:
        return last_use(req, out, err);
    }
}
