#include "events/log_flusher.h"

LogFlusher::LogFlusher(std::chrono::milliseconds interval)
    // The first line is due at once: the interval counts from a flush, not from the start.
    : interval_(interval), last_flush_(std::chrono::steady_clock::now() - interval),
      thread_([this] { run(); }) {}

LogFlusher::~LogFlusher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void LogFlusher::written(std::shared_ptr<const File> file) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dirty_ == file) {
            return; // already waiting for its turn: no wake-up per line
        }
        if (dirty_) {
            retired_.push_back(std::move(dirty_));
        }
        dirty_ = std::move(file);
    }
    wake_.notify_one();
}

void LogFlusher::retire(std::shared_ptr<const File> file) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dirty_ == file) {
            dirty_.reset();
        }
        retired_.push_back(std::move(file));
    }
    wake_.notify_one();
}

void LogFlusher::wait_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (dirty_) {
        retired_.push_back(std::move(dirty_));
        dirty_.reset();
        wake_.notify_one();
    }
    idle_.wait(lock, [this] { return !busy_ && !dirty_ && retired_.empty(); });
}

void LogFlusher::flush_unlocked(std::unique_lock<std::mutex>& lock,
                                std::vector<std::shared_ptr<const File>> files) {
    busy_ = true;
    lock.unlock();
    for (const auto& f : files) {
        // A failure here has already shown itself, or will, in the writes of the lines.
        (void)f->flush();
        flushes_.fetch_add(1, std::memory_order_relaxed);
    }
    files.clear(); // a retired file closes here, off the user-interface thread
    lock.lock();
    busy_ = false;
}

void LogFlusher::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!retired_.empty()) {
            flush_unlocked(lock, std::move(retired_));
            retired_.clear();
            continue;
        }
        if (dirty_) {
            const auto now = std::chrono::steady_clock::now();
            const auto due = last_flush_ + interval_;
            if (stop_ || now >= due) {
                last_flush_ = now;
                std::vector<std::shared_ptr<const File>> files{std::move(dirty_)};
                dirty_.reset();
                flush_unlocked(lock, std::move(files));
                continue;
            }
            wake_.wait_until(lock, due);
            continue;
        }
        idle_.notify_all();
        if (stop_) {
            return;
        }
        wake_.wait(lock);
    }
}
