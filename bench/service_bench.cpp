// tessaryd as its own process serving 16 simulated controllers, with a subscriber on its socket
// and one at a broker: its CPU while nothing happens, how long a report takes to reach each
// subscriber, and what a minute of all 16 sending at 9600 baud costs it and whether any is lost.
// Usage: service_bench [--idle SECONDS] [--reports N] [--flood SECONDS] [--chunk BYTES]
// A pseudo-terminal hands on each byte as the simulator writes it, so by default the service
// wakes for every byte; --chunk 8 hands them on eight at a time, as a UART's receive FIFO does.
#include "sim_controller.h"

#include "support/mqtt_broker.h"
#include "support/wait_for.h"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int controllers = 16;
// Each controller's keys: its number in the top bits, a running count below.
constexpr int seq_bits = 19;

struct Options {
    int idle_s = 30;
    int reports = 400;
    int flood_s = 60;
    int chunk = 1; // bytes the line hands on at once during the flood
};

// CPU seconds the process has used so far (user and system), from /proc: the sum of its threads'
// time on a CPU, counted in nanoseconds, where the system keeps that; else in clock ticks.
double process_cpu_seconds(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    double ns = 0;
    bool counted = false;
    std::error_code ignored;
    for (const auto& task : fs::directory_iterator(proc + "/task", ignored)) {
        std::ifstream in(task.path() / "schedstat");
        double on_cpu = 0;
        if (in >> on_cpu) {
            ns += on_cpu;
            counted = true;
        }
    }
    if (counted) {
        return ns / 1e9;
    }
    std::ifstream in(proc + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold spaces, start at its closing bracket.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// How often the process's threads have been switched out so far, whether they slept or not.
long context_switches(pid_t pid) {
    long total = 0;
    std::error_code ignored;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream in(task.path() / "status");
        for (std::string line; std::getline(in, line);) {
            if (line.find("_ctxt_switches:") != std::string::npos) {
                total += std::atol(line.c_str() + line.find(':') + 1);
            }
        }
    }
    return total;
}

long rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// When each key's event first came to one subscriber, and how many came more than once.
class Arrivals {
  public:
    // Every key named in `text`, as an event's "key" field names it.
    void note_keys(const char* text, size_t size, Clock::time_point when) {
        static const char field[] = "\"key\": \"";
        const std::string_view s(text, size);
        for (size_t at = s.find(field); at != std::string_view::npos; at = s.find(field, at)) {
            at += sizeof field - 1;
            if (at + 6 > s.size()) {
                break;
            }
            const uint32_t key = static_cast<uint32_t>(
                std::strtoul(std::string(s.substr(at, 6)).c_str(), nullptr, 16));
            std::lock_guard lock(mutex_);
            if (!first_.emplace(key, when).second) {
                ++twice_;
            }
        }
    }
    bool time_of(uint32_t key, Clock::time_point& when) {
        std::lock_guard lock(mutex_);
        const auto it = first_.find(key);
        if (it == first_.end()) {
            return false;
        }
        when = it->second;
        return true;
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return first_.size();
    }
    size_t twice() {
        std::lock_guard lock(mutex_);
        return twice_;
    }

  private:
    std::mutex mutex_;
    std::unordered_map<uint32_t, Clock::time_point> first_;
    size_t twice_ = 0;
};

// A client on the service's socket that subscribes to every controller's events.
class SocketSubscriber {
  public:
    explicit SocketSubscriber(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~SocketSubscriber() {
        ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) {
            reader_.join();
        }
        ::close(fd_);
    }
    bool connected() const { return connected_; }
    // Sends `line` and returns the next line that holds `part` (empty after 2 s without one).
    std::string ask(const std::string& line, const std::string& part) {
        ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
        const auto end = Clock::now() + std::chrono::seconds(2);
        for (;;) {
            for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
                std::string got = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (got.find(part) != std::string::npos) {
                    return got;
                }
            }
            pollfd p{fd_, POLLIN, 0};
            char chunk[4096];
            ssize_t n = 0;
            if (Clock::now() > end || ::poll(&p, 1, 100) < 0 ||
                ((p.revents & POLLIN) && (n = ::recv(fd_, chunk, sizeof chunk, 0)) <= 0)) {
                return {};
            }
            buffer_.append(chunk, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
    }
    bool subscribe() {
        if (ask("{\"id\": 1, \"op\": \"subscribe\"}\n", "\"id\": 1").find("\"ok\": true") ==
            std::string::npos) {
            return false;
        }
        reader_ = std::thread([this] {
            char chunk[65536];
            for (ssize_t n; (n = ::recv(fd_, chunk, sizeof chunk, 0)) > 0;) {
                arrivals.note_keys(chunk, static_cast<size_t>(n), Clock::now());
            }
        });
        return true;
    }

    Arrivals arrivals;

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
    std::thread reader_;
};

// A subscriber at the broker to every controller's events and link state.
class MqttWatcher {
  public:
    MqttWatcher(int port, const std::string& site) : site_(site) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0) {
                const std::string& site = static_cast<MqttWatcher*>(self)->site_;
                mosquitto_subscribe(m, nullptr, ("tessary/" + site + "/+/events").c_str(), 1);
                mosquitto_subscribe(m, nullptr, ("tessary/" + site + "/+/status").c_str(), 1);
            }
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
                const auto now = Clock::now();
                auto* w = static_cast<MqttWatcher*>(self);
                const char* payload = static_cast<const char*>(m->payload);
                const auto size = static_cast<size_t>(m->payloadlen);
                if (std::string_view(m->topic).ends_with("/status")) {
                    if (std::string_view(payload, size) == "online") {
                        ++w->online_;
                    }
                } else {
                    w->arrivals.note_keys(payload, size, now);
                }
            });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
    }
    ~MqttWatcher() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
    int online() const { return online_; }

    Arrivals arrivals;

  private:
    std::string site_;
    mosquitto* mosq_ = nullptr;
    std::atomic<int> online_{0};
};

