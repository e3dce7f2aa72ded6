// The synchronize thread's owner. Nothing waits for a run while the program runs; only when the
// window goes away does shut_down end it and wait, so that the thread never outlives the lists,
// the link and the host it uses.
#pragma once

#include "sync/synchronize.h"

#include <atomic>
#include <functional>
#include <thread>

class SyncThread {
  public:
    SyncThread(Link& link, KeyDatabase& key_database, KeyList& controller_keys,
               SyncObserver* observer);
    // Calls shut_down. Owners whose window dies before this object must call it themselves
    // while the window still exists.
    ~SyncThread();
    SyncThread(const SyncThread&) = delete;
    SyncThread& operator=(const SyncThread&) = delete;

    // User-interface thread: starts a run and returns at once. False, and nothing started,
    // while an earlier run is still going: two runs would share the one transfer slot of the
    // link. A second click can arrive before the running thread has greyed the command.
    // `done`, when given, is called on the thread as its last act with the run's result, after
    // running() has turned false.
    bool start(std::function<void(SyncResult)> done = {});
    // User-interface thread: reads the controller back on the thread (compare_with_controller)
    // instead of a run; `done` is called on that thread as its last act, with the result and the
    // difference found. False, and nothing started, while a run or a comparison is going: both
    // use the one read-out.
    bool start_compare(std::function<void(SyncResult, const KeyDifference&)> done);
    bool running() const { return !done_.load(std::memory_order_acquire); }

    // User-interface thread, when the window is closing: asks a running thread to end, stops
    // the comm thread if a transfer may be waiting on it, and waits for the end while still
    // serving the thread's run_on_ui calls. Afterwards start() starts nothing.
    void shut_down();

    SyncContext& context() { return ctx_; }
    // The result of the last finished run (for tests and the demo).
    SyncResult last_result() const { return last_result_.load(std::memory_order_acquire); }

  private:
    bool launch(std::function<SyncResult(KeyDifference&)> body,
                std::function<void(SyncResult, const KeyDifference&)> done);

    SyncContext ctx_;
    std::thread thread_;
    std::atomic<bool> done_{true};
    std::atomic<SyncResult> last_result_{SyncResult::Done};
    bool shut_ = false;
};
