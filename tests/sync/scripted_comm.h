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

    explicit ScriptedComm(Link& link) : link_(link) {}
    ~ScriptedComm() { stop(); }

    // Runs as the link's comm thread, and serves until stop() or a stop request.
    void start() {
        finished_.store(false);
        started_ = true;
        link_.start([this](LinkShared& shared) { run(shared); });
    }
    // Once the thread has ended by itself (a stop request from the program), the link may
    // already be gone: then nothing is left to do.
    void stop() {
        if (started_ && !finished_.load()) {
            link_.shut_down();
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
    void run(LinkShared& shared) {
        while (!shared.stop_requested()) {
            if (shared.take_request(request_readout)) {
                record("s");
                if (on_readout_request) {
                    on_readout_request();
                }
                serve_readout();
                shared.notify_change();
            }
            if (take_transfers && link_.transfer_remaining() > 0) {
                serve_key(shared);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        finished_.store(true);
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

    void serve_key(LinkShared& shared) {
        if (before_key) {
            before_key(loaded_);
        }
        std::optional<TransferKey> next = shared.take_transfer_key();
        if (!next) {
            return;
        }
        uint32_t number = next->key.number;
        ++loaded_;
        char text[16];
        std::snprintf(text, sizeof text, "%c%06x", next->add ? 'n' : 'd', number & 0xffffff);
        record(text);
        if (!refused.count(number)) {
            shared.count_acknowledgement();
        }
        if (page_full_after.count(number)) {
            EventRecord rec;
            rec.key_event = rec.key_valid = rec.key_master = true;
            rec.manual_add = rec.page_full = true;
            decode_event(link_.decoder, rec, KeyId{}, KeyId{});
            shared.notify_change();
        }
    }

    void record(const std::string& s) {
        std::lock_guard lock(mutex_);
        sent_.push_back(s);
    }

    Link& link_;
    bool started_ = false;
    std::atomic<bool> finished_{false};
    std::mutex mutex_;
    std::vector<std::string> sent_;
    size_t loaded_ = 0;
};
