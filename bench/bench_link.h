// A comm thread on COM1 connected to a simulated unit, with the decoder, lists and log it needs,
// for the benchmarks that measure the link.
#pragma once

#include "controller/link.h"
#include "sim_controller.h"

#include "support/link_fixture.h"
#include "support/quiet_host.h"

struct BenchLink : LinkFixture<QuietHost> {
    explicit BenchLink(SimController& sim) {
        link.port_path = [&sim](uint32_t) { return sim.device(); };
    }

    // Starts the comm thread and waits until the unit has taken the reset and gone quiet.
    bool connect(SimController& sim) {
        start_comm_thread(link, 1);
        return sim.wait_received("\rr", 10000) && sim.wait_idle(10000);
    }
};
