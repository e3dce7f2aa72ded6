#include "sim_controller.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string hex(uint64_t value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llx", width, static_cast<unsigned long long>(value));
    std::string s(text);
    return s.substr(s.size() - static_cast<size_t>(width));
}

bool make_dirs(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || (path[i] == '/' && i > 0)) {
            partial = path.substr(0, i);
            if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

SimController::SimController(SimOptions options) : opt_(std::move(options)) {
    announced_ = opt_.model;
}

SimController::~SimController() {
    stop();
}

bool SimController::start() {
    if (!(opt_.tcp ? start_tcp() : start_pty())) {
        stop();
        return false;
    }
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        stop();
        return false;
    }
    stopping_ = false;
    thread_ = std::thread([this] {
        // The line's bytes are due to the microsecond; the default 50 us of timer slack would
        // add itself to every byte of a round trip.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        run();
    });
    return true;
}

bool SimController::start_tcp() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 1) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    device_ = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    return true;
}

void SimController::accept_client() {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // Only asked while no client is connected: the next one waits in the backlog meanwhile.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    master_fd_ = fd;
}

void SimController::drop_client() {
    if (listen_fd_ >= 0 && master_fd_ >= 0) {
        ::close(master_fd_);
        master_fd_ = -1;
    }
}

ssize_t SimController::write_line(char c) {
    if (master_fd_ < 0) {
        return -1;
    }
    // A client that has gone must not take the whole process down with SIGPIPE.
    return listen_fd_ >= 0 ? ::send(master_fd_, &c, 1, MSG_NOSIGNAL) : ::write(master_fd_, &c, 1);
}

bool SimController::start_pty() {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) {
        return false;
    }
    char name[128];
    if (ptsname_r(master_fd_, name, sizeof name) != 0) {
        return false;
    }
    device_ = name;
    // Our own hold on the terminal side keeps the master from seeing a hang-up while the
    // program has not opened it yet or has closed it between two links.
    slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_fd_ < 0) {
        return false;
    }
    // Raw from the start: with the default echo the line discipline would hand our own
    // output back to us before the program has set the line up.
    termios tio{};
    tcgetattr(slave_fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_fd_, TCSANOW, &tio);
    return true;
}

