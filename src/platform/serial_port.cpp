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
int open_exclusive(const std::string& path, bool* exclusive, std::error_code* error) {
    *exclusive = false;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // TIOCEXCL held by another program refuses the open with EBUSY.
        *error = std::error_code(errno, std::generic_category());
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // A lock held elsewhere is the same cause as an exclusive terminal: a busy device.
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        *error = std::error_code(e, std::generic_category());
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

std::error_code errno_code() {
    return std::error_code(errno, std::generic_category());
}

std::error_code apply_line_settings(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return errno_code();
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    // Reads return at once with what has arrived, possibly nothing.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B9600) != 0 || cfsetospeed(&tio, B9600) != 0) {
        return errno_code();
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return errno_code();
    }
    // Raise DTR and RTS; a pseudo-terminal has no modem lines (ENOTTY/EINVAL), which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    return {};
}

} // namespace

SerialPort::~SerialPort() {
    close();
}

PortOpenResult SerialPort::open(const std::string& path) {
    close();
    PortOpenResult result;
    int fd = open_exclusive(path, &exclusive_, &result.error);
    if (fd < 0) {
        result.stage = PortOpenResult::AccessFailed;
        return result;
    }
    result.error = apply_line_settings(fd);
    if (result.error) {
        close_exclusive(fd, exclusive_);
        exclusive_ = false;
        result.stage = PortOpenResult::SettingsFailed;
        return result;
    }
    // Whatever waited in the device from before this open answers nothing of ours.
    tcflush(fd, TCIFLUSH);
    fd_ = fd;
    in_pos_ = in_len_ = 0;
    last_error_.clear();
    return result;
}

std::string port_open_message(const PortOpenResult& result) {
    std::string text;
    switch (result.stage) {
    case PortOpenResult::Ok:
        return text;
    case PortOpenResult::AccessFailed:
        text = "Couldn't gain access to the COM port. Is another application using it?";
        break;
    case PortOpenResult::SettingsFailed:
        text = "Couldn't set the COM parameters. Is it the right COM port?";
        break;
    }
    // A busy device is what the access message already says.
    if (result.error && !result.held_elsewhere()) {
        text += "\nReason: " + result.error.message();
    }
    return text;
}

void SerialPort::close() {
    if (fd_ >= 0) {
        close_exclusive(fd_, exclusive_);
        fd_ = -1;
        exclusive_ = false;
        in_pos_ = in_len_ = 0;
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
            last_error_ = errno_code(); // EIO once the other end has gone
            return false;
        }
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            last_error_ = std::make_error_code(std::errc::timed_out);
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            last_error_ = errno_code();
            return false;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            last_error_ = std::make_error_code(std::errc::io_error);
            return false;
        }
    }
    last_error_.clear();
    return true;
}

int SerialPort::read_byte() {
    if (fd_ < 0) {
        return -1;
    }
    if (in_pos_ == in_len_) {
        ssize_t n = ::read(fd_, in_, sizeof in_);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                last_error_ = errno_code();
            }
            return -1;
        }
        in_pos_ = 0;
        in_len_ = static_cast<size_t>(n);
    }
    return in_[in_pos_++];
}

void SerialPort::wait_readable(uint32_t timeout_ms) {
    if (fd_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    if (in_pos_ < in_len_) {
        return; // read ahead already
    }
    auto start = std::chrono::steady_clock::now();
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(timeout_ms));
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
    std::error_code error;
    int fd = open_exclusive(com_port_path(port), &exclusive, &error);
    if (fd < 0) {
        return false;
    }
    close_exclusive(fd, exclusive);
    return true;
}
