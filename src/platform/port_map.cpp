#include "platform/port_map.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string home_dir() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return {};
}

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path (relative
// values are to be ignored), else ~/.config.
std::string config_dir() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        return xdg;
    }
    return home_dir() + "/.config";
}

bool entry_exists(const std::string& path) {
    struct stat st {};
    // lstat: a dangling symlink still names the user's choice; opening it then fails with the
    // access message instead of silently falling back to a built-in UART.
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

std::string com_port_dir() {
    if (const char* dir = std::getenv("TESSARY_PORT_DIR"); dir && *dir) {
        return dir;
    }
    return config_dir() + "/tessary/ports";
}

std::string com_port_path(uint32_t port) {
    std::string name = "COM" + std::to_string(port);
    if (const char* dir = std::getenv("TESSARY_PORT_DIR"); dir && *dir) {
        return std::string(dir) + "/" + name;
    }
    std::string mapped = config_dir() + "/tessary/ports/" + name;
    if (entry_exists(mapped)) {
        return mapped;
    }
    return "/dev/ttyS" + std::to_string(port == 0 ? 0 : port - 1);
}
