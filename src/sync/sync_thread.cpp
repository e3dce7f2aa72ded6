#include "sync/sync_thread.h"

SyncThread::SyncThread(Link& link, KeyDatabase& key_database, KeyList& controller_keys,
                       SyncObserver* observer)
    : ctx_(link, key_database, controller_keys, observer) {}

SyncThread::~SyncThread() {
    shut_down();
}

bool SyncThread::start(std::function<void(SyncResult)> done) {
    return launch([this](KeyDifference&) { return synchronize_keys(ctx_); },
                  [done = std::move(done)](SyncResult result, const KeyDifference&) {
                      if (done) {
                          done(result);
                      }
                  });
}

bool SyncThread::start_compare(std::function<void(SyncResult, const KeyDifference&)> done) {
    return launch([this](KeyDifference& diff) { return compare_with_controller(ctx_, diff); },
                  std::move(done));
}

bool SyncThread::launch(std::function<SyncResult(KeyDifference&)> body,
                        std::function<void(SyncResult, const KeyDifference&)> done) {
    if (shut_ || running()) {
        return false;
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            return false; // asked from the last run's own `done`: it cannot wait for itself
        }
        thread_.join(); // finished: `done` is its last act
    }
    done_.store(false, std::memory_order_release);
    thread_ = std::thread([this, body = std::move(body), done = std::move(done)] {
        KeyDifference diff;
        SyncResult result = body(diff);
        last_result_.store(result, std::memory_order_release);
        // Whoever hears `done` may start the next run at once: the run is over before it is told.
        done_.store(true, std::memory_order_release);
        if (done) {
            done(result, diff);
        }
    });
    return true;
}

void SyncThread::shut_down() {
    shut_ = true;
    if (!thread_.joinable()) {
        return;
    }
    if (running()) {
        ask_stop_and_wait(
            ctx_.host,
            [this] {
                ctx_.cancel.store(true, std::memory_order_release);
                // A transfer's loading wait ends only with the comm thread (a silent controller
                // never takes the next command); every other wait of the run looks at the
                // cancel flag when the link wakes it.
                ctx_.link.notify_change();
                ctx_.link.stop();
            },
            [this] { return !running(); }, std::nullopt);
    }
    thread_.join();
}
