// Keeps every line a session's screen log takes in the event history beside its database. The
// lines are gathered on the user-interface thread and written by a thread of their own in one
// transaction a second at most, so that a slow disk or another process's long write never holds
// up the window, and a kill loses at most the last second.
#pragma once

#include "history/event_store.h"
#include "session/session_observer.h"

#include <condition_variable>
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
    // database_path: the database whose history is kept (user-interface thread, asked before
    // every line, so that an open or a Save As moves the history with the database); empty
    // while the database has no file, when nothing is kept. key_texts: the name and memo of a
    // key number. failed: told once on the user-interface thread why the history cannot be
    // written.
    HistoryRecorder(std::function<std::string()> database_path,
                    std::function<KeyTexts(uint32_t key)> key_texts,
                    std::function<void(const std::string& path, const std::string& reason)> failed);
    // Writes what is gathered and ends the writer.
    ~HistoryRecorder() override;
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    void report(const LogRow& row) override;
    // Writes what is gathered now and waits until it is written (tests, a stop).
    void flush();

    // The time the next event is given, UTC milliseconds; tests put in their own clock.
    std::function<int64_t()> now_ms;
    // Told on the user-interface thread of each event kept, before it is written (its id is
    // still 0): a window showing the history puts it at the top at once.
    std::function<void(const StoredEvent&)> on_event;

  private:
    void follow_database();
    void run();
    void write_batch(std::unique_lock<std::mutex>& lock);

    std::function<std::string()> database_path_;
    std::function<KeyTexts(uint32_t)> key_texts_;
    std::function<void(const std::string&, const std::string&)> failed_;

    // User-interface thread.
    std::string path_; // the database whose history is open
    LineClassifier classifier_;
    std::optional<uint32_t> last_key_; // a memo line belongs to the key line before it
    bool failure_told_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::shared_ptr<EventStore> store_; // under mutex_; the writer's copy is taken under it
    std::vector<StoredEvent> pending_;
    std::string failure_; // set by the writer, told by the user-interface thread
    uint64_t queued_ = 0; // batches asked for, and written
    uint64_t done_ = 0;
    bool flush_now_ = false;
    bool stop_ = false;
    std::thread writer_;
};
