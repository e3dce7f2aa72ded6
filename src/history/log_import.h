// Fills the event history from the database's text log files: the current one and the ones
// rotated aside ("-upto-" names). The files hold the minute of each line, not the second.
#pragma once

#include "history/event_store.h"

#include <functional>
#include <string>

struct LogImportResult {
    int files = 0;
    int64_t imported = 0;
    int64_t already_stored = 0; // lines the store held already: never stored twice
    std::string error;          // why the import stopped; empty when it went through
};

// The key's name and memo to store with its events; may be empty.
using KeyTextsLookup = std::function<std::pair<std::string, std::string>(uint32_t key)>;
// Told after each batch written with the bytes read of all the files and their sum; false
// stops the import.
using ImportProgress = std::function<bool(int64_t done, int64_t total)>;

// current_log_size: read the current log file only this far, when its later lines are stored
// by whoever records them live.
LogImportResult import_log_files(EventStore& store, const std::string& database_path,
                                 const KeyTextsLookup& key_texts = {},
                                 const ImportProgress& progress = {},
                                 std::optional<int64_t> current_log_size = std::nullopt);

// One line of a log file as the store keeps it, or none for a line that is not one.
std::optional<StoredEvent> parse_log_file_line(std::string_view line, LineClassifier& classifier);
