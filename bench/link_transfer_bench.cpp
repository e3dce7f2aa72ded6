// An add transfer of N keys (default 500) to the simulated controller with 9600-baud byte
// timing, for both pacings: keys per second and the ratio to the line's limit, which is the
// bytes on the wire (both directions, as they take turns) x 10 bits / 9600 baud.
// Targets: at least 0.9 of the limit for the RD-04, 0.8 for the RD-03.
// Usage: link_transfer_bench [keys]
#include "bench_link.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

static bool run(SimModel model, int count, double target) {
    const char* name = model == SimModel::Rd04 ? "RD-04" : "RD-03";
    SimOptions options;
    options.model = model;
    options.line_timing = true;
    options.capacity = static_cast<size_t>(count) + 10;
    SimController sim(options);
    sim.set_memory(0x800000, {});
    if (!sim.start()) {
        std::fprintf(stderr, "no pty\n");
        return false;
    }
    BenchLink bench(sim);
    Link& link = bench.link;
    if (!bench.connect(sim)) {
        std::fprintf(stderr, "no link\n");
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<KeyId> keys;
    for (int i = 0; i < count; ++i) {
        keys.push_back(KeyId{0, static_cast<uint32_t>(0x100000 + i), 0});
    }
    sim.clear_record();
    auto t0 = std::chrono::steady_clock::now();
    bool ok = send_add_keys(link, keys);
    auto returned = std::chrono::steady_clock::now();
    sim.wait_idle(10000);
    // The link's own pace: up to the last acknowledgement leaving the unit; send_add_keys adds
    // up to one 100 ms poll on top.
    std::string to_unit = sim.received();
    std::string from_unit = sim.sent();
    auto t_last = sim.last_sent_time();
    link.stop();
    double link_s = std::chrono::duration<double>(t_last - t0).count();
    double call_s = std::chrono::duration<double>(returned - t0).count();
    size_t bytes = to_unit.size() + from_unit.size();
    double limit_s = static_cast<double>(bytes) * 10.0 / 9600.0;
    double ratio = limit_s / link_s;
    std::printf("%s: %d keys %s; %zu bytes on the wire (%zu to the unit, %zu back); line limit "
                "%.2f s\n",
                name, count, ok ? "acknowledged" : "NOT acknowledged", bytes, to_unit.size(),
                from_unit.size(), limit_s);
    std::printf("%s: link %.2f s = %.1f keys/s, ratio to the line's limit %.3f (target %.2f) %s;"
                " send_add_keys returned after %.2f s (ratio %.3f)\n",
                name, link_s, count / link_s, ratio, target, ratio >= target ? "OK" : "UNDER",
                call_s, limit_s / call_s);
    return ok && ratio >= target && static_cast<int>(sim.memory().size()) == count + 1;
}

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 500;
    bool ok = run(SimModel::Rd04, count, 0.9);
    ok = run(SimModel::Rd03, count, 0.8) && ok;
    return ok ? 0 : 1;
}
