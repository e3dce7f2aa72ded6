// The comm thread's life: start, stop, opening and closing the port, the poll that drives the
// comm engine between bursts, and the wake-up that requests, transfers and stop requests give
// the sleeping thread.
#include "controller/link.h"

#include "platform/port_map.h"
#include "platform/tcp_port.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

Link::Link(Host& host, Clock& clock, DecoderContext& decoder)
    : host(host), clock(clock), decoder(decoder), engine_(*this, clock, decoder) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Link::~Link() {
    if (thread_.joinable()) {
        request_stop();
        thread_.join();
    }
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

void Link::wake() {
    uint64_t one = 1;
    // A full counter still reads as readable, so a failed write loses no wake-up.
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void Link::drain_wake() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(wake_fd_, &value, sizeof value);
}

void Link::request_stop() {
    stop_requested_.store(true, std::memory_order_release);
    wake();
    notify_change();
}

void Link::notify_change() {
    {
        std::lock_guard lock(mutex_);
        ++change_count_;
    }
    changed_.notify_all();
}

uint64_t Link::changes() const {
    std::lock_guard lock(mutex_);
    return change_count_;
}

void Link::wait_change(uint64_t seen, uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    clock.wait_for(changed_, lock, timeout_ms, [&] {
        return change_count_ != seen || stop_requested_.load(std::memory_order_acquire);
    });
}

std::string connection_lost_line(const std::string& name) {
    return "Connection to " + name + " lost";
}

std::string connection_restored_line(const std::string& name) {
    return "Connection to " + name + " restored";
}

std::string connection_lost_message(const std::string& name, const std::string& device) {
    return "The connection to " + name + " (" + device +
           ") was lost.\nTessary tries to restore it every 2 seconds and carries on by itself "
           "when the device is back.";
}

std::string connection_lost_command_message(const std::string& name, const std::string& device) {
    return "The connection to " + name + " (" + device +
           ") is lost; the command was not sent.\nTessary tries to restore it every 2 seconds.";
}

namespace {

// What the user knows the port by: the endpoint, or the device the port folder's link names.
std::string device_name(const std::string& path, const PortOpenResult& opened) {
    if (opened.path != path) {
        return opened.path; // tcp:HOST:PORT
    }
    char target[4096];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return path;
    }
    return std::string(target, static_cast<size_t>(n));
}

} // namespace

void Link::report_lost(const std::string& name, const std::string& device) {
    {
        std::lock_guard lock(mutex_);
        lost_text_ = connection_lost_command_message(name, device);
        // A transfer in flight can no longer be acknowledged; its waiter ends now.
        transfer_keys_.clear();
    }
    request_bits_.store(0, std::memory_order_release);
    lost_.store(true, std::memory_order_release);
    notify_change();
    decoder.log.add_log_line(" - ", connection_lost_line(name), true);
    // Not waited for: the retries go on while the box is open, so that a unit that comes back
    // is taken up again even when nobody is at the desk.
    host.notify("Tessary - Serial communications", connection_lost_message(name, device),
                MsgIcon::Error);
}

bool Link::reconnect_pause() {
    uint32_t start = clock.tick_ms();
    for (;;) {
        if (stop_requested()) {
            return false;
        }
        uint32_t spent = clock.tick_ms() - start;
        if (spent >= reconnect_ms) {
            return true;
        }
        // A deadline in poll, not a nap loop: only a stop (or a refused post) wakes it early.
        pollfd p{wake_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(clock.real_wait_ms(reconnect_ms - spent))) > 0) {
            drain_wake();
        }
    }
}

