// CPU time of a comm thread whose unit has gone (the controller's end of the pty closed) over
// 10 s after the loss (target: under 1 % of one core): the thread tries the port folder's name
// again every 2 s from a deadline in poll, and sleeps in between.
// Usage: link_lost_bench [seconds]
#include "bench_link.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <pthread.h>
#include <thread>

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    char dir[] = "/tmp/tessary-lost-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        return 1;
    }
    SimController sim;
    if (!sim.start() || !sim.link_as(dir, 1)) {
        std::fprintf(stderr, "no pty\n");
        return 1;
    }
    BenchLink bench(sim);
    Link& link = bench.link;
    std::string entry = std::string(dir) + "/COM1";
    link.port_path = [&entry](uint32_t) { return entry; };
    if (!bench.connect(sim)) {
        std::fprintf(stderr, "no link\n");
        return 1;
    }
    sim.stop();
    while (!link.lost()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pthread_t comm = link.native_handle();
    double cpu0 = thread_cpu_seconds(comm);
    auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double cpu = thread_cpu_seconds(comm) - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    bool still_lost = link.lost() && link.active();
    link.stop();
    std::filesystem::remove_all(dir);
    double percent = 100.0 * cpu / wall;
    std::printf("comm thread after the loss: %.4f s CPU over %.1f s wall = %.4f%% of one core "
                "(target < 1%%) %s%s\n",
                cpu, wall, percent, percent < 1.0 ? "OK" : "OVER",
                still_lost ? "" : " (but the link did not stay in the lost state)");
    return percent < 1.0 && still_lost ? 0 : 1;
}