uint32_t key_of(int controller, uint32_t seq) {
    return (static_cast<uint32_t>(controller + 1) << seq_bits) | (seq & ((1u << seq_bits) - 1));
}

// The RD-04's report of an unknown key, as the wire carries it.
std::string invalid_key_report(uint32_t key) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%012x", key);
    unsigned check = 1;
    for (const char* c = serial; *c; ++c) {
        check += static_cast<unsigned>(*c <= '9' ? *c - '0' : *c - 'a' + 10);
    }
    char line[40];
    std::snprintf(line, sizeof line, "<01.%s.%02x+U\r", serial, check & 0xff);
    return line;
}

// 16 simulated controllers, a database and a port entry for each, a site file naming them and a
// broker, and tessaryd serving them as its own process.
class ServedSite {
  public:
    ServedSite() {
        std::string pattern = (fs::temp_directory_path() / "service_bench_XXXXXX").string();
        dir_ = mkdtemp(pattern.data()) ? pattern : "";
        broker_ = std::make_unique<TestBroker>(dir_);
    }
    ~ServedSite() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        sims.clear();
        broker_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    ServedSite(const ServedSite&) = delete;
    ServedSite& operator=(const ServedSite&) = delete;

    bool start() {
        if (dir_.empty() || !broker_->start()) {
            std::fprintf(stderr, "no folder or no broker\n");
            return false;
        }
        setenv("TESSARY_PORT_DIR", (dir_ / "ports").c_str(), 1);
        std::ofstream site(dir_ / "site.conf");
        site << "name = Bench site\nmqtt = " << broker_->url() << "\n";
        for (int c = 0; c < controllers; ++c) {
            sims.push_back(std::make_unique<SimController>());
            if (!sims[c]->start() || !sims[c]->link_as((dir_ / "ports").string(), c + 1)) {
                std::fprintf(stderr, "no pty\n");
                return false;
            }
            sims[c]->set_memory(0x000001, {0x00a3f1});
            char name[32];
            std::snprintf(name, sizeof name, "door%02d.tsy", c + 1);
            std::ofstream(dir_ / name) << "COM\t" << c + 1 << "\nKEY\t000001\tManager\t\t\n";
            site << "database = " << name << "\n";
        }
        site.close();
        return spawn() && serving();
    }
    pid_t pid() const { return pid_; }
    int broker_port() const { return broker_->port(); }
    std::string socket_path() const { return (dir_ / "tessaryd.sock").string(); }
    std::string log_path() const { return (dir_ / "tessaryd.log").string(); }

    std::vector<std::unique_ptr<SimController>> sims;

