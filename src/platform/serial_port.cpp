#include "platform/serial_port.h"

#include "platform/port_map.h"
#include "platform/tcp_port.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// A socket whose peer has gone would raise SIGPIPE on write(); send() can refuse that.
ssize_t send_or_write(int fd, bool socket, const void* data, size_t size) {
    return socket ? ::send(fd, data, size, MSG_NOSIGNAL) : ::write(fd, data, size);
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

std::error_code request_low_latency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return errno_code(); // a pseudo-terminal has no such settings (ENOTTY or EINVAL)
    }
    if (serial.flags & ASYNC_LOW_LATENCY) {
        return {};
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) {
        return errno_code();
    }
    return {};
}

FdChannel::~FdChannel() {
    FdChannel::close();
}

void FdChannel::adopt(int fd) {
    fd_ = fd;
    // Asked once: a failed send() before every write would cost a serial line a system call
    // per byte.
    struct stat st {};
    socket_ = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    broken_ = false;
    in_pos_ = in_len_ = 0;
    last_error_.clear();
}

void FdChannel::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    in_pos_ = in_len_ = 0;
}

void FdChannel::fail(std::error_code cause) {
    last_error_ = cause;
    broken_ = true;
}

SerialPort::~SerialPort() {
    close();
}

PortOpenResult SerialPort::open(const std::string& path) {
    close();
    PortOpenResult result;
    result.path = path;
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
    // A USB adapter otherwise holds received bytes for its latency timer (16 ms as a rule), and
    // an RD-03 sends each byte only after the echo of the one before. A device that has no such
    // mode is served as it is.
    low_latency_ = !request_low_latency(fd);
    // Whatever waited in the device from before this open answers nothing of ours.
    tcflush(fd, TCIFLUSH);
    adopt(fd);
    return result;
}

void SerialPort::close() {
    if (fd_ >= 0) {
        close_exclusive(fd_, exclusive_);
        fd_ = -1;
        exclusive_ = false;
    }
    low_latency_ = false;
    FdChannel::close();
}

namespace {

// The device itself rather than the port folder's link to it: the node whose group counts.
std::string device_behind(const std::string& path) {
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real)) {
        return real;
    }
    return path;
}

struct DeviceGroup {
    gid_t gid = 0;
    std::string name;
};

DeviceGroup group_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {static_cast<gid_t>(-1), "dialout"}; // where Debian puts serial devices
    }
    std::vector<char> buf(4096);
    group g{};
    group* found = nullptr;
    if (getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) != 0 || !found) {
        return {st.st_gid, std::to_string(st.st_gid)};
    }
    return {st.st_gid, found->gr_name};
}

std::string permission_message(const std::string& path) {
    const std::string device = device_behind(path);
    const DeviceGroup group = group_of(device);
    const std::string denied =
        "Couldn't gain access to the COM port: permission denied on " + device + ".\n";
    // Joining root's group would hand the user far more than a serial line; that is not advice
    // to give, only a matter for whoever runs the machine.
    if (group.gid == 0) {
        return denied + "The device is not open to this user. Ask an administrator to give you "
                        "access to it.";
    }
    return denied + "The device belongs to the group \"" + group.name +
           "\". To use it, add yourself to that group:\n\n    sudo usermod -aG " + group.name +
           " $USER\n\nthen log out and log in again.";
}

std::string tcp_message(const PortOpenResult& result) {
    const std::string where = "Couldn't connect to the controller at " + result.path.substr(4);
    if (result.stage == PortOpenResult::HostNotFound) {
        std::optional<TcpEndpoint> endpoint = parse_tcp_endpoint(result.path);
        return where + ". Is the host name right?\nReason: Host not found: " +
               (endpoint ? endpoint->host : result.path);
    }
    return where +
           ". Is the device server switched on and reachable?\nReason: " + result.error.message();
}

std::string dangling_target(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    target[n] = 0;
    return target;
}

} // namespace

std::string port_open_message(const PortOpenResult& result) {
    const std::string access =
        "Couldn't gain access to the COM port. Is another application using it?";
    switch (result.stage) {
    case PortOpenResult::Ok:
        return {};
    case PortOpenResult::SettingsFailed: {
        std::string text = "Couldn't set the COM parameters. Is it the right COM port?";
        if (result.error) {
            text += "\nReason: " + result.error.message();
        }
        return text;
    }
    case PortOpenResult::MalformedEntry:
        return "Couldn't gain access to the COM port: " + result.path +
               " is a malformed port entry.\nA port entry that is a file must hold "
               "tcp:HOST:PORT, for example tcp:192.168.1.20:4001.";
    case PortOpenResult::HostNotFound:
        return tcp_message(result);
    case PortOpenResult::AccessFailed:
        break;
    }
    if (result.held_elsewhere() || !result.error) {
        return access;
    }
    if (result.path.rfind("tcp:", 0) == 0) {
        return tcp_message(result);
    }
    if (result.error == std::errc::permission_denied ||
        result.error == std::errc::operation_not_permitted) {
        return permission_message(result.path);
    }
    if (result.error == std::errc::no_such_file_or_directory ||
        result.error == std::errc::no_such_device) {
        std::string text =
            "Couldn't gain access to the COM port: there is no device " + result.path + ".";
        if (std::string target = dangling_target(result.path); !target.empty()) {
            text += "\nIt points to " + target + ", which is not there. Is the adapter plugged in?";
        }
        return text;
    }
    return access + "\nReason: " + result.error.message();
}

bool FdChannel::write(std::string_view bytes) {
    if (fd_ < 0) {
        return false;
    }
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(write_ms_per_byte * bytes.size());
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send_or_write(fd_, socket_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            fail(errno_code()); // EIO once the other end has gone, EPIPE or ECONNRESET on a socket
            return false;
        }
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            last_error_ = std::make_error_code(std::errc::timed_out);
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            fail(errno_code());
            return false;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            fail(std::make_error_code(std::errc::io_error));
            return false;
        }
    }
    last_error_.clear();
    return true;
}

int FdChannel::read_byte() {
    if (fd_ < 0) {
        return -1;
    }
    if (in_pos_ == in_len_) {
        ssize_t n = ::read(fd_, in_, sizeof in_);
        if (n == 0 && !isatty(fd_)) {
            // A socket whose other end closed; a terminal reads 0 when merely idle.
            fail(std::make_error_code(std::errc::connection_reset));
            return -1;
        }
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                fail(errno_code());
            }
            return -1;
        }
        in_pos_ = 0;
        in_len_ = static_cast<size_t>(n);
    }
    return in_[in_pos_++];
}

void FdChannel::wait_readable(uint32_t timeout_ms) {
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
