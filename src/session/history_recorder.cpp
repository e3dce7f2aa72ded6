#include "session/history_recorder.h"

#include "events/log_file.h"
#include "history/log_import.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace {

constexpr auto batch_interval = std::chrono::seconds(1);
constexpr size_t max_waiting_events = 100000;

int64_t utc_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The lines the log file holds already when the history of its database is taken up: a store
// made then is filled from them, and the later ones come live.
int64_t current_log_size(const std::string& database_path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(log_file_name(database_path), ec);
    return ec ? 0 : static_cast<int64_t>(size);
}

} // namespace

HistoryRecorder::HistoryRecorder(
    std::function<std::string()> database_path, std::function<KeyTexts(uint32_t key)> key_texts,
    std::function<void(const std::string& path, const std::string& reason)> failed,
    Poster post_to_ui, std::function<void(int percent)> filling)
    : now_ms(utc_now_ms), database_path_(std::move(database_path)),
      key_texts_(std::move(key_texts)), failed_(std::move(failed)),
      post_to_ui_(std::move(post_to_ui)), filling_(std::move(filling)), writer_([this] { run(); }) {
}

HistoryRecorder::~HistoryRecorder() {
    alive_->store(false);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        // A pruning of months of events, with the space given back, may take minutes: it is done
        // another day.
        if (pruning_) {
            pruning_->interrupt();
        }
    }
    wake_.notify_all();
    writer_.join();
}

void HistoryRecorder::follow_database() {
    const std::string path = database_path_ ? database_path_() : std::string();
    if (path == path_) {
        return;
    }
    path_ = path;
    Batch b;
    b.path = path;
    b.log_size = path.empty() ? 0 : current_log_size(path);
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(b));
}

void HistoryRecorder::report(const LogRow& row) {
    follow_database();
    tell_pending();
    if (path_.empty()) {
        return;
    }
    StoredEvent e;
    e.time_ms = now_ms();
    const LineMeaning meaning = classifier_.classify(row.event_text);
    e.kind = meaning.kind;
    e.door = meaning.door;
    e.highlight = row.highlight;
    e.text = row.event_text;
    const bool memo_line = row.key_text.empty() && row.event_text.rfind("Memo: \"", 0) == 0;
    e.key = memo_line ? last_key_ : key_of_line(row.key_text);
    if (!memo_line) {
        last_key_ = e.key;
    }
    if (e.key && key_texts_) {
        KeyTexts texts = key_texts_(*e.key);
        e.name = std::move(texts.name);
        e.memo = std::move(texts.memo);
    }
    if (on_event) {
        on_event(e);
    }
    std::lock_guard lock(mutex_);
    // A store that stays unwritable cannot fill memory past the bound.
    if (waiting_ >= max_waiting_events) {
        return;
    }
    if (pending_.empty() || pending_.back().path != path_) {
        pending_.push_back(Batch{path_, -1, e.time_ms, {}});
    }
    Batch& b = pending_.back();
    b.taken_ms = b.taken_ms ? b.taken_ms : e.time_ms;
    b.events.push_back(std::move(e));
    ++waiting_;
}

void HistoryRecorder::flush() {
    {
        std::unique_lock lock(mutex_);
        const uint64_t wanted = ++queued_;
        flush_now_ = true;
        wake_.notify_all();
        written_.wait(lock, [&] { return done_ >= wanted || stop_; });
    }
    tell_pending();
}

void HistoryRecorder::tell_pending() {
    std::vector<std::pair<std::string, std::string>> failures;
    std::vector<int> percents;
    {
        std::lock_guard lock(mutex_);
        failures.swap(failures_);
        percents.swap(percents_);
    }
    for (const auto& [path, reason] : failures) {
        if (failed_) {
            failed_(path, reason);
        }
    }
    for (int percent : percents) {
        if (filling_) {
            filling_(percent);
        }
    }
}

// Writer thread, without the lock.
void HistoryRecorder::tell(std::function<void()> queue) {
    {
        std::lock_guard lock(mutex_);
        queue();
    }
    if (post_to_ui_) {
        post_to_ui_([this, alive = alive_] {
            if (alive->load()) {
                tell_pending();
            }
        });
    }
}

void HistoryRecorder::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, batch_interval, [&] { return stop_ || flush_now_; });
        const uint64_t asked = queued_;
        flush_now_ = false;
        write_pending(lock);
        done_ = asked;
        written_.notify_all();
        if (stop_) {
            break;
        }
    }
}

