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
        create_key_list(db, db_observer);
        create_key_list(controller, controller_observer);
    }
    ~LinkFixture() { link.stop(); }
    LinkFixture(const LinkFixture&) = delete;
    LinkFixture& operator=(const LinkFixture&) = delete;

    HostT host;
    Clock& clock;
    RecordingLog log;
    DatabaseRecord db;
    DatabaseRecord controller;
    DecoderContext decoder{host, clock, log, db, controller};
    Link link{host, clock, decoder};
};
