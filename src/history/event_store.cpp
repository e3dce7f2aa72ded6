#include "history/event_store.h"

#include "platform/file.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string_view>

#include <fcntl.h>

#include <chrono>

namespace {

constexpr int schema_version = 3;

const char* const schema =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY,"
    " time_ms INTEGER NOT NULL,"
    " key INTEGER,"
    " name TEXT NOT NULL DEFAULT '',"
    " memo TEXT NOT NULL DEFAULT '',"
    " kind INTEGER NOT NULL,"
    " door INTEGER NOT NULL DEFAULT 0,"
    " highlight INTEGER NOT NULL DEFAULT 0,"
    " text TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_by_time ON events(time_ms, id);"
    // Only the events with a key: a third of them have none. The kind and door make it
    // cover a key's uses, counted without reading the events themselves.
    "CREATE INDEX IF NOT EXISTS events_by_key ON events(key, time_ms, kind, door) "
    "WHERE key IS NOT NULL;"
    // The rarer kinds: the common ones are found soon enough in time order.
    "CREATE INDEX IF NOT EXISTS events_by_rare_kind ON events(kind, time_ms, "
    "id) WHERE kind >= 4;"
    // Every key with a name or memo it had: a text is looked for here
    // first, and then only among the events of the keys found.
    "CREATE TABLE IF NOT EXISTS key_texts ("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " memo TEXT NOT NULL,"
    " PRIMARY KEY (key, name, memo)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS settings ("
    " name TEXT PRIMARY KEY,"
    " value INTEGER NOT NULL);";

// The first version had an index of every event by key, and no table of key texts; the second
// an index by key that did not hold the kind and door.
const char* const upgrade_index_by_key = "DROP INDEX IF EXISTS events_by_key;";
const char* const fill_key_texts =
    "INSERT OR IGNORE INTO key_texts SELECT DISTINCT key, name, memo "
    "FROM events WHERE key IS NOT NULL AND (name != '' OR memo != '');";

// The kinds of events_by_rare_kind.
constexpr int first_rare_kind = static_cast<int>(EventKind::Penalty);

// A text matching more keys than this is looked for in time order.
constexpr size_t max_merged_keys = 256;

constexpr int64_t day_ms = 24LL * 60 * 60 * 1000;

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
            stmt_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) {
        return true;
    }
    if (error) {
        *error = message ? message : sqlite3_errmsg(db);
    }
    sqlite3_free(message);
    return false;
}

std::string like_pattern(const std::string& text) {
    std::string p = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') {
            p += '\\';
        }
        p += c;
    }
    return p + "%";
}

// The WHERE clause of a filter and its values, bound in order.
struct Where {
    std::string sql;
    std::vector<int64_t> numbers; // bound first, in the order of their ? marks
    std::string pattern;          // then the text, three times, when there is one

    void add(const std::string& condition) {
        sql += (sql.empty() ? " WHERE " : " AND ") + condition;
    }
};

Where where_of(const EventFilter& f, const std::optional<EventCursor>& after, bool oldest_first) {
    Where w;
    if (f.since_ms) {
        w.add("time_ms >= ?");
        w.numbers.push_back(*f.since_ms);
    }
    if (f.until_ms) {
        w.add("time_ms < ?");
        w.numbers.push_back(*f.until_ms);
    }
    if (f.key) {
        w.add("key = ?");
        w.numbers.push_back(*f.key);
    }
    if (!f.kinds.empty()) {
        std::string in;
        for (EventKind k : f.kinds) {
            in += in.empty() ? "?" : ", ?";
            w.numbers.push_back(static_cast<int64_t>(k));
        }
        w.add("kind IN (" + in + ")");
        if (std::all_of(f.kinds.begin(), f.kinds.end(),
                        [](EventKind k) { return static_cast<int>(k) >= first_rare_kind; })) {
            // The very terms of the partial index, so that it serves the query.
            w.add("kind >= " + std::to_string(first_rare_kind));
        }
    }
    if (f.door) {
        w.add("door = ?");
        w.numbers.push_back(f.door);
    }
    if (after) {
        w.add(oldest_first ? "(time_ms > ? OR (time_ms = ? AND id > ?))"
                           : "(time_ms < ? OR (time_ms = ? AND id < ?))");
        w.numbers.insert(w.numbers.end(), {after->time_ms, after->time_ms, after->id});
    }
    if (!f.text.empty()) {
        w.add("(printf('%06x', key) LIKE ? ESCAPE '\\' OR name LIKE ? ESCAPE '\\' OR memo LIKE ? "
              "ESCAPE '\\')");
        w.pattern = like_pattern(f.text);
    }
    return w;
}

