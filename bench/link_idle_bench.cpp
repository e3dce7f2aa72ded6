// CPU time of a connected, idle comm thread over 30 s (target: under 0.05% of one core): the
// thread sleeps until a byte, a request or a deadline, so a silent link costs next to nothing.
// Usage: link_idle_bench [seconds]
#include "bench_link.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <thread>

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    SimController sim;
    if (!sim.start()) {
        std::fprintf(stderr, "no pty\n");
        return 1;
    }
    BenchLink bench(sim);
    Link& link = bench.link;
    if (!bench.connect(sim)) {
        std::fprintf(stderr, "no link\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    pthread_t comm = link.native_handle();
    double cpu0 = thread_cpu_seconds(comm);
    auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double cpu = thread_cpu_seconds(comm) - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    link.stop();
    double percent = 100.0 * cpu / wall;
    std::printf("idle comm thread: %.4f s CPU over %.1f s wall = %.4f%% of one core (target < "
                "0.05%%) %s\n",
                cpu, wall, percent, percent < 0.05 ? "OK" : "OVER");
    return percent < 0.05 ? 0 : 1;
}