void SimController::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable()) {
        wake();
        thread_.join();
    }
    for (const std::string& l : links_) {
        unlink(l.c_str());
    }
    links_.clear();
    for (int* fd : {&master_fd_, &slave_fd_, &listen_fd_, &wake_fd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool SimController::link_as(const std::string& port_dir, uint32_t com) {
    if (device_.empty() || !make_dirs(port_dir)) {
        return false;
    }
    std::string link = port_dir + "/COM" + std::to_string(com);
    unlink(link.c_str());
    if (listen_fd_ >= 0) {
        std::ofstream entry(link);
        entry << device_ << "\n";
        if (!entry.flush()) {
            return false;
        }
    } else if (symlink(device_.c_str(), link.c_str()) != 0) {
        return false;
    }
    links_.push_back(link);
    return true;
}

void SimController::wake() {
    if (wake_fd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
}

// --- configuration and reports (any thread) ----------------------------------------------------

void SimController::set_memory(uint32_t master, const std::vector<uint32_t>& keys) {
    std::lock_guard lock(mutex_);
    has_master_ = true;
    master_ = master & 0xffffff;
    keys_.clear();
    for (uint32_t k : keys) {
        k &= 0xffffff;
        if (k != master_ && !in_memory(k)) {
            keys_.push_back(k);
        }
    }
}

std::vector<uint32_t> SimController::memory() {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> all;
    if (has_master_) {
        all.push_back(master_);
    }
    all.insert(all.end(), keys_.begin(), keys_.end());
    return all;
}

void SimController::set_model(SimModel model) {
    std::lock_guard lock(mutex_);
    opt_.model = model;
}

void SimController::set_capacity(size_t capacity) {
    std::lock_guard lock(mutex_);
    opt_.capacity = capacity;
}

void SimController::set_silent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void SimController::refuse_key(uint32_t key) {
    std::lock_guard lock(mutex_);
    refused_.insert(key & 0xffffff);
}

void SimController::drop_key(uint32_t key) {
    std::lock_guard lock(mutex_);
    dropped_.insert(key & 0xffffff);
}

void SimController::present_key(uint32_t key, SimKeyKind kind, bool door_b, bool open_door) {
    {
        std::lock_guard lock(mutex_);
        key &= 0xffffff;
        std::string result = kind_result(key, kind);
        if (result == "PW") {
            has_master_ = true;
            master_ = key;
        }
        std::string line = key_report(key, result, door_b);
        bool opens = open_door && (result == "K" || result == "M");
        if (opens) {
            line += door_b ? ">OB" : ">O";
        }
        queue_report(line);
        if (opens && opt_.door_open_ms > 0) {
            queue_report(door_b ? ">CB" : ">C", opt_.door_open_ms);
        }
    }
    wake();
}

void SimController::manual_add(uint32_t key) {
    {
        std::lock_guard lock(mutex_);
        key &= 0xffffff;
        queue_report(key_report(key, "Ux", false));
        bool full = !in_memory(key) && memory_size() >= opt_.capacity;
        if (!full && !in_memory(key)) {
            keys_.push_back(key);
        }
        queue_report(key_report(master_, full ? "MNF" : "MN", false));
    }
    wake();
}

void SimController::manual_delete(uint32_t key) {
    {
        std::lock_guard lock(mutex_);
        key &= 0xffffff;
        queue_report(key_report(key, "Kx", false));
        std::erase(keys_, key);
        queue_report(key_report(master_, "MD", false));
    }
    wake();
}

void SimController::contact_shorted(bool door_b) {
    {
        std::lock_guard lock(mutex_);
        queue_report(door_b ? "<SB" : "<S");
    }
    wake();
}

void SimController::penalty(uint32_t key, bool door_b) {
    {
        std::lock_guard lock(mutex_);
        queue_report(key_report(key & 0xffffff, "UW", door_b));
    }
    wake();
}

void SimController::open_door(bool door_b) {
    {
        std::lock_guard lock(mutex_);
        queue_report(door_b ? ">OB" : ">O");
        if (opt_.door_open_ms > 0) {
            queue_report(door_b ? ">CB" : ">C", opt_.door_open_ms);
        }
    }
    wake();
}

void SimController::door_closed(bool door_b) {
    {
        std::lock_guard lock(mutex_);
        queue_report(door_b ? ">CB" : ">C");
    }
    wake();
}

void SimController::send_raw(const std::string& bytes) {
    {
        std::lock_guard lock(mutex_);
        emit(bytes);
    }
    wake();
}

// --- observation -------------------------------------------------------------------------------

std::string SimController::received() {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> SimController::received_chunks() {
    std::lock_guard lock(mutex_);
    return chunks_;
}

std::string SimController::sent() {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::chrono::steady_clock::time_point SimController::last_sent_time() {
    std::lock_guard lock(mutex_);
    return last_sent_;
}

int SimController::pacing_violations() {
    std::lock_guard lock(mutex_);
    return violations_;
}

int SimController::resets() {
    std::lock_guard lock(mutex_);
    return resets_;
}

int SimController::commands(char kind) {
    std::lock_guard lock(mutex_);
    return command_counts_[static_cast<unsigned char>(kind)];
}

void SimController::clear_record() {
    std::lock_guard lock(mutex_);
    received_.clear();
    chunks_.clear();
    sent_.clear();
    answer_gaps_.clear();
    awaiting_answer_ = false;
    violations_ = 0;
}

std::vector<std::chrono::nanoseconds> SimController::answer_gaps() {
    std::lock_guard lock(mutex_);
    return answer_gaps_;
}

bool SimController::wait_until(const std::function<bool()>& pred, int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), pred);
}

bool SimController::wait_received(const std::string& tail, int timeout_ms) {
    return wait_until(
        [&] {
            return received_.size() >= tail.size() &&
                   received_.compare(received_.size() - tail.size(), tail.size(), tail) == 0;
        },
        timeout_ms);
}

bool SimController::wait_idle(int timeout_ms) {
    return wait_until([&] { return out_.empty() && timers_.empty() && in_.empty(); }, timeout_ms);
}

// --- the unit (simulator thread, under the lock)
// ---------------------------------------------------

bool SimController::in_memory(uint32_t key) const {
    if (has_master_ && key == master_) {
        return true;
    }
    for (uint32_t k : keys_) {
        if (k == key) {
            return true;
        }
    }
    return false;
}

size_t SimController::memory_size() const {
    return keys_.size() + (has_master_ ? 1 : 0);
}

std::string SimController::kind_result(uint32_t key, SimKeyKind kind) const {
    switch (kind) {
    case SimKeyKind::Valid:
        return "K";
    case SimKeyKind::Invalid:
        return "U";
    case SimKeyKind::Master:
        return "M";
    case SimKeyKind::Auto:
        break;
    }
    if (!has_master_) {
        return "PW"; // the first key after a cleared memory becomes the master
    }
    if (key == master_) {
        return "M";
    }
    return in_memory(key) ? "K" : "U";
}

std::string SimController::key_report(uint32_t key, const std::string& result, bool door_b) const {
    std::string serial = hex(key, 12);
    unsigned check = 1;
    for (char c : serial) {
        check += static_cast<unsigned>(hex_value(c));
    }
    return "<01." + serial + "." + hex(check & 0xff, 2) + "+" + result + (door_b ? "B" : "");
}

void SimController::emit(const std::string& bytes, bool readiness) {
    if (silent_) {
        return;
    }
    // Bytes answering a received byte are due from that byte's arrival on the line, not from
    // when this thread got round to it: the schedule must not drift by our own wake-ups.
    Clock::time_point at = event_time_ == Clock::time_point{} ? Clock::now() : event_time_;
    for (char c : bytes) {
        out_.push_back({c, readiness, at});
    }
}

void SimController::prompt() {
    if (announced_ == SimModel::Rd03) {
        emit(" ", true);
    }
}

void SimController::queue_report(const std::string& line, uint32_t delay_ms) {
    timers_.push_back({Clock::now() + std::chrono::milliseconds(delay_ms), line});
}

void SimController::emit_report(const std::string& line) {
    if (announced_ == SimModel::Rd03) {
        // The CR closes the prompt's (empty) reply; the new prompt after the report makes the
        // program ready again.
        emit("\r" + line + "\r");
        prompt();
    } else {
        emit(line + "\r");
    }
}

void SimController::reset_unit() {
    ++resets_;
    command_.clear();
    announced_ = opt_.model;
    connected_ = true;
    std::string ident = announced_ == SimModel::Rd04 ? "RD-04 " : "RD-03 ";
    emit("\r" + ident + opt_.version + "\r");
    prompt();
}

void SimController::handle_byte(char b) {
    if (silent_) {
        return;
    }
    bool rd03 = announced_ == SimModel::Rd03;
    if (b == '\r') {
        bool transfer = command_.size() == 7 && (command_[0] == 'n' || command_[0] == 'd');
        if (transfer) {
            finish_command(command_);
        } else {
            // A bare CR, or one that cancels a half-received command.
            emit("\r");
            prompt();
        }
        command_.clear();
        return;
    }
    if (command_.empty() && b == 'r') {
        reset_unit();
        return;
    }
    if (rd03) {
        if (!may_receive_) {
            ++violations_;
        }
        may_receive_ = false;
        emit(std::string(1, b), true); // the echo
    }
    command_ += b;
    char kind = command_[0];
    switch (kind) {
    case 'o':
    case 'b':
    case 's':
        finish_command(command_);
        command_.clear();
        break;
    case 'c':
    case 'h':
        if (command_.size() == 2) {
            finish_command(command_);
            command_.clear();
        }
        break;
    case 'n':
    case 'd':
        if (command_.size() > 1 && (command_.size() > 7 || hex_value(b) < 0)) {
            finish_command("?");
            command_.clear();
        }
        break;
    default:
        finish_command("?");
        command_.clear();
        break;
    }
}

void SimController::finish_command(const std::string& cmd) {
    char kind = cmd[0];
    if (cmd == "o" || cmd == "b") {
        answer_open(kind == 'b');
    } else if (cmd == "s") {
        answer_read_out();
    } else if (cmd == "c!") {
        answer_clear();
    } else if (cmd == "h!") {
        ++command_counts_[static_cast<unsigned char>('h')];
        emit(announced_ == SimModel::Rd03 ? "\r" : " h!\r");
        prompt();
    } else if ((kind == 'n' || kind == 'd') && cmd.size() == 7) {
        answer_transfer(cmd);
    } else {
        ++command_counts_[static_cast<unsigned char>('?')];
        if (announced_ == SimModel::Rd03) {
            emit("\r");
            prompt();
        } else {
            emit(" ?\r");
        }
    }
}

void SimController::answer_open(bool door_b) {
    ++command_counts_[static_cast<unsigned char>(door_b ? 'b' : 'o')];
    std::string report = door_b ? ">OB" : ">O";
    if (announced_ == SimModel::Rd03) {
        emit("\r" + report + "\r");
        prompt();
    } else {
        emit(report + "\r");
    }
    if (opt_.door_open_ms > 0) {
        queue_report(door_b ? ">CB" : ">C", opt_.door_open_ms);
    }
}

void SimController::answer_read_out() {
    bool rd03 = announced_ == SimModel::Rd03;
    ++command_counts_[static_cast<unsigned char>('s')];
    std::string lines = rd03 ? "\r" : "";
    if (has_master_) {
        lines += hex(master_, 6) + "\r";
    }
    for (uint32_t k : keys_) {
        lines += hex(k, 6) + "\r";
    }
    if (rd03) {
        emit(lines);
        prompt(); // the prompt's space ends the read-out
    } else {
        emit(lines + "\r"); // an empty line ends the read-out
    }
}

void SimController::answer_clear() {
    ++command_counts_[static_cast<unsigned char>('c')];
    has_master_ = false;
    keys_.clear();
    if (announced_ == SimModel::Rd03) {
        emit("\r"); // the echoed "c!" is the reply
        prompt();
    } else {
        emit(" c!\r");
    }
}

void SimController::answer_transfer(const std::string& cmd) {
    char kind = cmd[0];
    ++command_counts_[static_cast<unsigned char>(kind)];
    uint32_t key = static_cast<uint32_t>(std::strtoul(cmd.c_str() + 1, nullptr, 16));
    bool ok = !refused_.count(key);
    bool page_full = false;
    if (ok && kind == 'n' && !in_memory(key) && !dropped_.count(key)) {
        if (memory_size() >= opt_.capacity) {
            ok = false;
            page_full = true;
        } else {
            keys_.push_back(key);
        }
    }
    if (ok && kind == 'd') {
        if (has_master_ && key == master_) {
            has_master_ = false;
        }
        std::erase(keys_, key);
    }
    const char* result = ok ? "!" : "?";
    if (announced_ == SimModel::Rd03) {
        emit(std::string(result) + "\r"); // completes the echoed "n123456" reply
        prompt();
    } else {
        emit(" " + cmd + result + "\r");
    }
    if (page_full) {
        queue_report(key_report(master_, "MNF", false));
    }
}

namespace {

timespec timespec_until(std::chrono::steady_clock::time_point until,
                        std::chrono::steady_clock::time_point now) {
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
    if (wait.count() < 0) {
        wait = std::chrono::nanoseconds(0);
    }
    return timespec{static_cast<time_t>(wait.count() / 1000000000),
                    static_cast<long>(wait.count() % 1000000000)};
}

} // namespace

void SimController::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        auto now = Clock::now();
        bool blocked = false;
        // Each step runs on every pass: no short-circuit between them.
        bool changed = take_received(now);
        changed |= fire_timers(now);
        changed |= send_queued(now, blocked);
        if (changed) {
            changed_.notify_all();
        }

        // Sleep until the next thing to do.
        auto until = next_wake(now, blocked);
        // A timer wake-up comes a good part of a byte time late on a busy machine, and every
        // late echo would lengthen the round trip it answers. So the sleep ends a little early
        // and the rest is spent looking at the line until the byte is due.
        bool byte_due =
            !out_.empty() && !blocked && opt_.line_timing && head_started_ && until == head_due_;
        auto sleep_until = byte_due ? std::max(now, head_due_ - sim_spin_margin) : until;
        // Without a client the listener takes the line's place in the poll.
        int line_fd = master_fd_ >= 0 ? master_fd_ : listen_fd_;
        pollfd fds[2] = {{line_fd, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                         {wake_fd_, POLLIN, 0}};
        lock.unlock();
        timespec ts = timespec_until(sleep_until, now);
        int woke = ppoll(fds, 2, &ts, nullptr);
        if (byte_due && woke == 0) {
            const timespec zero{};
            while (Clock::now() < head_due_ && ppoll(fds, 2, &zero, nullptr) == 0) {
            }
        }
        lock.lock();

        if (fds[1].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t n = ::read(wake_fd_, &v, sizeof v);
        }
        if (line_fd >= 0 && line_fd == listen_fd_) {
            if (fds[0].revents & POLLIN) {
                accept_client();
            }
        } else if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            read_line();
        }
    }
}

bool SimController::take_received(Clock::time_point now) {
    bool changed = false;
    // Bytes from the program, each once the line has carried it.
    while (!in_.empty() && in_.front().ready <= now) {
        event_time_ = in_.front().ready;
        handle_byte(in_.front().byte);
        event_time_ = {};
        in_.pop_front();
        changed = true;
    }
    return changed;
}

bool SimController::fire_timers(Clock::time_point now) {
    // Reports of the unit's own, never in the middle of a command.
    if (!command_.empty()) {
        return false;
    }
    bool changed = false;
    for (size_t i = 0; i < timers_.size();) {
        if (timers_[i].when <= now) {
            emit_report(timers_[i].bytes);
            timers_.erase(timers_.begin() + static_cast<long>(i));
            changed = true;
        } else {
            ++i;
        }
    }
    return changed;
}

bool SimController::send_queued(Clock::time_point now, bool& blocked) {
    bool changed = false;
    while (!out_.empty()) {
        if (opt_.line_timing) {
            // A byte reaches the other end only once all ten of its bits have: it is
            // written to the terminal when its time on the line is over.
            if (!head_started_) {
                // A UART sends a queued byte right after the one before it.
                head_due_ = std::max(out_.front().queued, tx_free_) + sim_byte_time;
                head_started_ = true;
            }
            if (now < head_due_) {
                break;
            }
        }
        char c = out_.front().byte;
        ssize_t n = write_line(c);
        if (n != 1) {
            blocked = true; // the program is not reading; try again when there is room
            break;
        }
        sent_ += c;
        last_sent_ = Clock::now();
        if (out_.front().readiness) {
            may_receive_ = true;
            ready_sent_ = last_sent_;
            awaiting_answer_ = true;
        }
        out_.pop_front();
        changed = true;
        if (opt_.line_timing) {
            tx_free_ = head_due_;
            head_started_ = false;
        }
    }
    return changed;
}

SimController::Clock::time_point SimController::next_wake(Clock::time_point now,
                                                          bool blocked) const {
    auto until = now + std::chrono::milliseconds(200);
    if (!in_.empty()) {
        until = std::min(until, in_.front().ready);
    }
    if (!out_.empty() && !blocked && opt_.line_timing && head_started_) {
        until = std::min(until, head_due_);
    }
    if (command_.empty()) {
        for (const Timer& t : timers_) {
            until = std::min(until, t.when);
        }
    }
    return until;
}

void SimController::read_line() {
    char buf[256];
    ssize_t n = ::read(master_fd_, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        drop_client(); // a TCP client that left; a pty never gets here (we hold its slave)
    }
    if (n <= 0) {
        return;
    }
    std::string chunk(buf, static_cast<size_t>(n));
    received_ += chunk;
    chunks_.push_back(chunk);
    auto t = Clock::now();
    if (awaiting_answer_) {
        answer_gaps_.push_back(t - ready_sent_);
        awaiting_answer_ = false;
    }
    for (char c : chunk) {
        Clock::time_point ready = t;
        if (opt_.line_timing) {
            ready = std::max(t, last_in_ready_) + sim_byte_time;
            last_in_ready_ = ready;
        }
        in_.push_back({c, ready});
    }
    changed_.notify_all();
}
