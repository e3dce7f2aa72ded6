// Puts the log file's lines on the disk away from the user-interface thread. Each line is
// written at once (a crash of the program loses none); only the wait for the disk is moved here,
// at most once per interval while lines keep coming, and promptly for a file the logger let go
// of (end of log, rotation), so that nothing written stays unflushed.
#pragma once

#include "platform/file.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class LogFlusher {
  public:
    explicit LogFlusher(std::chrono::milliseconds interval = std::chrono::seconds(1));
    ~LogFlusher(); // flushes what is outstanding first
    LogFlusher(const LogFlusher&) = delete;
    LogFlusher& operator=(const LogFlusher&) = delete;

    // Lines were written to file.
    void written(std::shared_ptr<const File> file);
    // The writer is done with file: it is flushed soon and closed with its last owner.
    void retire(std::shared_ptr<const File> file);
    // Returns once every line handed over so far is on the disk.
    void wait_idle();
    uint64_t flush_count() const { return flushes_.load(std::memory_order_relaxed); }

  private:
    void run();
    void flush_unlocked(std::unique_lock<std::mutex>& lock,
                        std::vector<std::shared_ptr<const File>> files);

    const std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::shared_ptr<const File> dirty_;
    std::vector<std::shared_ptr<const File>> retired_;
    std::chrono::steady_clock::time_point last_flush_;
    bool busy_ = false;
    bool stop_ = false;
    std::atomic<uint64_t> flushes_{0};
    std::thread thread_; // last: started once the rest is built
};
