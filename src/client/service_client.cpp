#include "client/service_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

std::string default_socket_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') {
        return {};
    }
    return std::string(runtime) + "/tessary/tessaryd.sock";
}

std::string json_quoted(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

ServiceClient::~ServiceClient() {
    close();
}

bool ServiceClient::connect(const std::string& path) {
    close();
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        return false;
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    return true;
}

void ServiceClient::close() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    buffer_.clear();
}

std::optional<uint64_t> ServiceClient::send(const std::string& fields) {
    if (fd_ < 0) {
        return std::nullopt;
    }
    const uint64_t id = next_id_++;
    const std::string line = "{\"id\": " + std::to_string(id) + ", " + fields + "}\n";
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            close();
            return std::nullopt;
        }
        sent += static_cast<size_t>(n);
    }
    return id;
}

bool ServiceClient::read_some(int timeout_ms) {
    if (fd_ < 0) {
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    const int polled = ::poll(&p, 1, timeout_ms);
    if (polled <= 0) {
        return polled == 0 || errno == EINTR;
    }
    char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        const std::string left = buffer_;
        close();
        buffer_ = left; // lines already come are still read
        return false;
    }
    if (n > 0) {
        buffer_.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

bool ServiceClient::take_available() {
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) {
            return true;
        }
        if (!read_some(0)) {
            return false;
        }
    }
    return false;
}

std::optional<JsonValue> ServiceClient::ready() {
    for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
        const std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        std::string error;
        if (std::optional<JsonValue> v = parse_json(line, &error)) {
            return v;
        }
    }
    return std::nullopt;
}

std::optional<JsonValue> ServiceClient::next(int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
        if (std::optional<JsonValue> v = ready()) {
            return v;
        }
        int wait = -1;
        if (timeout_ms >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
            if (left <= 0) {
                return std::nullopt;
            }
            wait = static_cast<int>(left);
        }
        if (!read_some(wait) && fd_ < 0 && buffer_.find('\n') == std::string::npos) {
            return std::nullopt;
        }
    }
}

std::optional<JsonValue>
ServiceClient::request(const std::string& fields, int timeout_ms,
                       const std::function<void(const JsonValue&)>& other) {
    const std::optional<uint64_t> id = send(fields);
    if (!id) {
        return std::nullopt;
    }
    while (std::optional<JsonValue> v = next(timeout_ms)) {
        const JsonValue* answer_id = v->member("id");
        if (answer_id && answer_id->text == std::to_string(*id) && v->member("ok")) {
            return v;
        }
        if (other) {
            other(*v);
        }
    }
    return std::nullopt;
}

std::string json_text_of(const JsonValue& v, const std::string& name) {
    const JsonValue* m = v.member(name);
    return m && m->type == JsonValue::Type::String ? m->text : std::string();
}

bool json_ok(const JsonValue& v) {
    const JsonValue* ok = v.member("ok");
    return ok && ok->type == JsonValue::Type::Bool && ok->boolean;
}

std::optional<std::vector<ServedEntry>> ServiceClient::list(int timeout_ms) {
    std::optional<JsonValue> answer = request("\"op\": \"list\"", timeout_ms);
    const JsonValue* items = answer ? answer->member("controllers") : nullptr;
    if (!answer || !json_ok(*answer) || !items) {
        return std::nullopt;
    }
    std::vector<ServedEntry> served;
    for (const JsonValue& item : items->items) {
        ServedEntry e;
        e.database = json_text_of(item, "database");
        const std::string port = json_text_of(item, "port");
        if (port.rfind("COM", 0) == 0) {
            e.port = static_cast<unsigned>(std::strtoul(port.c_str() + 3, nullptr, 10));
        }
        e.state = json_text_of(item, "state");
        e.model = json_text_of(item, "model");
        e.reason = json_text_of(item, "reason");
        served.push_back(std::move(e));
    }
    return served;
}

namespace {

std::string canonical(const std::string& path) {
    std::error_code error;
    std::filesystem::path p = std::filesystem::weakly_canonical(path, error);
    return error ? path : p.string();
}

} // namespace

const ServedEntry* served_database(const std::vector<ServedEntry>& served,
                                   const std::string& path) {
    const std::string wanted = canonical(path);
    for (const ServedEntry& e : served) {
        if (canonical(e.database) == wanted) {
            return &e;
        }
    }
    return nullptr;
}

const ServedEntry* served_port(const std::vector<ServedEntry>& served, unsigned port) {
    for (const ServedEntry& e : served) {
        if (port != 0 && e.port == port) {
            return &e;
        }
    }
    return nullptr;
}
