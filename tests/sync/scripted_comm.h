// Plays the comm thread and the controller for the synchronize operation without a port: it
// serves the read-out request with decoder calls and the key transfers with acknowledgements,
// as scripted, and ends like a comm thread when asked to stop.
#pragma once

#include "controller/link.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class ScriptedComm {
  public:
    enum class Readout { Keys, Silent, Ignore, Incomplete };

    explicit ScriptedComm(LinkContext& link) : link_(link) {}
    ~ScriptedComm() { stop(); }

    // Raises comm_active as start_comm_thread does, and serves until stop() or a stop request.
    void start() {
        link_.stop_requested.store(false);
        link_.comm_starts.fetch_add(1);
        link_.comm_active.store(true);
        link_.thread_done.store(false);
        finished_.store(false);
        thread_ = std::thread([this] { run(); });
    }
    // Once the thread has ended by itself (a stop request from the program), the link may
    // already be gone: then only the join is left.
    void stop() {
        if (thread_.joinable()) {
            if (!finished_.load()) {
                link_.stop_requested.store(true);
            }
            thread_.join();
        }
    }
    bool finished() const { return finished_.load(); }

    // Script, set before the run.
    Readout readout = Readout::Keys;
    std::vector<uint32_t> memory;       // read-out order: the master first
    std::set<uint32_t> refused;         // answered "?" (not counted)
    std::set<uint32_t> page_full_after; // a page-full report after this key's acknowledgement
    bool take_transfers = true;         // false: never loads a command (a silent controller)
    // Called (on this thread) when the read-out request has been taken.
    std::function<void()> on_readout_request;
    // Called before each key is loaded (on this thread), with the keys loaded so far.
    std::function<void(size_t)> before_key;

    // What was "sent": "s", "n00000b", "d000100" ...
    std::vector<std::string> sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }

  private:
    void run() {
        while (!link_.stop_requested.load()) {
            uint32_t bits = link_.request_bits.load();
            if (bits & request_readout) {
                link_.request_bits.fetch_and(~request_readout);
                record("s");
                if (on_readout_request) {
                    on_readout_request();
                }
                serve_readout();
            }
            int32_t remaining = link_.transfer_remaining.load(std::memory_order_acquire);
            if (take_transfers && remaining > 0) {
                serve_key(remaining);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        finished_.store(true);
        link_.comm_active.store(false, std::memory_order_release);
        link_.thread_done.store(true, std::memory_order_release);
    }

    void serve_readout() {
        EventRecord rec;
        KeyId zero;
        switch (readout) {
        case Readout::Ignore:
            return;
        case Readout::Silent:
            clear_event(rec);
            rec.no_response = true;
            decode_event(link_.decoder, rec, zero, zero);
            return;
        case Readout::Keys:
        case Readout::Incomplete:
            for (uint32_t k : memory) {
                clear_event(rec);
                rec.readout_key = true;
                decode_event(link_.decoder, rec, KeyId{0, k, 0}, zero);
            }
            if (readout == Readout::Incomplete) {
                clear_event(rec);
                rec.readout_incomplete = true;
                decode_event(link_.decoder, rec, zero, zero);
            }
            clear_event(rec);
            rec.readout_end = true;
            decode_event(link_.decoder, rec, zero, zero);
            return;
        }
    }

    void serve_key(int32_t remaining) {
        if (before_key) {
            before_key(loaded_);
        }
        bool add = link_.transfer_add.load();
        const KeyId* keys = link_.transfer_keys.load();
        --remaining;
        uint32_t number = keys[remaining].number; // read before the count frees the caller
        link_.transfer_remaining.store(remaining, std::memory_order_release);
        ++loaded_;
        char text[16];
        std::snprintf(text, sizeof text, "%c%06x", add ? 'n' : 'd', number & 0xffffff);
        record(text);
        if (!refused.count(number)) {
            link_.transfer_acked.fetch_add(1, std::memory_order_acq_rel);
        }
        if (page_full_after.count(number)) {
            EventRecord rec;
            rec.key_event = rec.key_valid = rec.key_master = true;
            rec.manual_add = rec.page_full = true;
            decode_event(link_.decoder, rec, KeyId{}, KeyId{});
        }
    }

    void record(const std::string& s) {
        std::lock_guard lock(mutex_);
        sent_.push_back(s);
    }

    LinkContext& link_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::mutex mutex_;
    std::vector<std::string> sent_;
    size_t loaded_ = 0;
};
