#include "tcp_bridge.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Writes all of it; the relay has nowhere to keep what the other side will not take.
void write_all(int fd, const char* data, ssize_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            n = ::write(fd, data, static_cast<size_t>(size));
        }
        if (n > 0) {
            data += n;
            size -= n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return;
        }
    }
}

} // namespace

bool TcpBridge::start(uint16_t port) {
    stop();
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 1) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        stop();
        return false;
    }
    port_ = ntohs(a.sin_port);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
    return true;
}

void TcpBridge::stop() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
        thread_.join();
    }
    for (int* fd : {&listen_fd_, &wake_fd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void TcpBridge::run() {
    int client = -1;
    int device = -1;
    char buf[512];
    for (;;) {
        pollfd fds[4] = {{wake_fd_, POLLIN, 0},
                         {client < 0 ? listen_fd_ : -1, POLLIN, 0},
                         {client, POLLIN, 0},
                         {device, POLLIN, 0}};
        if (poll(fds, 4, -1) < 0) {
            continue;
        }
        if (fds[0].revents) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            device = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
            termios tio{};
            if (device >= 0 && tcgetattr(device, &tio) == 0) {
                cfmakeraw(&tio);
                tcsetattr(device, TCSANOW, &tio);
            }
            if (client >= 0 && device >= 0) {
                int one = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            continue;
        }
        bool drop = false;
        if (fds[2].revents) {
            ssize_t n = ::read(client, buf, sizeof buf);
            if (n > 0) {
                write_all(device, buf, n);
            } else {
                drop = true;
            }
        }
        if (fds[3].revents & POLLIN) {
            ssize_t n = ::read(device, buf, sizeof buf);
            if (n > 0) {
                write_all(client, buf, n);
            }
        } else if (fds[3].revents) {
            drop = true;
        }
        if (drop) {
            ::close(client);
            ::close(device);
            client = device = -1;
        }
    }
    if (client >= 0) {
        ::close(client);
    }
    if (device >= 0) {
        ::close(device);
    }
}
