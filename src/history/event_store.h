// The event history of one database: every line its screen log took, kept in an SQLite file
// beside the database ("office.tsy" keeps "office.events.sqlite"), queried by time, key, text,
// kind and door a page at a time.
#pragma once

#include "history/event_kind.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct StoredEvent {
    int64_t id = 0;      // given by the store; 0 before it is stored
    int64_t time_ms = 0; // UTC, milliseconds since 1970
    std::optional<uint32_t> key;
    std::string name; // the key's name and memo in the database at the time
    std::string memo;
    EventKind kind = EventKind::Log;
    char door = 0; // 'A', 'B' or 0
    bool highlight = false;
    std::string text; // as the screen log showed it
};

struct EventFilter {
    std::optional<int64_t> since_ms; // from this time on
    std::optional<int64_t> until_ms; // before this time
    std::optional<uint32_t> key;
    // Found in the key number's six digits, the name or the memo, ignoring the case of A-Z.
    std::string text;
    std::vector<EventKind> kinds; // empty: every kind
    char door = 0;                // 'A', 'B' or 0 for either or none
};

// How a key was used: valid and master key reports.
struct KeyUsage {
    uint32_t key = 0;
    int64_t last_ms = 0; // the last use
    char last_door = 0;  // the door it opened then, if any
    int64_t uses = 0;
};

// Where a page ended: the next page starts after it.
struct EventCursor {
    int64_t time_ms = 0;
    int64_t id = 0;
};

// The time `months` calendar months before `now_ms` (UTC), at the same time of day; a day the
// month lacks becomes its last.
int64_t retention_cutoff_ms(int64_t now_ms, int months);

// "office.tsy" → "office.events.sqlite"; any other name gets ".events.sqlite" appended.
std::string history_path(const std::string& database_path);

class EventStore {
  public:
    // Opens the store at `path`, creating it (with the bits of the database beside it at most)
    // when `create` is set. A symbolic link is not followed. A store that is corrupt or written
    // by a newer version is opened read-only, with the reason in read_only_reason(). Null, with
    // the reason in *error, when it cannot be opened at all.
    static std::unique_ptr<EventStore> open(const std::string& path, bool create,
                                            const std::string& database_path, std::string* error);
    // A connection that only reads, for a window's queries: it waits at most busy_ms for
    // another process's write (a WAL reader is rarely kept waiting at all) and writes nothing,
    // not even the schema. Null, with the reason in *error, when the store cannot be opened.
    static std::unique_ptr<EventStore> open_reader(const std::string& path, int busy_ms,
                                                   std::string* error);
    // Caps the connection's page cache: a writer that only appends needs little of it, and a
    // service holds one writer per controller for months.
    void limit_cache(int kib);
    ~EventStore();
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    const std::string& path() const { return path_; }
    bool read_only() const { return !read_only_reason_.empty(); }
    const std::string& read_only_reason() const { return read_only_reason_; }
    // Whether this open made the store: it held no events before.
    bool created() const { return created_; }

    // Stores the events in one transaction; false, with the reason in *error, when it failed
    // (then none of them is stored).
    bool append(std::vector<StoredEvent>& events, std::string* error);
    // Newest first unless oldest_first; after `after` when given. At most `limit` events.
    std::vector<StoredEvent> page(const EventFilter& filter, size_t limit,
                                  const std::optional<EventCursor>& after = std::nullopt,
                                  bool oldest_first = false) const;
    int64_t count(const EventFilter& filter) const;
    // Whether an event of this time, key and text is stored already: an import of log files
    // stores no line twice.
    bool contains(int64_t time_ms, const std::optional<uint32_t>& key,
                  const std::string& text) const;
    // Each key used since the time (or ever), by key number.
    std::vector<KeyUsage> key_usage(const std::optional<int64_t>& since_ms) const;
    // Each key's last use ever, by key number, its uses not counted (left 0).
    std::vector<KeyUsage> last_uses() const;
    // The same for a line read back from a text log file: minute precision, trailing blanks
    // of the text cut, as a log file keeps them; a live event of that minute matches too.
    bool contains_line(int64_t minute_ms, const std::optional<uint32_t>& key,
                       const std::string& text) const;
    // Takes out of `lines` (read from log files) those that contains_line finds, all looked for
    // in one read of the store; the count taken out.
    int64_t drop_stored_lines(std::vector<StoredEvent>& lines) const;
    // Removes the events before the time and gives the space back; the count removed.
    int64_t prune_before(int64_t time_ms, std::string* error);
    // Any thread while the store is open: the statement running now (a long pruning, a query
    // whose answer is no longer wanted) ends early with an error.
    void interrupt() const;

    // How many months of events the store keeps; 0, the default, keeps all. Kept in the store
    // itself, so that every program that writes it keeps the same.
    static constexpr int max_retention_months = 1200;
    int retention_months() const;
    bool set_retention_months(int months, std::string* error);
    // When apply_retention last pruned, UTC milliseconds.
    std::optional<int64_t> last_pruned_ms() const;
    // Prunes what is older than the months to keep, at most once a day (a day after
    // last_pruned_ms); the count removed. *error is left empty when nothing failed.
    int64_t apply_retention(int64_t now_ms, std::string* error);

  private:
    EventStore(sqlite3* db, std::string path);
    bool prepare_schema(bool writable, std::string* error);
    std::vector<StoredEvent> merged_page(const std::vector<EventFilter>& parts, size_t limit,
                                         const std::optional<EventCursor>& after,
                                         bool oldest_first) const;
    std::vector<uint32_t> keys_with_text(const std::string& text) const;
    // The keys whose name, memo or number has the text; none when there are too many keys to
    // look through.
    std::optional<std::vector<uint32_t>> keys_of_text(const std::string& text) const;
    std::vector<KeyUsage> key_uses(const std::optional<int64_t>& since_ms, bool count_uses) const;
    bool keep_key_texts(uint32_t key, const std::string& name, const std::string& memo);
    std::optional<int64_t> setting(const char* name) const;
    bool set_setting(const char* name, int64_t value, std::string* error);
    bool erase_setting(const char* name);

    sqlite3* db_ = nullptr;
    std::string path_;
    std::string read_only_reason_;
    bool created_ = false;
    // Asked once a line by an import: prepared once.
    mutable sqlite3_stmt* line_query_ = nullptr;
    sqlite3_stmt* key_texts_insert_ = nullptr;
    // The keys' texts stored already, so that an event does not ask again.
    std::unordered_set<std::string> known_texts_;
};
