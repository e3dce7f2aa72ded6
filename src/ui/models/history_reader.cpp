#include "ui/models/history_reader.h"

#include "history/event_store.h"

namespace {

// A window's read gives way quickly to another process's write rather than freeze a view.
constexpr int reader_busy_ms = 100;

} // namespace

HistoryReader::HistoryReader(std::string path)
    : path_(std::move(path)), thread_([this] { run(); }) {}

HistoryReader::~HistoryReader() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        jobs_.clear();
        if (store_) {
            store_->interrupt();
        }
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryReader::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

void HistoryReader::cancel() {
    std::lock_guard lock(mutex_);
    jobs_.clear();
    if (store_) {
        store_->interrupt();
    }
}

void HistoryReader::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (stop_) {
            return;
        }
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        std::shared_ptr<EventStore> store = store_;
        lock.unlock();
        if (!store && !path_.empty()) {
            std::string error;
            store = EventStore::open_reader(path_, reader_busy_ms, &error);
            lock.lock();
            store_ = store;
            lock.unlock();
        }
        job(store.get());
        lock.lock();
    }
}
