// Everything a link needs around it: a host, a clock, a log, both key lists and the decoder.
// For the tests and benchmarks that run a comm thread or play one.
#pragma once

#include "controller/link.h"

#include "support/recording_log.h"
#include "support/wait_for.h"

template <class HostT> struct LinkFixture {
    explicit LinkFixture(Clock& clock = system_clock(), KeyListObserver* db_observer = nullptr,
                         KeyListObserver* controller_observer = nullptr)
        : clock(clock) {
        db.keys.set_observer(db_observer);
        controller.set_observer(controller_observer);
    }
    ~LinkFixture() { link.stop(); }
    LinkFixture(const LinkFixture&) = delete;
    LinkFixture& operator=(const LinkFixture&) = delete;

    HostT host;
    Clock& clock;
    RecordingLog log;
    KeyDatabase db;
    KeyList controller;
    DecoderContext decoder{host, clock, log, db, controller};
    Link link{host, clock, decoder};
};