void HistoryRecorder::write_pending(std::unique_lock<std::mutex>& lock) {
    while (!pending_.empty()) {
        Batch b = std::move(pending_.front());
        pending_.pop_front();
        waiting_ -= b.events.size();
        lock.unlock();
        const bool made = b.path != store_path_ && open_store(b.path);
        const bool ok = append(b.events);
        if (ok && made) {
            fill_from_logs(b.path, b.log_size);
        }
        if (ok) {
            keep_retention(b);
        }
        lock.lock();
        if (!ok) {
            // Tried again with the next batch: a long write of another process ends, a full
            // disk gets room.
            if (waiting_ + b.events.size() <= max_waiting_events) {
                waiting_ += b.events.size();
                pending_.push_front(std::move(b));
            }
            return;
        }
    }
}

namespace {

// Enough for the pages an append touches (the table's last leaf, the index's) many times over.
constexpr int recorder_cache_kib = 256;

} // namespace

// True when the store was made now, empty.
bool HistoryRecorder::open_store(const std::string& path) {
    store_.reset();
    store_path_ = path;
    store_failure_told_ = false;
    next_retention_ms_ = 0;
    if (path.empty()) {
        return false;
    }
    std::string error;
    std::unique_ptr<EventStore> store = EventStore::open(history_path(path), true, path, &error);
    if (!store || store->read_only()) {
        const std::string reason = store ? store->read_only_reason() : error;
        store_failure_told_ = true;
        tell([&] { failures_.emplace_back(history_path(path), reason); });
        return false;
    }
    store_ = std::move(store);
    store_->limit_cache(recorder_cache_kib);
    return store_->created();
}

// False when the events are to be tried again.
bool HistoryRecorder::append(std::vector<StoredEvent>& events) {
    if (!store_ || events.empty()) {
        return true;
    }
    std::string error;
    if (store_->append(events, &error)) {
        return true;
    }
    if (!store_failure_told_) {
        store_failure_told_ = true;
        tell([&] { failures_.emplace_back(store_->path(), error); });
    }
    return false;
}

void HistoryRecorder::fill_from_logs(const std::string& path, int64_t log_size) {
    using clock = std::chrono::steady_clock;
    auto written = clock::now();
    int told = -1;
    auto progress = [&](int64_t done, int64_t total) {
        const int percent = total > 0 ? std::min(static_cast<int>(done * 100 / total), 99) : 99;
        if (percent != told) {
            told = percent;
            tell([&] { percents_.push_back(percent); });
        }
        // The live lines go on being written, each second as ever.
        if (clock::now() - written >= batch_interval) {
            written = clock::now();
            return write_live(path);
        }
        std::lock_guard lock(mutex_);
        return !stop_;
    };
    import_log_files(*store_, path, {}, progress, log_size);
    if (told >= 0) {
        tell([&] { percents_.push_back(100); });
    }
}

// Writes the live lines gathered for the store being filled; false once the recorder stops.
bool HistoryRecorder::write_live(const std::string& path) {
    std::vector<StoredEvent> events;
    {
        std::lock_guard lock(mutex_);
        if (stop_) {
            return false;
        }
        if (pending_.empty() || pending_.front().path != path) {
            return true;
        }
        events.swap(pending_.front().events);
        waiting_ -= events.size();
    }
    if (!append(events)) {
        std::lock_guard lock(mutex_);
        auto& front = pending_.empty() || pending_.front().path != path
                          ? pending_.emplace_front(Batch{path, -1, 0, {}})
                          : pending_.front();
        front.events.insert(front.events.begin(), std::make_move_iterator(events.begin()),
                            std::make_move_iterator(events.end()));
        waiting_ += events.size();
    }
    return true;
}

// The store itself says how many months it keeps and when it last pruned: looked at here once a
// day, by the time of the lines, so that a clock of the tests' own drives it too.
void HistoryRecorder::keep_retention(const Batch& b) {
    constexpr int64_t day_ms = 86'400'000;
    const int64_t now = b.events.empty() ? b.taken_ms : b.events.back().time_ms;
    if (!store_ || now < next_retention_ms_) {
        return;
    }
    next_retention_ms_ = now + day_ms;
    {
        std::lock_guard lock(mutex_);
        if (stop_) {
            return;
        }
        pruning_ = store_.get();
    }
    std::string error;
    store_->apply_retention(now, &error);
    {
        std::lock_guard lock(mutex_);
        pruning_ = nullptr;
        if (stop_) {
            return;
        }
    }
    if (!error.empty() && !store_failure_told_) {
        store_failure_told_ = true;
        tell([&] { failures_.emplace_back(store_->path(), error); });
    }
}
