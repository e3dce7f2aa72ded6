// A comm thread on COM1 connected to a simulated unit, with the decoder, lists and log it needs,
// for the benchmarks that measure the link.
#pragma once

#include "controller/link.h"
#include "sim_controller.h"

#include "support/quiet_host.h"
#include "support/recording_log.h"

struct BenchLink {
    explicit BenchLink(SimController& sim) {
        create_key_list(db, nullptr);
        create_key_list(controller, nullptr);
        link.port_path = [&sim](uint32_t) { return sim.device(); };
    }
    ~BenchLink() { stop_comm_thread(link); }

    // Starts the comm thread and waits until the unit has taken the reset and gone quiet.
    bool connect(SimController& sim) {
        start_comm_thread(link, 1);
        return sim.wait_received("\rr", 10000) && sim.wait_idle(10000);
    }

    QuietHost host;
    RecordingLog log;
    DatabaseRecord db;
    DatabaseRecord controller;
    DecoderContext decoder{host, system_clock(), log, db, controller};
    LinkContext link{host, system_clock(), decoder};
};
