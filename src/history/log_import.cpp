#include "history/log_import.h"

#include "events/log_file.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace {

constexpr size_t import_batch = 10000;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    while (!s.empty() && s.front() == ' ') {
        s.remove_prefix(1);
    }
    return s;
}

// The log files of a database: the rotated ones (any order: each line has its own time), then
// the current one.
std::vector<std::string> log_files_of(const std::string& database_path) {
    namespace fs = std::filesystem;
    const fs::path current = log_file_name(database_path);
    const std::string stem = current.stem().string() + "-upto-";
    const fs::path folder = current.parent_path();
    std::vector<std::string> files;
    std::error_code ec;
    for (const fs::directory_entry& e :
         fs::directory_iterator(folder.empty() ? fs::path(".") : folder, ec)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with(stem) && name.ends_with(".log") && e.is_regular_file(ec)) {
            files.push_back((folder / name).string());
        }
    }
    std::sort(files.begin(), files.end());
    if (fs::is_regular_file(current, ec)) {
        files.push_back(current.string());
    }
    return files;
}

// The zone's rule is looked up once an hour of lines rather than once a line: mktime reads the
// zone's file each time. The offsets of (nearly) every zone change on the hour.
std::time_t local_minute(std::tm t) {
    struct Hour {
        int year = -1, month = 0, day = 0, hour = 0;
        std::time_t start = -1;
    };
    thread_local Hour last;
    const int minute = t.tm_min;
    if (t.tm_year != last.year || t.tm_mon != last.month || t.tm_mday != last.day ||
        t.tm_hour != last.hour || minute < 0 || minute > 59) {
        std::tm h = t;
        h.tm_min = 0;
        h.tm_sec = 0;
        h.tm_isdst = -1;
        last = {t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, std::mktime(&h)};
    }
    return last.start == -1 ? -1 : last.start + minute * 60;
}

} // namespace

std::optional<StoredEvent> parse_log_file_line(std::string_view line, LineClassifier& classifier) {
    std::tm t{};
    int used = 0;
    const std::string head(line.substr(0, log_time_width));
    if (std::sscanf(head.c_str(), "%d/%d/%d %d:%d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &used) != 5 ||
        line.size() < log_time_width) {
        return std::nullopt;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    const std::time_t when = local_minute(t);
    if (when == -1) {
        return std::nullopt;
    }
    StoredEvent e;
    e.time_ms = static_cast<int64_t>(when) * 1000;
    const std::string_view rest = line.substr(log_time_width);
    const std::string_view key = trimmed(rest.substr(0, std::min(rest.size(), log_key_width)));
    const std::string_view text =
        trimmed(rest.size() > log_key_width ? rest.substr(log_key_width) : std::string_view());
    e.text = std::string(text);
    const LineMeaning m = classifier.classify(e.text);
    e.kind = m.kind;
    e.door = m.door;
    e.key = key_of_line(key);
    return e;
}

namespace {

struct LogFilePart {
    std::string path;
    int64_t size = 0; // read this far
};

std::vector<LogFilePart> parts_to_read(const std::string& database_path,
                                       std::optional<int64_t> current_log_size) {
    std::vector<LogFilePart> parts;
    const std::string current = log_file_name(database_path);
    for (std::string& path : log_files_of(database_path)) {
        std::error_code ec;
        const auto size = static_cast<int64_t>(std::filesystem::file_size(path, ec));
        if (ec) {
            continue;
        }
        const bool cut = current_log_size && path == current;
        parts.push_back({std::move(path), cut ? std::min(size, *current_log_size) : size});
    }
    return parts;
}

} // namespace

LogImportResult import_log_files(EventStore& store, const std::string& database_path,
                                 const KeyTextsLookup& key_texts, const ImportProgress& progress,
                                 std::optional<int64_t> current_log_size) {
    LogImportResult result;
    const std::vector<LogFilePart> parts = parts_to_read(database_path, current_log_size);
    int64_t total = 0;
    for (const LogFilePart& p : parts) {
        total += p.size;
    }
    int64_t done = 0;
    std::vector<StoredEvent> batch;
    auto write = [&](int64_t read) {
        result.already_stored += store.drop_stored_lines(batch);
        if (!batch.empty() && !store.append(batch, &result.error)) {
            return false;
        }
        result.imported += static_cast<int64_t>(batch.size());
        batch.clear();
        return !progress || progress(read, total);
    };
    for (const LogFilePart& part : parts) {
        std::ifstream in(part.path, std::ios::binary);
        LineClassifier classifier;
        std::optional<uint32_t> last_key;
        std::string line;
        int64_t at = 0;
        while (at < part.size && std::getline(in, line)) {
            at += static_cast<int64_t>(line.size()) + 1;
            std::optional<StoredEvent> e = parse_log_file_line(line, classifier);
            if (!e) {
                continue;
            }
            if (e->text.rfind("Memo: \"", 0) == 0 && !e->key) {
                e->key = last_key;
            }
            last_key = e->key;
            if (e->key && key_texts) {
                std::tie(e->name, e->memo) = key_texts(*e->key);
            }
            batch.push_back(std::move(*e));
            if (batch.size() >= import_batch && !write(done + at)) {
                return result;
            }
        }
        ++result.files;
        done += part.size;
        if (!write(done)) {
            return result;
        }
    }
    return result;
}
