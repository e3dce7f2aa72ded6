// Turns controller reports into log lines, keeps the repeat-suppression windows, collects a
// read-out into the controller key list and raises the signals the synchronize thread polls.
#pragma once

#include "database/key_database.h"
#include "events/event_record.h"
#include "events/log_sink.h"
#include "platform/clock.h"
#include "platform/host.h"

#include <atomic>
#include <cstdint>

// The log line at the end of a read-out that only compared the lists.
constexpr const char* readout_compared_line = "Compared the keys with RD-unit.";

struct DecoderState {
    // Repeat windows. The *_seen marks keep the very first report of each kind from being taken
    // for a repeat of "time 0" when the tick counter itself is still small.
    uint32_t last_key_time = 0;
    KeyId last_key;
    bool last_key_seen = false;
    uint32_t door_open_time[2] = {0, 0}; // door A, door B
    bool door_open_seen[2] = {false, false};
    uint32_t contact_shorted_time = 0;
    bool contact_shorted_seen = false;
    bool readout_collecting = false;

    // Signals to the synchronize thread: set only by the decoder, reset only by that thread.
    std::atomic<bool> readout_done{false};
    std::atomic<bool> no_response_seen{false};
    std::atomic<bool> page_full_seen{false};
    std::atomic<bool> readout_failed{false};
    // Set by the thread that asks for a read-out which only compares (Compare, a verify): its
    // end must not be logged as a synchronization that did not happen.
    std::atomic<bool> readout_only_compares{false};
    // Counts read-out lines as they are decoded, so that a waiter can tell a read-out that is
    // still arriving from one that never started.
    std::atomic<uint32_t> readout_lines{0};
};

// Everything the decoder reaches. The key lists and the log belong to the user-interface
// thread; the decoder reaches them through host.run_on_ui.
struct DecoderContext {
    DecoderContext(Host& host, Clock& clock, LogSink& log, KeyDatabase& key_database,
                   KeyList& controller_keys)
        : host(host), clock(clock), log(log), key_database(key_database),
          controller_keys(controller_keys) {}
    DecoderContext(const DecoderContext&) = delete;
    DecoderContext& operator=(const DecoderContext&) = delete;

    Host& host;
    Clock& clock;
    LogSink& log;
    KeyDatabase& key_database;
    KeyList& controller_keys;
    DecoderState state;
};

// Runs on the comm thread. Blocks while the no-response box is open.
void decode_event(DecoderContext& ctx, const EventRecord& record, const KeyId& key,
                  const KeyId& manual_key);

// The repeat windows, in milliseconds.
constexpr uint32_t key_repeat_window_ms = 2000;
constexpr uint32_t door_repeat_window_ms = 2000;
constexpr uint32_t contact_shorted_window_ms = 60000;
