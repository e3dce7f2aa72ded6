// The comm thread's life: start, stop, opening and closing the port, and the wake-up that
// requests, transfers and stop requests give the sleeping thread.
#include "controller/link_steps.h"

#include "platform/port_map.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

Link::Link(Host& host, Clock& clock, DecoderContext& decoder)
    : host(host), clock(clock), decoder(decoder) {
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

void Link::routine(uint32_t port) {
    std::string path = port_path ? port_path(port) : com_port_path(port);
    SerialPort serial;
    PortOpenResult opened = serial.open(path);
    if (!opened) {
        host.message_box("Tessary - Serial communications", port_open_message(opened),
                         MsgIcon::Error);
        return;
    }
    comm.port = &serial;
    send_reset_transmission(*this);
    run_receive_loop(*this);
    comm.port = nullptr;
    serial.close();
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
    start([port](Link& link) { link.routine(port); });
}

void Link::start(CommBody body) {
    stop();
    // Never two comm threads on the shared link state: an old thread that outlived the stop's
    // wait (a box of its own still open, say) must end before the stop request is cleared, or
    // clearing it would keep the old thread alive beside the new one.
    join_serving_ui();
    stop_requested_.store(false, std::memory_order_release);
    drain_wake();
    comm_starts_.fetch_add(1, std::memory_order_acq_rel);
    // Raised here rather than in the thread so that a stop right after this start is never
    // mistaken for "no thread running" and skipped.
    comm_active_.store(true, std::memory_order_release);
    thread_done_.store(false, std::memory_order_release);
    thread_ = std::thread([this, body = std::move(body)] {
        body(*this);
        comm_active_.store(false, std::memory_order_release);
        // Waiters see the end as a change: a transfer or a read-out wait ends at once.
        notify_change();
        thread_done_.store(true, std::memory_order_release);
    });
}
