#include "platform/port_binding.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string real_path(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

std::string link_text(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string first_link_to(const std::string& dir, const std::string& node) {
    std::string wanted = real_path(node);
    std::string found;
    DIR* d = ::opendir(dir.c_str());
    if (!d || wanted.empty()) {
        if (d) {
            ::closedir(d);
        }
        return found;
    }
    // The smallest name among several, so that the choice does not depend on directory order.
    while (const dirent* e = ::readdir(d)) {
        std::string path = dir + "/" + e->d_name;
        if (e->d_name[0] != '.' && real_path(path) == wanted && (found.empty() || path < found)) {
            found = path;
        }
    }
    ::closedir(d);
    return found;
}

std::string entry_path(const std::string& dir, uint32_t n) {
    return dir + "/COM" + std::to_string(n);
}

bool entry_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool make_dirs(const std::string& dir, std::error_code* error) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                *error = std::error_code(errno, std::generic_category());
                return false;
            }
        }
    }
    return true;
}

// The number already holding `target`, else preferred when free, else the lowest free one.
uint32_t choose_number(const std::string& dir, const std::string& target, uint32_t preferred,
                       bool* existing) {
    *existing = false;
    for (const PortEntry& e : mapped_ports(dir)) {
        if (e.target == target) {
            *existing = true;
            return e.number;
        }
    }
    if (preferred >= 1 && preferred <= highest_com_port &&
        !entry_exists(entry_path(dir, preferred))) {
        return preferred;
    }
    for (uint32_t n = 1; n <= highest_com_port; ++n) {
        if (!entry_exists(entry_path(dir, n))) {
            return n;
        }
    }
    return 0;
}

} // namespace

std::string stable_name(const SystemPort& port) {
    if (!port.by_id.empty()) {
        return port.by_id;
    }
    return port.by_path.empty() ? port.node : port.by_path;
}

std::string port_label(const SystemPort& port) {
    std::string label = stable_name(port);
    std::string details;
    for (const std::string* part : {&port.description, &port.manufacturer}) {
        if (!part->empty() && details.find(*part) == std::string::npos) {
            details += (details.empty() ? "" : ", ") + *part;
        }
    }
    if (!port.serial_number.empty()) {
        details += (details.empty() ? "serial " : ", serial ") + port.serial_number;
    }
    return details.empty() ? label : label + " (" + details + ")";
}

void find_stable_names(SystemPort& port, const std::string& by_id_dir,
                       const std::string& by_path_dir) {
    port.by_id = first_link_to(by_id_dir, port.node);
    port.by_path = first_link_to(by_path_dir, port.node);
}

std::vector<PortEntry> mapped_ports(const std::string& dir) {
    std::vector<PortEntry> out;
    for (uint32_t n = 1; n <= highest_com_port; ++n) {
        std::string path = entry_path(dir, n);
        if (!entry_exists(path)) {
            continue;
        }
        PortEntry e{n, link_text(path)};
        if (e.target.empty()) {
            if (std::optional<TcpEndpoint> tcp = read_tcp_entry(path)) {
                e.target = tcp_endpoint_text(*tcp);
            }
        }
        out.push_back(e);
    }
    return out;
}

uint32_t bind_port(const std::string& dir, const SystemPort& port, uint32_t preferred,
                   std::error_code* error) {
    if (!make_dirs(dir, error)) {
        return 0;
    }
    std::string target = stable_name(port);
    bool existing = false;
    uint32_t n = choose_number(dir, target, preferred, &existing);
    if (n == 0) {
        *error = std::make_error_code(std::errc::no_space_on_device);
        return 0;
    }
    if (!existing && ::symlink(target.c_str(), entry_path(dir, n).c_str()) != 0) {
        *error = std::error_code(errno, std::generic_category());
        return 0;
    }
    return n;
}

uint32_t bind_tcp_endpoint(const std::string& dir, const TcpEndpoint& endpoint, uint32_t preferred,
                           std::error_code* error) {
    if (!make_dirs(dir, error)) {
        return 0;
    }
    std::string text = tcp_endpoint_text(endpoint);
    bool existing = false;
    uint32_t n = choose_number(dir, text, preferred, &existing);
    if (n == 0) {
        *error = std::make_error_code(std::errc::no_space_on_device);
        return 0;
    }
    if (existing) {
        return n;
    }
    std::string path = entry_path(dir, n);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = std::error_code(errno, std::generic_category());
        return 0;
    }
    text += "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!ok) {
        *error = std::make_error_code(std::errc::io_error);
        ::unlink(path.c_str());
        return 0;
    }
    return n;
}
