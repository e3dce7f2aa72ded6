// A comm thread on COM1 connected to a simulated unit, with the decoder, lists and log it needs,
// for the benchmarks that measure the link.
#pragma once

#include "controller/link.h"
#include "sim_controller.h"

#include "support/link_fixture.h"
#include "support/quiet_host.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <pthread.h>
#include <string>

struct BenchLink : LinkFixture<QuietHost> {
    explicit BenchLink(SimController& sim) {
        std::string path = sim.device();
        if (path.rfind("tcp:", 0) == 0) {
            // A unit behind a device server is reached through a port entry naming it.
            char dir[] = "/tmp/tessary-bench-XXXXXX";
            if (mkdtemp(dir) != nullptr && sim.link_as(dir, 1)) {
                entry_dir = dir;
                path = entry_dir + "/COM1";
            }
        }
        link.port_path = [path](uint32_t) { return path; };
    }
    ~BenchLink() {
        if (!entry_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(entry_dir, ignored);
        }
    }
    BenchLink(const BenchLink&) = delete;
    BenchLink& operator=(const BenchLink&) = delete;

    std::string entry_dir;

    // Starts the comm thread and waits until the unit has taken the reset and gone quiet.
    bool connect(SimController& sim) {
        link.start(1);
        return sim.wait_received("\rr", 10000) && sim.wait_idle(10000);
    }
};

// CPU time one thread has used so far, in seconds (-1 when the system cannot say).
inline double thread_cpu_seconds(pthread_t t) {
    clockid_t id;
    if (pthread_getcpuclockid(t, &id) != 0) {
        return -1;
    }
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
