#include "service/daemon.h"

#include "platform/file_lock.h"
#include "service/service.h"

#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#ifdef TESSARY_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

const char* const usage =
    "Usage: tessaryd [--site FILE] [--socket PATH]\n"
    "Serves the controllers of the databases named in the site file, around the clock, to\n"
    "local clients on a Unix socket.\n"
    "\n"
    "  --site FILE    the site file (default $XDG_CONFIG_HOME/tessary/site.conf)\n"
    "  --socket PATH  the socket (default $XDG_RUNTIME_DIR/tessary/tessaryd.sock)\n"
    "  --help         this text\n"
    "  --version      the version\n"
    "\n"
    "SIGHUP reads the site file again. See tessaryd(8).\n";

struct Options {
    ServiceOptions service;
    bool help = false;
    bool version = false;
};

// None, with the reason on err, for a command line that is not tessaryd's.
std::optional<Options> parse(const std::vector<std::string>& args, std::ostream& err) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if ((a == "--site" || a == "--socket") && i + 1 < args.size()) {
            (a == "--site" ? o.service.site_path : o.service.socket_path) = args[++i];
        } else if (a.rfind("--site=", 0) == 0) {
            o.service.site_path = a.substr(7);
        } else if (a.rfind("--socket=", 0) == 0) {
            o.service.socket_path = a.substr(9);
        } else {
            err << "tessaryd: "
                << (a == "--site" || a == "--socket" ? a + " needs a value" : "unknown option " + a)
                << "\n"
                << "Try 'tessaryd --help'.\n";
            return std::nullopt;
        }
    }
    if (o.service.site_path.empty()) {
        o.service.site_path = default_site_path();
    }
    if (o.service.socket_path.empty()) {
        o.service.socket_path = default_socket_path();
    }
    // A service running in the group "tessary" (a system-wide one under its own user) lets the
    // group's members in as well.
    if (group* g = ::getgrnam("tessary"); g && ::getegid() == g->gr_gid) {
        o.service.client_group = g->gr_gid;
    }
    return o;
}

// Tells systemd, when it started the service, that it is ready, and that it is alive at half
// the watchdog's interval.
class SystemdLink {
  public:
    SystemdLink() {
#ifdef TESSARY_HAVE_SYSTEMD
        uint64_t usec = 0;
        if (std::getenv("NOTIFY_SOCKET") && sd_watchdog_enabled(0, &usec) > 0) {
            interval_ = std::chrono::microseconds(usec / 2);
        }
#endif
    }
    void notify(const char* state) {
#ifdef TESSARY_HAVE_SYSTEMD
        if (std::getenv("NOTIFY_SOCKET")) {
            sd_notify(0, state);
        }
#else
        (void)state;
#endif
    }
    void tick() {
        if (interval_.count() == 0) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ >= interval_) {
            last_ = now;
            notify("WATCHDOG=1");
        }
    }

  private:
    std::chrono::microseconds interval_{0};
    std::chrono::steady_clock::time_point last_{};
};

// SIGHUP reloads, SIGINT and SIGTERM end the service: taken by a thread of their own with
// sigwait, blocked in every other thread (the controllers' threads inherit the mask).
class Signals {
  public:
    Signals() {
        sigemptyset(&set_);
        for (int s : {SIGHUP, SIGINT, SIGTERM, SIGUSR1}) {
            sigaddset(&set_, s);
        }
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
    }
    ~Signals() {
        end();
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    // Ends the thread that takes the signals; a signal that comes later stays blocked. Before
    // the service goes: the thread's stop() writes to the service's descriptors.
    void end() {
        if (thread_.joinable()) {
            ending_.store(true);
            pthread_kill(thread_.native_handle(), SIGUSR1);
            thread_.join();
        }
    }
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

    void serve(Service& service) {
        thread_ = std::thread([this, &service] {
            for (;;) {
                int signal = 0;
                sigwait(&set_, &signal);
                if (signal == SIGUSR1) {
                    if (ending_.load()) {
                        return;
                    }
                } else if (signal == SIGHUP) {
                    service.reload();
                } else {
                    service.stop();
                }
            }
        });
    }

  private:
    sigset_t set_;
    sigset_t old_;
    std::atomic<bool> ending_{false}; // SIGUSR1 from anyone else changes nothing
    std::thread thread_;
};

} // namespace

int run_daemon(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::optional<Options> o = parse(args, err);
    if (!o) {
        return 64;
    }
    if (o->help || o->version) {
        out << (o->help ? usage : "tessaryd " TESSARY_VERSION "\n");
        return 0;
    }
    FileLock lock;
    switch (lock.acquire(o->service.site_path)) {
    case FileLock::Outcome::HeldElsewhere:
        err << "tessaryd: " << o->service.site_path << " is served already by "
            << describe_holder(lock.holder()) << "\n";
        return 75;
    case FileLock::Outcome::Unavailable:
        err << "tessaryd: " << o->service.site_path
            << " cannot be locked; a second service on it would not be stopped\n";
        break;
    case FileLock::Outcome::Locked:
        break;
    }
    Signals signals;
    Service service(o->service);
    if (!service.open()) {
        return exit_config;
    }
    signals.serve(service);
    err << "tessaryd: listening on " << o->service.socket_path << " for "
        << service.controller_count() << " controllers\n";
    SystemdLink systemd;
    systemd.notify("READY=1");
    service.run([&] { systemd.tick(); });
    systemd.notify("STOPPING=1");
    signals.end();
    return 0;
}
