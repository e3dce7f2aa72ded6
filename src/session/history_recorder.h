// Keeps every line a session's screen log takes in the event history beside its database. The
// lines are gathered on the user-interface thread and written by a thread of their own in one
// transaction a second at most, so that a slow disk or another process's long write never holds
// up the window, and a kill loses at most the last second. That thread also opens the store, and
// fills a store it has just made from the database's log files, and prunes it to the months it
// keeps, when opened and once a day by the recorder's clock.
#pragma once

#include "history/event_store.h"
#include "session/session_observer.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A key's name and memo in the database now.
struct KeyTexts {
    std::string name;
    std::string memo;
};

class HistoryRecorder final : public SessionObserver {
  public:
    using Poster = std::function<void(std::function<void()>)>;

    // database_path: the database whose history is kept (user-interface thread, asked before
    // every line, so that an open or a Save As moves the history with the database); empty
    // while the database has no file, when nothing is kept. key_texts: the name and memo of a
    // key number. failed: told once a store on the user-interface thread why the history cannot
    // be written. post_to_ui: runs a call on the user-interface thread later; without it, what
    // the writer has to tell waits for the next line or flush(). filling: while a store just
    // made is filled from the log files, the percent done, on the user-interface thread; 100
    // once at the end.
    HistoryRecorder(std::function<std::string()> database_path,
                    std::function<KeyTexts(uint32_t key)> key_texts,
                    std::function<void(const std::string& path, const std::string& reason)> failed,
                    Poster post_to_ui = {}, std::function<void(int percent)> filling = {});
    // Writes what is gathered and ends the writer: a fill from the log files stops at its next
    // batch, a pruning at once, a store locked by another process is waited for as long as its
    // busy time-out.
    ~HistoryRecorder() override;
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    void report(const LogRow& row) override;
    // Writes what is gathered now and waits until it is written (tests, a tool's end): never
    // the user-interface thread of a window, as a fill from the log files may take a while.
    void flush();

    // The time the next event is given, UTC milliseconds; tests put in their own clock.
    std::function<int64_t()> now_ms;
    // Told on the user-interface thread of each event kept, before it is written (its id is
    // still 0): a window showing the history puts it at the top at once.
    std::function<void(const StoredEvent&)> on_event;

  private:
    // Lines for one database, in the order taken.
    struct Batch {
        std::string path;
        int64_t log_size = -1; // the current log file's size when the database was taken up
        int64_t taken_ms = 0;  // when the first of it was taken
        std::vector<StoredEvent> events;
    };

    void follow_database();
    void tell_pending();
    void run();
    void write_pending(std::unique_lock<std::mutex>& lock);
    bool open_store(const std::string& path);
    bool append(std::vector<StoredEvent>& events);
    void fill_from_logs(const std::string& path, int64_t log_size);
    bool write_live(const std::string& path);
    void keep_retention(const Batch& b);
    void tell(std::function<void()> call);

    std::function<std::string()> database_path_;
    std::function<KeyTexts(uint32_t)> key_texts_;
    std::function<void(const std::string&, const std::string&)> failed_;
    Poster post_to_ui_;
    std::function<void(int)> filling_;
    // False once the recorder is going: calls posted before do nothing.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);

    // User-interface thread.
    std::string path_; // the database whose history is kept
    LineClassifier classifier_;
    std::optional<uint32_t> last_key_; // a memo line belongs to the key line before it

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<Batch> pending_;
    size_t waiting_ = 0;                                        // events in pending_
    std::vector<std::pair<std::string, std::string>> failures_; // to be told: path, reason
    std::vector<int> percents_;                                 // to be told
    uint64_t queued_ = 0;                                       // flushes asked for, and done
    uint64_t done_ = 0;
    bool flush_now_ = false;
    bool stop_ = false;

    // Writer thread.
    std::unique_ptr<EventStore> store_;
    std::string store_path_;
    bool store_failure_told_ = false;
    int64_t next_retention_ms_ = 0; // when the months to keep are looked at again
    EventStore* pruning_ = nullptr; // under mutex_: the store being pruned, which a stop ends

    std::thread writer_;
};