bool Link::drive(SerialIo& channel) {
    engine_.start(channel);
    bool hung_up = false;
    for (;;) {
        CommEngine::Turn turn = engine_.serve(hung_up);
        if (turn != CommEngine::Turn::idle) {
            engine_.stop();
            return turn == CommEngine::Turn::broken;
        }
        int64_t due = engine_.next_deadline();
        int timeout =
            due < 0 ? -1 : static_cast<int>(clock.real_wait_ms(static_cast<uint32_t>(due)));
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {channel.poll_fd(), POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0) {
            continue; // EINTR
        }
        if (fds[0].revents & POLLIN) {
            drain_wake();
        }
        hung_up = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
}

void Link::routine(uint32_t port) {
    const std::string name = port_name ? port_name(port) : "COM" + std::to_string(port);
    std::string path = port_path ? port_path(port) : com_port_path(port);
    PortOpenResult opened;
    std::unique_ptr<FdChannel> channel = open_port_entry(path, &opened);
    if (!channel) {
        host.message_box("Tessary - Serial communications", port_open_message(opened),
                         MsgIcon::Error);
        return;
    }
    for (;;) {
        const std::string device = device_name(path, opened);
        bool broken = drive(*channel);
        channel.reset();
        if (!broken) {
            return;
        }
        report_lost(name, device);
        // The same name is opened again, so that a re-plugged adapter (its by-id link back) or
        // a restarted device server is found.
        while (!channel) {
            if (!reconnect_pause()) {
                return;
            }
            channel = open_port_entry(path, &opened);
        }
        // A transfer begun while the line was down has already failed to its caller; it must not
        // go out to the unit that came back.
        forget_requests();
        lost_.store(false, std::memory_order_release);
        notify_change();
        decoder.log.add_log_line(" - ", connection_restored_line(name), true);
    }
}

void Link::stop() {
    if (!active()) {
        return;
    }
    if (!ask_stop_and_wait(
            host, [this] { request_stop(); },
            [this] { return thread_done_.load(std::memory_order_acquire); }, stop_wait_ms)) {
        host.message_box("Tessary - RD Manager",
                         "There is a problem with the serial communications.\nIt is "
                         "probably best to restart Tessary.",
                         MsgIcon::Error);
        return;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Link::join_serving_ui() {
    if (!thread_.joinable()) {
        return;
    }
    ask_stop_and_wait(
        host, [this] { request_stop(); },
        [this] { return thread_done_.load(std::memory_order_acquire); }, std::nullopt);
    thread_.join();
}

void Link::shut_down() {
    join_serving_ui();
}

void Link::start(uint32_t port) {
    start([this, port](LinkShared&) { routine(port); });
    port_ = port;
}

Link::Identification Link::identification() const {
    std::lock_guard lock(mutex_);
    return identification_;
}

void Link::note_identification(const std::string& line) {
    std::lock_guard lock(mutex_);
    ++identification_.count;
    identification_.line = line;
    identification_.reset_round_trip_us = reset_round_trip_us_;
    // A unit that announces itself again unasked (power came back) was timed by no reset.
    reset_round_trip_us_.reset();
}

void Link::note_reset_round_trip(std::optional<uint32_t> round_trip_us) {
    std::lock_guard lock(mutex_);
    reset_round_trip_us_ = round_trip_us;
}

void Link::start(CommBody body) {
    stop();
    port_ = 0;
    // Never two comm threads on the shared link state: an old thread that outlived the stop's
    // wait (a box of its own still open, say) must end before the stop request is cleared, or
    // clearing it would keep the old thread alive beside the new one.
    join_serving_ui();
    stop_requested_.store(false, std::memory_order_release);
    drain_wake();
    // What the last link left undone is dropped here, before post() can accept anything for the
    // new one: a request made while the new port is still being opened and reset must go out.
    forget_requests();
    comm_starts_.fetch_add(1, std::memory_order_acq_rel);
    // Raised here rather than in the thread so that a stop right after this start is never
    // mistaken for "no thread running" and skipped.
    comm_active_.store(true, std::memory_order_release);
    thread_done_.store(false, std::memory_order_release);
    thread_ = std::thread([this, body = std::move(body)] {
        body(*this);
        lost_.store(false, std::memory_order_release);
        comm_active_.store(false, std::memory_order_release);
        // Waiters see the end as a change: a transfer or a read-out wait ends at once.
        notify_change();
        thread_done_.store(true, std::memory_order_release);
    });
}
