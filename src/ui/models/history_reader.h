// Queries of the event history on a thread of their own, each reader with its own read-only
// connection: a count over millions of events, a key usage or an export never holds up the
// user-interface thread, and a newer question drops the older ones still waiting and cuts the
// running one short.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class EventStore;

class HistoryReader {
  public:
    // The store is opened by the reader's thread when its first job runs, and again by a later
    // job while it cannot be (a history not yet made).
    explicit HistoryReader(std::string path);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // Runs on the reader's thread, with the store or null when it cannot be opened; the job
    // posts its answer back to the user-interface thread itself.
    using Job = std::function<void(const EventStore* store)>;
    void post(Job job);
    // Drops the jobs still waiting and interrupts the one running.
    void cancel();

  private:
    void run();

    std::string path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::shared_ptr<EventStore> store_; // opened and used by the thread; interrupted under mutex_
    bool stop_ = false;
    std::thread thread_;
};
