#include "platform/serial_port.h"

#include "platform/port_map.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int write_ms_per_byte = 10;

// Exclusive use of the device against every other program: flock binds cooperating programs
// (and root, whom TIOCEXCL does not stop); TIOCEXCL binds programs that do not lock.
int open_exclusive(const std::string& path, bool* exclusive) {
    *exclusive = false;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    if (isatty(fd)) {
        *exclusive = ioctl(fd, TIOCEXCL) == 0;
    }
    return fd;
}

void close_exclusive(int fd, bool exclusive) {
    if (exclusive) {
        // The flag outlives our descriptor while another holds the device (the simulator keeps
        // its side open), and would lock us out of our own next open.
        ioctl(fd, TIOCNXCL);
    }
    ::close(fd); // drops the flock as well
}

bool apply_line_settings(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    // Reads return at once with what has arrived, possibly nothing.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B9600) != 0 || cfsetospeed(&tio, B9600) != 0) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return false;
    }
    // Raise DTR and RTS; a pseudo-terminal has no modem lines (ENOTTY/EINVAL), which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    return true;
}

} // namespace

SerialPort::~SerialPort() {
    close();
}

PortOpenResult SerialPort::open(const std::string& path) {
    close();
    int fd = open_exclusive(path, &exclusive_);
    if (fd < 0) {
        return PortOpenResult::AccessFailed;
    }
    if (!apply_line_settings(fd)) {
        close_exclusive(fd, exclusive_);
        exclusive_ = false;
        return PortOpenResult::SettingsFailed;
    }
    // Whatever waited in the device from before this open answers nothing of ours.
    tcflush(fd, TCIFLUSH);
    fd_ = fd;
    return PortOpenResult::Ok;
}

void SerialPort::close() {
    if (fd_ >= 0) {
        close_exclusive(fd_, exclusive_);
        fd_ = -1;
        exclusive_ = false;
    }
}

bool SerialPort::write(std::string_view bytes) {
    if (fd_ < 0) {
        return false;
    }
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(write_ms_per_byte * bytes.size());
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false; // EIO once the other end has gone
        }
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return false;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            return false;
        }
    }
    return true;
}

int SerialPort::read_byte() {
    if (fd_ < 0) {
        return -1;
    }
    if (seen_empty_) {
        // Saves the idle loop one system call per pass; the next wait sees any new byte.
        seen_empty_ = false;
        return -1;
    }
    unsigned char c = 0;
    ssize_t n = ::read(fd_, &c, 1);
    return n == 1 ? c : -1;
}

void SerialPort::wait_readable(uint32_t timeout_ms) {
    if (fd_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    auto start = std::chrono::steady_clock::now();
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout_ms));
    seen_empty_ = r == 0;
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // A hung-up line reports at once and forever; without this the loop would spin.
        auto spent = std::chrono::steady_clock::now() - start;
        auto left = std::chrono::milliseconds(timeout_ms) - spent;
        if (left > std::chrono::milliseconds(0)) {
            std::this_thread::sleep_for(left);
        }
    }
}

bool probe_com_port(uint32_t port) {
    bool exclusive = false;
    int fd = open_exclusive(com_port_path(port), &exclusive);
    if (fd < 0) {
        return false;
    }
    close_exclusive(fd, exclusive);
    return true;
}