  private:
    bool spawn() {
        pid_ = fork();
        if (pid_ == 0) {
            const int log = ::open(log_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(log, STDERR_FILENO);
            execl(TESSARYD_PATH, "tessaryd", "--site", (dir_ / "site.conf").c_str(), "--socket",
                  socket_path().c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid_ > 0;
    }
    // Every controller linked and identified.
    bool serving() {
        std::unique_ptr<SocketSubscriber> c;
        if (!wait_for([&] {
                return (c = std::make_unique<SocketSubscriber>(socket_path()))->connected();
            })) {
            std::fprintf(stderr, "the service did not listen; see %s\n", log_path().c_str());
            return false;
        }
        const bool up = wait_for([&] {
            const std::string line = c->ask("{\"id\": 0, \"op\": \"list\"}\n", "\"id\": 0");
            return line.find("\"connected\"") != std::string::npos &&
                   line.find("\"none\"") == std::string::npos &&
                   line.find("\"lost\"") == std::string::npos &&
                   line.find("\"model\": null") == std::string::npos;
        });
        if (!up) {
            std::fprintf(stderr, "not every controller came up; see %s\n", log_path().c_str());
        }
        return up;
    }

    fs::path dir_;
    std::unique_ptr<TestBroker> broker_;
    pid_t pid_ = -1;
};

struct Spread {
    double p50 = 0, p99 = 0, max = 0;
    size_t count = 0, missing = 0;
};

// Milliseconds from each report's last byte on the line to its event at the subscriber.
Spread spread(const std::unordered_map<uint32_t, Clock::time_point>& sent, Arrivals& arrivals) {
    std::vector<double> ms;
    Spread s;
    for (const auto& [key, at] : sent) {
        Clock::time_point came;
        if (arrivals.time_of(key, came)) {
            ms.push_back(std::chrono::duration<double, std::milli>(came - at).count());
        } else {
            ++s.missing;
        }
    }
    std::sort(ms.begin(), ms.end());
    s.count = ms.size();
    if (!ms.empty()) {
        s.p50 = ms[ms.size() / 2];
        s.p99 = ms[static_cast<size_t>(std::ceil(0.99 * static_cast<double>(ms.size()))) - 1];
        s.max = ms.back();
    }
    return s;
}

// Waits until both subscribers have heard every key in `sent`, or nothing more comes for `quiet`.
void drain(const std::unordered_map<uint32_t, Clock::time_point>& sent, SocketSubscriber& api,
           MqttWatcher& mqtt, size_t before_api, size_t before_mqtt, std::chrono::seconds quiet) {
    size_t last = 0;
    auto since = Clock::now();
    for (;;) {
        const size_t heard =
            (api.arrivals.count() - before_api) + (mqtt.arrivals.count() - before_mqtt);
        if (heard >= 2 * sent.size() || Clock::now() - since > quiet) {
            return;
        }
        if (heard != last) {
            last = heard;
            since = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

struct Figures {
    double idle_cpu = 0, idle_wall = 0;
    Spread api, mqtt;
    size_t flood_sent = 0;
    Spread flood_api, flood_mqtt;
    size_t api_twice = 0, mqtt_twice = 0;
    double flood_cpu = 0, flood_wall = 0;
    long flood_switches = 0;
    double own_cpu = 0;       // this program's: the simulators, the pacing, the subscribers
    double load[2] = {0, 0};  // the machine's load average before and after the flood
    std::vector<long> rss_kb; // at the start, after each tenth of the flood, and at the end
};

double percent_of_core(pid_t pid, double seconds, double& wall) {
    const double cpu0 = process_cpu_seconds(pid);
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    return 100.0 * (process_cpu_seconds(pid) - cpu0) / wall;
}

// One key at a time, round the controllers, 25 ms apart.
std::unordered_map<uint32_t, Clock::time_point> single_reports(ServedSite& site, int reports,
                                                               std::vector<uint32_t>& seq) {
    std::unordered_map<uint32_t, Clock::time_point> sent;
    for (int r = 0; r < reports; ++r) {
        const int c = r % controllers;
        const uint32_t key = key_of(c, seq[c]++);
        SimController& sim = *site.sims[c];
        sim.present_key(key, SimKeyKind::Invalid);
        sim.wait_idle(1000);
        sent[key] = sim.last_sent_time();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return sent;
}

// One controller's line during the flood: the report going out and how far it has gone.
struct FloodLine {
    std::string report;
    size_t pos = 0;
    uint32_t key = 0;
};

char next_byte(FloodLine& line, int c, std::vector<uint32_t>& seq,
               std::unordered_map<uint32_t, Clock::time_point>& sent, Clock::time_point now) {
    if (line.pos == line.report.size()) {
        line.key = key_of(c, seq[c]++);
        line.report = invalid_key_report(line.key);
        line.pos = 0;
    }
    const char b = line.report[line.pos++];
    if (line.pos == line.report.size()) {
        sent[line.key] = now;
    }
    return b;
}

// Every controller sends key reports back to back, a byte each 1.04 ms as 9600 baud carries
// them, for `seconds`; the service's CPU and memory are taken meanwhile.
std::unordered_map<uint32_t, Clock::time_point> flood(ServedSite& site, const Options& o,
                                                      std::vector<uint32_t>& seq, Figures& f) {
    std::unordered_map<uint32_t, Clock::time_point> sent;
    std::vector<FloodLine> lines(controllers);
    const pid_t pid = site.pid();
    f.rss_kb = {rss_kb(pid)};
    const double cpu0 = process_cpu_seconds(pid);
    const long switches0 = context_switches(pid);
    const double own0 = process_cpu_seconds(getpid());
    getloadavg(f.load, 1);
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(o.flood_s);
    int64_t written = 0;
    for (auto now = start; now < end; now = Clock::now()) {
        // Bytes a late wake-up has held back go out together, so the line keeps its rate.
        const int64_t due = (now - start) / sim_byte_time / o.chunk * o.chunk;
        for (int c = 0; c < controllers; ++c) {
            std::string chunk;
            for (int64_t n = written; n < due; ++n) {
                chunk += next_byte(lines[c], c, seq, sent, now);
            }
            if (!chunk.empty()) {
                site.sims[c]->send_raw(chunk);
            }
        }
        written = due;
        if (now >= start + (end - start) * static_cast<int>(f.rss_kb.size()) / 10) {
            f.rss_kb.push_back(rss_kb(pid));
        }
        std::this_thread::sleep_until(start + (due + o.chunk) * sim_byte_time);
    }
    f.flood_wall = std::chrono::duration<double>(Clock::now() - start).count();
    f.flood_cpu = 100.0 * (process_cpu_seconds(pid) - cpu0) / f.flood_wall;
    f.flood_switches = context_switches(pid) - switches0;
    f.own_cpu = 100.0 * (process_cpu_seconds(getpid()) - own0) / f.flood_wall;
    getloadavg(f.load + 1, 1);
    f.rss_kb.resize(10);
    f.rss_kb.push_back(rss_kb(pid));
    for (int c = 0; c < controllers; ++c) {
        FloodLine& line = lines[c];
        if (line.pos < line.report.size()) {
            site.sims[c]->send_raw(line.report.substr(line.pos));
            sent[line.key] = Clock::now();
        }
    }
    return sent;
}

const char* verdict(bool ok) {
    return ok ? "OK" : "MISSED";
}

void print_spread(const char* what, const Spread& s, double target_p99) {
    char target[32];
    std::snprintf(target, sizeof target, "p99 < %.0f ms", target_p99);
    std::printf("%-40s p50 %7.2f  p99 %7.2f  max %7.2f ms  (%zu, %zu missing)  %-14s %s\n", what,
                s.p50, s.p99, s.max, s.count, s.missing, target,
                verdict(s.p99 < target_p99 && s.missing == 0));
}

bool print_figures(const Figures& f, const Options& o) {
    const bool idle_ok = f.idle_cpu < 0.1;
    const bool api_ok = f.api.p99 < 20 && f.api.missing == 0;
    const bool mqtt_ok = f.mqtt.p99 < 50 && f.mqtt.missing == 0;
    const bool lossless = f.flood_api.missing == 0 && f.flood_mqtt.missing == 0 &&
                          f.api_twice == 0 && f.mqtt_twice == 0;
    const bool cpu_ok = f.flood_cpu < 10;
    // Flat: the second half of the flood adds no more than 5 % (and 256 kB of slack).
    const long middle = f.rss_kb[5], end = f.rss_kb.back();
    const bool flat = end <= middle + middle / 20 + 256;
    std::printf("\ntessaryd serving %d simulated controllers (RD-04, 9600 baud) with MQTT\n\n",
                controllers);
    std::printf("%-40s %.3f %% of one core over %.1f s  %-14s %s\n", "idle CPU", f.idle_cpu,
                f.idle_wall, "< 0.1 %", verdict(idle_ok));
    print_spread("report -> socket subscriber", f.api, 20);
    print_spread("report -> MQTT subscriber", f.mqtt, 50);
    std::printf("%-40s %zu reports over %.1f s (%.0f a second), %d byte(s) at a time\n",
                "flood: sent", f.flood_sent, f.flood_wall,
                static_cast<double>(f.flood_sent) / f.flood_wall, o.chunk);
    std::printf("%-40s %zu (lost %zu, twice %zu)  %-14s %s\n", "flood: heard by socket subscriber",
                f.flood_api.count, f.flood_api.missing, f.api_twice, "none lost",
                verdict(f.flood_api.missing == 0 && f.api_twice == 0));
    std::printf("%-40s %zu (lost %zu, twice %zu)  %-14s %s\n", "flood: heard by MQTT subscriber",
                f.flood_mqtt.count, f.flood_mqtt.missing, f.mqtt_twice, "none lost",
                verdict(f.flood_mqtt.missing == 0 && f.mqtt_twice == 0));
    std::printf("%-40s p50 %7.2f  p99 %7.2f  max %7.2f ms\n", "flood: report -> socket subscriber",
                f.flood_api.p50, f.flood_api.p99, f.flood_api.max);
    std::printf("%-40s p50 %7.2f  p99 %7.2f  max %7.2f ms\n", "flood: report -> MQTT subscriber",
                f.flood_mqtt.p50, f.flood_mqtt.p99, f.flood_mqtt.max);
    std::printf("%-40s %.2f %% of one core  %-14s %s\n", "flood: service CPU", f.flood_cpu,
                "< 10 %", verdict(cpu_ok));
    std::printf("%-40s %.0f a second, %.1f a report\n", "flood: service context switches",
                static_cast<double>(f.flood_switches) / f.flood_wall,
                static_cast<double>(f.flood_switches) / static_cast<double>(f.flood_sent));
    std::printf("%-40s %.2f %% of one core; load average %.2f before, %.2f after\n",
                "flood: this program's CPU", f.own_cpu, f.load[0], f.load[1]);
    std::printf("%-40s %ld / %ld / %ld kB  %-14s %s\n", "flood: RSS at start / middle / end",
                f.rss_kb.front(), middle, end, "flat", verdict(flat));
    std::printf("%-40s", "flood: RSS each tenth (kB)");
    for (long kb : f.rss_kb) {
        std::printf(" %ld", kb);
    }
    std::printf("\n");
    std::printf("\n(--idle %d --reports %d --flood %d --chunk %d)\n", o.idle_s, o.reports,
                o.flood_s, o.chunk);
    return idle_ok && api_ok && mqtt_ok && lossless && cpu_ok && flat;
}

bool parse(int argc, char** argv, Options& o) {
    const std::pair<const char*, int*> options[] = {{"--idle", &o.idle_s},
                                                    {"--reports", &o.reports},
                                                    {"--flood", &o.flood_s},
                                                    {"--chunk", &o.chunk}};
    for (int i = 1; i < argc; i += 2) {
        const auto it = std::find_if(std::begin(options), std::end(options), [&](const auto& p) {
            return std::strcmp(p.first, argv[i]) == 0;
        });
        if (it == std::end(options) || i + 1 == argc ||
            (*it->second = std::atoi(argv[i + 1])) <= 0) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "Usage: service_bench [--idle SECONDS] [--reports N] [--flood SECONDS] "
                     "[--chunk BYTES]\n");
        return 2;
    }
    ServedSite site;
    if (!site.start()) {
        return 1;
    }
    MqttWatcher mqtt(site.broker_port(), "bench-site");
    SocketSubscriber api(site.socket_path());
    if (!wait_for([&] { return mqtt.online() >= controllers; }) || !api.subscribe()) {
        std::fprintf(stderr, "no subscriber; see %s\n", site.log_path().c_str());
        return 1;
    }
    Figures f;
    // Settled: the links' first traffic and the first store writes are over.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    f.idle_cpu = percent_of_core(site.pid(), o.idle_s, f.idle_wall);

    std::vector<uint32_t> seq(controllers, 1);
    const auto single = single_reports(site, o.reports, seq);
    drain(single, api, mqtt, 0, 0, std::chrono::seconds(5));
    f.api = spread(single, api.arrivals);
    f.mqtt = spread(single, mqtt.arrivals);

    const size_t api_before = api.arrivals.count(), mqtt_before = mqtt.arrivals.count();
    const auto flooded = flood(site, o, seq, f);
    drain(flooded, api, mqtt, api_before, mqtt_before, std::chrono::seconds(15));
    f.flood_sent = flooded.size();
    f.flood_api = spread(flooded, api.arrivals);
    f.flood_mqtt = spread(flooded, mqtt.arrivals);
    f.api_twice = api.arrivals.twice();
    f.mqtt_twice = mqtt.arrivals.twice();
    return print_figures(f, o) ? 0 : 1;
}