int bind(sqlite3_stmt* stmt, const Where& w) {
    int i = 1;
    for (int64_t n : w.numbers) {
        sqlite3_bind_int64(stmt, i++, n);
    }
    if (!w.pattern.empty()) {
        for (int k = 0; k < 3; ++k) {
            sqlite3_bind_text(stmt, i++, w.pattern.c_str(), -1, SQLITE_TRANSIENT);
        }
    }
    return i;
}

std::string column_text(sqlite3_stmt* stmt, int column) {
    const unsigned char* t = sqlite3_column_text(stmt, column);
    return t ? reinterpret_cast<const char*>(t) : std::string();
}

StoredEvent event_row(sqlite3_stmt* stmt) {
    StoredEvent e;
    e.id = sqlite3_column_int64(stmt, 0);
    e.time_ms = sqlite3_column_int64(stmt, 1);
    if (sqlite3_column_type(stmt, 2) != SQLITE_NULL) {
        e.key = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
    }
    e.name = column_text(stmt, 3);
    e.memo = column_text(stmt, 4);
    const int kind = sqlite3_column_int(stmt, 5);
    e.kind = kind >= 0 && kind < event_kind_count ? static_cast<EventKind>(kind) : EventKind::Log;
    e.door = static_cast<char>(sqlite3_column_int(stmt, 6));
    e.highlight = sqlite3_column_int(stmt, 7) != 0;
    e.text = column_text(stmt, 8);
    return e;
}

// Whether the filter's text is looked for among the keys first: in key_texts for names and memos,
// and, when it is made of hex digits, in the keys' numbers too.
bool text_of_keys(const EventFilter& f) {
    return !f.text.empty() && !f.key;
}

bool hex_digits(const std::string& text) {
    return text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// A hex text is looked for in the numbers of at most this many keys, each a step in the index of
// keys; a store of more keys looks for it in time order.
constexpr size_t max_numbered_keys = 20'000;

} // namespace

std::string history_path(const std::string& database_path) {
    std::string base = database_path;
    const size_t slash = base.rfind('/');
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        base.erase(dot);
    }
    return base + ".events.sqlite";
}

EventStore::EventStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

EventStore::~EventStore() {
    sqlite3_finalize(line_query_);
    sqlite3_finalize(key_texts_insert_);
    sqlite3_close(db_);
}

