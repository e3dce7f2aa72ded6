#include "platform/tcp_port.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string_view trimmed(std::string_view s) {
    const char* space = " \t\r\n";
    size_t b = s.find_first_not_of(space);
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(space) - b + 1);
}

std::error_code errno_code() {
    return std::error_code(errno, std::generic_category());
}

// One address: a non-blocking connect that gives up after the time-out.
int connect_to(const addrinfo* ai, std::error_code* error) {
    int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *error = errno_code();
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
        *error = errno_code();
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, TcpPort::connect_timeout_ms);
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (r <= 0) {
        *error = r == 0 ? std::make_error_code(std::errc::timed_out) : errno_code();
        ::close(fd);
        return -1;
    }
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 || so_error != 0) {
        *error = std::error_code(so_error ? so_error : errno, std::generic_category());
        ::close(fd);
        return -1;
    }
    // Each command byte of a paced unit must leave at once, not wait for company.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A name that does not resolve (none such, or no name server to ask) is told apart from an
// address that does not answer; the resolver's other failures keep their own cause.
void resolve_failure(int rc, PortOpenResult* result) {
    result->stage = PortOpenResult::AccessFailed;
    switch (rc) {
    case EAI_NONAME:
    case EAI_AGAIN:
    case EAI_FAIL:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
        result->stage = PortOpenResult::HostNotFound; // the name says it all
        break;
    case EAI_SYSTEM:
        result->error = errno_code();
        break;
    case EAI_MEMORY:
        result->error = std::make_error_code(std::errc::not_enough_memory);
        break;
    default:
        result->error = std::make_error_code(std::errc::invalid_argument);
        break;
    }
}

enum class EntryRead { NotAFile, Endpoint, Malformed, Failed };

// What a port folder entry holds when it is a file: a device node is never read here, since
// opening one has effects of its own.
EntryRead read_entry(const std::string& path, std::optional<TcpEndpoint>* endpoint,
                     std::error_code* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return EntryRead::NotAFile;
    }
    if (st.st_size > 512) {
        return EntryRead::Malformed;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno_code();
        return EntryRead::Failed;
    }
    char text[513];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    *error = n < 0 ? errno_code() : std::error_code();
    ::close(fd);
    if (n < 0) {
        return EntryRead::Failed;
    }
    *endpoint = parse_tcp_endpoint(std::string_view(text, static_cast<size_t>(n)));
    return *endpoint ? EntryRead::Endpoint : EntryRead::Malformed;
}

} // namespace

std::optional<TcpEndpoint> parse_tcp_endpoint(std::string_view text) {
    text = trimmed(text);
    if (text.substr(0, 4) != "tcp:") {
        return std::nullopt;
    }
    text.remove_prefix(4);
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) {
        return std::nullopt;
    }
    std::string_view host = text.substr(0, colon);
    std::string_view port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return std::nullopt;
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt; // an IPv6 address needs its brackets
    }
    uint32_t number = 0;
    for (char c : port) {
        if (c < '0' || c > '9' || number > 65535) {
            return std::nullopt;
        }
        number = number * 10 + static_cast<uint32_t>(c - '0');
    }
    if (number == 0 || number > 65535) {
        return std::nullopt;
    }
    return TcpEndpoint{std::string(host), static_cast<uint16_t>(number)};
}

std::string tcp_endpoint_text(const TcpEndpoint& endpoint) {
    bool v6 = endpoint.host.find(':') != std::string::npos;
    return "tcp:" + (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" +
           std::to_string(endpoint.port);
}

PortOpenResult TcpPort::open(const TcpEndpoint& endpoint) {
    close();
    PortOpenResult result;
    result.path = tcp_endpoint_text(endpoint);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::string service = std::to_string(endpoint.port);
    if (int rc = getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        resolve_failure(rc, &result);
        return result;
    }
    int fd = -1;
    for (const addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
        fd = connect_to(ai, &result.error);
    }
    freeaddrinfo(list);
    if (fd < 0) {
        result.stage = PortOpenResult::AccessFailed;
        return result;
    }
    result.error.clear();
    adopt(fd);
    return result;
}

std::optional<TcpEndpoint> read_tcp_entry(const std::string& path) {
    std::optional<TcpEndpoint> endpoint;
    std::error_code error;
    read_entry(path, &endpoint, &error);
    return endpoint;
}

std::unique_ptr<FdChannel> open_port_entry(const std::string& path, PortOpenResult* result) {
    std::optional<TcpEndpoint> endpoint;
    std::error_code error;
    switch (read_entry(path, &endpoint, &error)) {
    case EntryRead::Endpoint: {
        auto tcp = std::make_unique<TcpPort>();
        *result = tcp->open(*endpoint);
        return *result ? std::move(tcp) : nullptr;
    }
    case EntryRead::Malformed:
        // A text file is no serial line: opened as one it would only say the ioctl failed.
        *result = {PortOpenResult::MalformedEntry,
                   std::make_error_code(std::errc::invalid_argument), path};
        return nullptr;
    case EntryRead::Failed:
        *result = {PortOpenResult::AccessFailed, error, path};
        return nullptr;
    case EntryRead::NotAFile:
        break;
    }
    auto serial = std::make_unique<SerialPort>();
    *result = serial->open(path);
    return *result ? std::move(serial) : nullptr;
}
