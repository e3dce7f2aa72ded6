#include "sync/sync_thread.h"

SyncThread::SyncThread(Link& link, KeyDatabase& key_database, KeyList& controller_keys,
                       SyncObserver* observer)
    : ctx_(link, key_database, controller_keys, observer) {}

SyncThread::~SyncThread() {
    shut_down();
}

bool SyncThread::start(std::function<void(SyncResult)> done) {
    return launch([this, done = std::move(done)] {
        SyncResult result = synchronize_keys(ctx_);
        if (done) {
            done(result);
        }
        return result;
    });
}

bool SyncThread::start_compare(std::function<void(SyncResult, const KeyDifference&)> done) {
    return launch([this, done = std::move(done)] {
        KeyDifference diff;
        SyncResult result = compare_with_controller(ctx_, diff);
        if (done) {
            done(result, diff);
        }
        return result;
    });
}

bool SyncThread::launch(std::function<SyncResult()> body) {
    if (shut_ || running()) {
        return false;
    }
    if (thread_.joinable()) {
        thread_.join(); // finished: done_ is its last store
    }
    done_.store(false, std::memory_order_release);
    thread_ = std::thread([this, body = std::move(body)] {
        SyncResult result = body();
        last_result_.store(result, std::memory_order_release);
        done_.store(true, std::memory_order_release);
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