std::unique_ptr<EventStore> EventStore::open(const std::string& path, bool create,
                                             const std::string& database_path, std::string* error) {
    if (create) {
        // Made here rather than by SQLite, so that it is never wider than the database and a
        // name planted in its place is refused.
        File made = File::open_beside(path, O_RDWR | O_CREAT, mode_beside(database_path));
        if (!made.is_open()) {
            *error = made.open_error().message();
            return nullptr;
        }
    }
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    bool writable = rc == SQLITE_OK;
    if (!writable) {
        sqlite3_close(db);
        db = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    }
    if (rc != SQLITE_OK) {
        *error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<EventStore> store(new EventStore(db, path));
    // A long write of another process waits this long before a write of ours gives up; the
    // writer is never the user-interface thread.
    sqlite3_busy_timeout(db, 2000);
    std::string reason;
    if (!store->prepare_schema(writable, &reason)) {
        store->read_only_reason_ = reason.empty() ? "it cannot be written" : reason;
    }
    return store;
}

void EventStore::limit_cache(int kib) {
    std::string ignored;
    // A cache left at its default is only less frugal, never wrong.
    (void)exec(db_, ("PRAGMA cache_size=-" + std::to_string(kib)).c_str(), &ignored);
}

bool EventStore::prepare_schema(bool writable, std::string* error) {
    int found = 0;
    {
        // Finished before the journal mode changes, which no open statement may straddle.
        Statement version(db_, "PRAGMA user_version");
        if (!version || sqlite3_step(version.get()) != SQLITE_ROW) {
            *error = std::string("it is damaged: ") + sqlite3_errmsg(db_);
            return false;
        }
        found = sqlite3_column_int(version.get(), 0);
    }
    if (found > schema_version) {
        *error = "it was written by a newer version of Tessary";
        return false;
    }
    if (!writable) {
        *error = "it may not be written";
        return false;
    }
    if (found > 0 && found < schema_version && !exec(db_, upgrade_index_by_key, error)) {
        *error = "it is damaged: " + *error;
        return false;
    }
    // The schema's statements write nothing to a store that has it: another process's long
    // write must not make a store in use read-only. Nor must the version, written only once.
    // In a WAL journal a commit survives a kill without waiting for the disk; only a power cut
    // may take the last ones.
    if (!exec(db_, "PRAGMA journal_mode=WAL", error) ||
        !exec(db_, "PRAGMA synchronous=NORMAL", error) || !exec(db_, schema, error) ||
        (found == 1 && !exec(db_, fill_key_texts, error)) ||
        (found != schema_version &&
         !exec(db_, ("PRAGMA user_version=" + std::to_string(schema_version)).c_str(), error))) {
        *error = "it is damaged: " + *error;
        return false;
    }
    created_ = found == 0;
    return true;
}

bool EventStore::append(std::vector<StoredEvent>& events, std::string* error) {
    if (read_only()) {
        *error = read_only_reason_;
        return false;
    }
    if (!exec(db_, "BEGIN IMMEDIATE", error)) {
        return false;
    }
    Statement insert(db_, "INSERT INTO events(time_ms, key, name, memo, kind, door, highlight, "
                          "text) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    bool ok = static_cast<bool>(insert);
    for (StoredEvent& e : events) {
        if (!ok) {
            break;
        }
        sqlite3_stmt* s = insert.get();
        sqlite3_bind_int64(s, 1, e.time_ms);
        if (e.key) {
            sqlite3_bind_int64(s, 2, *e.key);
        } else {
            sqlite3_bind_null(s, 2);
        }
        sqlite3_bind_text(s, 3, e.name.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(s, 4, e.memo.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(s, 5, static_cast<int>(e.kind));
        sqlite3_bind_int(s, 6, e.door);
        sqlite3_bind_int(s, 7, e.highlight ? 1 : 0);
        sqlite3_bind_text(s, 8, e.text.c_str(), -1, SQLITE_STATIC);
        ok = sqlite3_step(s) == SQLITE_DONE;
        e.id = sqlite3_last_insert_rowid(db_);
        sqlite3_reset(s);
        ok = ok && (!e.key || (e.name.empty() && e.memo.empty()) ||
                    keep_key_texts(*e.key, e.name, e.memo));
    }
    if (!ok || !exec(db_, "COMMIT", error)) {
        if (!ok) {
            *error = sqlite3_errmsg(db_);
        }
        exec(db_, "ROLLBACK", nullptr);
        // What the cache says is stored may have gone with the transaction.
        known_texts_.clear();
        return false;
    }
    return true;
}

std::vector<StoredEvent> EventStore::page(const EventFilter& filter, size_t limit,
                                          const std::optional<EventCursor>& after,
                                          bool oldest_first) const {
    std::vector<EventFilter> parts;
    std::optional<std::vector<uint32_t>> keys;
    if (text_of_keys(filter) && (keys = keys_of_text(filter.text))) {
        if (keys->empty()) {
            return {};
        }
        if (keys->size() <= max_merged_keys) {
            for (uint32_t k : *keys) {
                parts.push_back(filter);
                parts.back().key = k;
            }
        }
    } else if (filter.kinds.size() > 1 &&
               std::all_of(filter.kinds.begin(), filter.kinds.end(),
                           [](EventKind k) { return static_cast<int>(k) >= first_rare_kind; })) {
        for (EventKind k : filter.kinds) {
            parts.push_back(filter);
            parts.back().kinds = {k};
        }
    }
    if (parts.empty()) {
        parts.push_back(filter);
    }
    return merged_page(parts, limit, after, oldest_first);
}

// Each part is read in the order of its own index, and the parts merged a row at a time: no
// part is read much past the page, however many events it holds.
std::vector<StoredEvent> EventStore::merged_page(const std::vector<EventFilter>& parts,
                                                 size_t limit,
                                                 const std::optional<EventCursor>& after,
                                                 bool oldest_first) const {
    const char* order = oldest_first ? " ORDER BY time_ms, id" : " ORDER BY time_ms DESC, id DESC";
    std::vector<std::unique_ptr<Statement>> queries;
    std::vector<StoredEvent> heads;
    auto step = [&](size_t i) {
        if (sqlite3_step(queries[i]->get()) == SQLITE_ROW) {
            heads[i] = event_row(queries[i]->get());
        } else {
            heads[i].id = 0;
        }
    };
    for (const EventFilter& part : parts) {
        const Where w = where_of(part, after, oldest_first);
        queries.push_back(std::make_unique<Statement>(
            db_, "SELECT id, time_ms, key, name, memo, kind, door, highlight, text FROM events" +
                     w.sql + order + " LIMIT ?"));
        heads.emplace_back();
        if (!*queries.back()) {
            return {};
        }
        const int next = bind(queries.back()->get(), w);
        sqlite3_bind_int64(queries.back()->get(), next, static_cast<int64_t>(limit));
        step(queries.size() - 1);
    }
    auto before = [oldest_first](const StoredEvent& a, const StoredEvent& b) {
        const bool earlier = a.time_ms < b.time_ms || (a.time_ms == b.time_ms && a.id < b.id);
        return oldest_first ? earlier : !earlier;
    };
    std::vector<StoredEvent> out;
    while (out.size() < limit) {
        size_t best = heads.size();
        for (size_t i = 0; i < heads.size(); ++i) {
            if (heads[i].id != 0 && (best == heads.size() || before(heads[i], heads[best]))) {
                best = i;
            }
        }
        if (best == heads.size()) {
            break;
        }
        out.push_back(std::move(heads[best]));
        step(best);
    }
    return out;
}

std::vector<uint32_t> EventStore::keys_with_text(const std::string& text) const {
    Statement q(db_, "SELECT DISTINCT key FROM key_texts WHERE name LIKE ?1 ESCAPE '\\' OR memo "
                     "LIKE ?1 ESCAPE '\\'");
    std::vector<uint32_t> keys;
    if (!q) {
        return keys;
    }
    const std::string pattern = like_pattern(text);
    sqlite3_bind_text(q.get(), 1, pattern.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(q.get()) == SQLITE_ROW) {
        keys.push_back(static_cast<uint32_t>(sqlite3_column_int64(q.get(), 0)));
    }
    return keys;
}

std::optional<std::vector<uint32_t>> EventStore::keys_of_text(const std::string& text) const {
    std::vector<uint32_t> keys = keys_with_text(text);
    if (!hex_digits(text)) {
        return keys;
    }
    std::string digits = text;
    std::transform(digits.begin(), digits.end(), digits.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    Statement next(db_, "SELECT key FROM events WHERE key > ? ORDER BY key LIMIT 1");
    if (!next) {
        return std::nullopt;
    }
    int64_t key = -1;
    for (size_t seen = 0;; ++seen) {
        sqlite3_bind_int64(next.get(), 1, key);
        const int rc = sqlite3_step(next.get());
        key = rc == SQLITE_ROW ? sqlite3_column_int64(next.get(), 0) : key;
        sqlite3_reset(next.get());
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW || seen == max_numbered_keys) {
            return std::nullopt;
        }
        char number[16];
        std::snprintf(number, sizeof number, "%06llx", static_cast<long long>(key));
        if (std::string_view(number).find(digits) != std::string_view::npos) {
            keys.push_back(static_cast<uint32_t>(key));
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

bool EventStore::keep_key_texts(uint32_t key, const std::string& name, const std::string& memo) {
    std::string known = std::to_string(key) + '\0' + name + '\0' + memo;
    if (known_texts_.count(known)) {
        return true;
    }
    if (!key_texts_insert_ &&
        sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO key_texts(key, name, memo) VALUES(?, ?, ?)",
                           -1, &key_texts_insert_, nullptr) != SQLITE_OK) {
        key_texts_insert_ = nullptr;
        return false;
    }
    sqlite3_stmt* s = key_texts_insert_;
    sqlite3_bind_int64(s, 1, key);
    sqlite3_bind_text(s, 2, name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 3, memo.c_str(), -1, SQLITE_STATIC);
    const bool ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    if (ok) {
        known_texts_.insert(std::move(known));
    }
    return ok;
}

int64_t EventStore::count(const EventFilter& filter) const {
    Where w = where_of(filter, std::nullopt, false);
    std::optional<std::vector<uint32_t>> keys;
    if (text_of_keys(filter) && (keys = keys_of_text(filter.text))) {
        // Counted among the events of the keys that had the text, by the index of keys.
        std::string in;
        for (uint32_t k : *keys) {
            in += (in.empty() ? "" : ", ") + std::to_string(k);
        }
        if (in.empty()) {
            return 0;
        }
        w.add("key IN (" + in + ")");
    }
    Statement q(db_, "SELECT count(*) FROM events" + w.sql);
    if (!q) {
        return 0;
    }
    bind(q.get(), w);
    return sqlite3_step(q.get()) == SQLITE_ROW ? sqlite3_column_int64(q.get(), 0) : 0;
}

bool EventStore::contains(int64_t time_ms, const std::optional<uint32_t>& key,
                          const std::string& text) const {
    Statement q(db_, "SELECT 1 FROM events WHERE time_ms = ? AND key IS ? AND text = ? LIMIT 1");
    if (!q) {
        return false;
    }
    sqlite3_bind_int64(q.get(), 1, time_ms);
    if (key) {
        sqlite3_bind_int64(q.get(), 2, *key);
    } else {
        sqlite3_bind_null(q.get(), 2);
    }
    sqlite3_bind_text(q.get(), 3, text.c_str(), -1, SQLITE_STATIC);
    return sqlite3_step(q.get()) == SQLITE_ROW;
}

int64_t EventStore::prune_before(int64_t time_ms, std::string* error) {
    if (read_only()) {
        *error = read_only_reason_;
        return 0;
    }
    Statement del(db_, "DELETE FROM events WHERE time_ms < ?");
    if (!del) {
        *error = sqlite3_errmsg(db_);
        return 0;
    }
    sqlite3_bind_int64(del.get(), 1, time_ms);
    if (sqlite3_step(del.get()) != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return 0;
    }
    const int64_t removed = sqlite3_changes(db_);
    if (removed > 0) {
        exec(db_, "VACUUM", error);
    }
    return removed;
}

std::optional<int64_t> EventStore::setting(const char* name) const {
    Statement get(db_, "SELECT value FROM settings WHERE name = ?");
    if (!get) {
        return std::nullopt; // a store read-only from before the table was known
    }
    sqlite3_bind_text(get.get(), 1, name, -1, SQLITE_STATIC);
    if (sqlite3_step(get.get()) != SQLITE_ROW) {
        return std::nullopt;
    }
    return sqlite3_column_int64(get.get(), 0);
}

bool EventStore::set_setting(const char* name, int64_t value, std::string* error) {
    if (read_only()) {
        *error = read_only_reason_;
        return false;
    }
    Statement put(db_, "INSERT OR REPLACE INTO settings(name, value) VALUES(?, ?)");
    if (!put) {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_text(put.get(), 1, name, -1, SQLITE_STATIC);
    sqlite3_bind_int64(put.get(), 2, value);
    if (sqlite3_step(put.get()) != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

int EventStore::retention_months() const {
    return static_cast<int>(setting("retention_months").value_or(0));
}

bool EventStore::set_retention_months(int months, std::string* error) {
    if (months < 0 || months > max_retention_months) {
        *error = "the months to keep must be 0 to " + std::to_string(max_retention_months);
        return false;
    }
    // A shorter period takes effect at once rather than up to a day later.
    return set_setting("retention_months", months, error) && erase_setting("last_pruned_ms");
}

bool EventStore::erase_setting(const char* name) {
    Statement del(db_, "DELETE FROM settings WHERE name = ?");
    if (!del) {
        return false;
    }
    sqlite3_bind_text(del.get(), 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(del.get()) == SQLITE_DONE;
}

std::optional<int64_t> EventStore::last_pruned_ms() const {
    return setting("last_pruned_ms");
}

int64_t retention_cutoff_ms(int64_t now_ms, int months) {
    using namespace std::chrono;
    const sys_days today = floor<days>(sys_time<milliseconds>(milliseconds(now_ms)));
    const milliseconds time_of_day = milliseconds(now_ms) - today.time_since_epoch();
    year_month_day date{today};
    date -= std::chrono::months(months);
    if (!date.ok()) {
        date = date.year() / date.month() / last; // 31 March less one month: 28 or 29 February
    }
    return (sys_days(date).time_since_epoch() + time_of_day).count();
}

int64_t EventStore::apply_retention(int64_t now_ms, std::string* error) {
    error->clear();
    const int months = retention_months();
    if (months == 0 || read_only()) {
        return 0;
    }
    const std::optional<int64_t> last = last_pruned_ms();
    // Once a day: a clock set back does not hold the next pruning off for long.
    if (last && now_ms >= *last && now_ms - *last < day_ms) {
        return 0;
    }
    const int64_t removed = prune_before(retention_cutoff_ms(now_ms, months), error);
    if (!error->empty()) {
        return removed;
    }
    set_setting("last_pruned_ms", now_ms, error);
    return removed;
}

std::vector<KeyUsage> EventStore::key_usage(const std::optional<int64_t>& since_ms) const {
    return key_uses(since_ms, true);
}

std::vector<KeyUsage> EventStore::last_uses() const {
    return key_uses(std::nullopt, false);
}

// Key by key, each in its own part of events_by_key, which holds the kind and door: the last use
// is found from the key's newest event back, and the uses are counted without reading an event.
// A scan of every event grouped by key took most of a minute at ten million events.
std::vector<KeyUsage> EventStore::key_uses(const std::optional<int64_t>& since_ms,
                                           bool count_uses) const {
    const std::string uses_of_key = "key = ?1 AND time_ms >= ?2 AND kind IN (" +
                                    std::to_string(static_cast<int>(EventKind::ValidKey)) + ", " +
                                    std::to_string(static_cast<int>(EventKind::MasterKey)) + ")";
    Statement next(db_, "SELECT key FROM events WHERE key > ? ORDER BY key LIMIT 1");
    Statement last(db_, "SELECT time_ms, door FROM events WHERE " + uses_of_key +
                            " ORDER BY time_ms DESC LIMIT 1");
    Statement uses(db_, "SELECT count(*) FROM events WHERE " + uses_of_key);
    std::vector<KeyUsage> out;
    if (!next || !last || !uses) {
        return out;
    }
    // One read of the store: each query on its own would lock and unlock the file.
    const bool read = exec(db_, "BEGIN", nullptr);
    const int64_t since = since_ms.value_or(std::numeric_limits<int64_t>::min());
    int64_t key = -1;
    for (;;) {
        sqlite3_bind_int64(next.get(), 1, key);
        const bool found = sqlite3_step(next.get()) == SQLITE_ROW;
        key = found ? sqlite3_column_int64(next.get(), 0) : key;
        sqlite3_reset(next.get());
        if (!found) {
            break;
        }
        sqlite3_bind_int64(last.get(), 1, key);
        sqlite3_bind_int64(last.get(), 2, since);
        if (sqlite3_step(last.get()) == SQLITE_ROW) {
            KeyUsage u;
            u.key = static_cast<uint32_t>(key);
            u.last_ms = sqlite3_column_int64(last.get(), 0);
            u.last_door = static_cast<char>(sqlite3_column_int(last.get(), 1));
            if (count_uses) {
                sqlite3_bind_int64(uses.get(), 1, key);
                sqlite3_bind_int64(uses.get(), 2, since);
                u.uses = sqlite3_step(uses.get()) == SQLITE_ROW
                             ? sqlite3_column_int64(uses.get(), 0)
                             : 0;
                sqlite3_reset(uses.get());
            }
            out.push_back(u);
        }
        sqlite3_reset(last.get());
    }
    if (read) {
        exec(db_, "COMMIT", nullptr);
    }
    return out;
}

bool EventStore::contains_line(int64_t minute_ms, const std::optional<uint32_t>& key,
                               const std::string& text) const {
    if (!line_query_ &&
        sqlite3_prepare_v2(db_,
                           "SELECT 1 FROM events WHERE time_ms >= ? AND time_ms < ? AND key IS ? "
                           "AND rtrim(text) = ? LIMIT 1",
                           -1, &line_query_, nullptr) != SQLITE_OK) {
        line_query_ = nullptr;
        return false;
    }
    sqlite3_stmt* q = line_query_;
    sqlite3_bind_int64(q, 1, minute_ms);
    sqlite3_bind_int64(q, 2, minute_ms + 60'000);
    if (key) {
        sqlite3_bind_int64(q, 3, *key);
    } else {
        sqlite3_bind_null(q, 3);
    }
    sqlite3_bind_text(q, 4, text.c_str(), -1, SQLITE_STATIC);
    const bool found = sqlite3_step(q) == SQLITE_ROW;
    sqlite3_reset(q);
    return found;
}

int64_t EventStore::drop_stored_lines(std::vector<StoredEvent>& lines) const {
    // One read transaction: each query on its own would lock and unlock the file.
    const bool read = exec(db_, "BEGIN", nullptr);
    const auto kept = std::remove_if(lines.begin(), lines.end(), [this](const StoredEvent& e) {
        return contains_line(e.time_ms, e.key, e.text);
    });
    const auto dropped = static_cast<int64_t>(lines.end() - kept);
    lines.erase(kept, lines.end());
    if (read) {
        exec(db_, "COMMIT", nullptr);
    }
    return dropped;
}

void EventStore::interrupt() const {
    sqlite3_interrupt(db_);
}

std::unique_ptr<EventStore> EventStore::open_reader(const std::string& path, int busy_ms,
                                                    std::string* error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) !=
        SQLITE_OK) {
        *error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<EventStore> store(new EventStore(db, path));
    sqlite3_busy_timeout(db, busy_ms);
    store->read_only_reason_ = "it is open for reading";
    return store;
}
