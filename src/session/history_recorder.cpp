#include "session/history_recorder.h"

#include <chrono>

namespace {

constexpr auto batch_interval = std::chrono::seconds(1);
constexpr size_t max_waiting_events = 100000;

int64_t utc_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

HistoryRecorder::HistoryRecorder(
    std::function<std::string()> database_path, std::function<KeyTexts(uint32_t key)> key_texts,
    std::function<void(const std::string& path, const std::string& reason)> failed)
    : now_ms(utc_now_ms), database_path_(std::move(database_path)),
      key_texts_(std::move(key_texts)), failed_(std::move(failed)), writer_([this] { run(); }) {}

HistoryRecorder::~HistoryRecorder() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

void HistoryRecorder::follow_database() {
    const std::string path = database_path_ ? database_path_() : std::string();
    if (path == path_) {
        return;
    }
    flush();
    path_ = path;
    std::shared_ptr<EventStore> store;
    std::string error;
    if (!path.empty()) {
        store = EventStore::open(history_path(path), true, path, &error);
        if (!store || store->read_only()) {
            const std::string reason = store ? store->read_only_reason() : error;
            if (failed_) {
                failed_(history_path(path), reason);
            }
            store.reset();
        }
    }
    std::lock_guard lock(mutex_);
    store_ = std::move(store);
    failure_.clear();
    failure_told_ = false;
}

void HistoryRecorder::report(const LogRow& row) {
    follow_database();
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
    std::string failure;
    bool kept = false;
    if (on_event) {
        std::lock_guard lock(mutex_);
        kept = store_ != nullptr;
    }
    if (kept) {
        on_event(e);
    }
    {
        std::lock_guard lock(mutex_);
        if (store_) {
            pending_.push_back(std::move(e));
        }
        failure = failure_;
    }
    if (!failure.empty() && !failure_told_) {
        failure_told_ = true;
        if (failed_) {
            failed_(history_path(path_), failure);
        }
    }
}

void HistoryRecorder::flush() {
    std::unique_lock lock(mutex_);
    const uint64_t wanted = ++queued_;
    flush_now_ = true;
    wake_.notify_all();
    written_.wait(lock, [&] { return done_ >= wanted || stop_; });
}

void HistoryRecorder::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, batch_interval, [&] { return stop_ || flush_now_; });
        write_batch(lock);
        if (stop_) {
            break;
        }
    }
}

void HistoryRecorder::write_batch(std::unique_lock<std::mutex>& lock) {
    std::vector<StoredEvent> batch;
    batch.swap(pending_);
    std::shared_ptr<EventStore> store = store_;
    const uint64_t asked = queued_;
    flush_now_ = false;
    if (store && !batch.empty()) {
        lock.unlock();
        std::string error;
        const bool ok = store->append(batch, &error);
        lock.lock();
        if (!ok) {
            if (failure_.empty()) {
                failure_ = error;
            }
            // Tried again with the next batch (a long write of another process ends), up to a
            // bound that a store that stays unwritable cannot fill memory past.
            if (pending_.size() + batch.size() <= max_waiting_events) {
                batch.insert(batch.end(), std::make_move_iterator(pending_.begin()),
                             std::make_move_iterator(pending_.end()));
                pending_.swap(batch);
            }
        }
    }
    done_ = asked;
    written_.notify_all();
}
