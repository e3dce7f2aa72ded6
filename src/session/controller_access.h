// What a client does with a controller: follow it, start and stop its link, send it a one-shot
// command, synchronize it and compare it with its database. The session in this process is one
// such controller; one served by another process is reached through the same calls, which take
// and give only values, so that a window need not know which of the two it drives.
#pragma once

#include "session/session_observer.h"
#include "sync/synchronize.h"

#include <cstdint>
#include <functional>

// The one-shot commands a controller takes.
enum class ControllerCommand { Reset, OpenDoorA, OpenDoorB, ClearMemory };

struct SyncOptions {
    ExtraKeys extra_keys = ExtraKeys::Ask;
    // Read the controller back after a run that would report "now up to date".
    bool verify = false;
    // Told the difference found, on the run's thread, before anything is sent.
    std::function<void(const KeyDifference&)> on_compared;
};

struct ControllerAccess {
    virtual ~ControllerAccess() = default;
    // User-interface thread. An observer is told until it is removed; it must be removed before
    // it goes.
    virtual void add_observer(SessionObserver* observer) = 0;
    virtual void remove_observer(SessionObserver* observer) = 0;
    // The link on COM port `port` (one that runs is stopped first), and its end.
    virtual void start(uint32_t port) = 0;
    virtual void stop() = 0;
    virtual LinkState link_state() const = 0;
    // Posts a one-shot command; false, with the link's message, when no link can take it.
    virtual bool send(ControllerCommand command) = 0;
    // Synchronize, or a comparison that sends nothing, started and left running; false, and
    // nothing started, while one is going. Observers hear the run's running state, its progress
    // and its result (sync_finished, compare_finished).
    virtual bool synchronize(const SyncOptions& options) = 0;
    virtual bool compare() = 0;
};
