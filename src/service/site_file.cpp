#include "service/site_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr const char* mqtt_keys[] = {"mqtt", "mqtt_user", "mqtt_password_file", "mqtt_ca_file",
                                     "mqtt_doors"};

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return {};
    }
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

bool is_mqtt_key(const std::string& key) {
    for (const char* k : mqtt_keys) {
        if (key == k) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string default_site_path() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/') {
        return std::string(config) + "/tessary/site.conf";
    }
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/tessary/site.conf";
}

SiteConfig parse_site(const std::string& text, const std::string& file_name,
                      SiteProblems* problems) {
    SiteConfig site;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    auto problem = [&](const std::string& what) {
        if (problems) {
            problems->lines.push_back(file_name + ":" + std::to_string(number) + ": " + what);
        }
    };
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = trimmed(raw);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            problem("expected 'key = value'");
            continue;
        }
        const std::string key = trimmed(line.substr(0, eq));
        const std::string value = trimmed(line.substr(eq + 1));
        if (value.empty()) {
            problem("'" + key + "' has no value");
        } else if (key == "name") {
            site.name = value;
        } else if (key == "database") {
            // A relative path is taken from the site file's folder, not the service's.
            const size_t slash = file_name.rfind('/');
            site.databases.push_back(value[0] == '/' || slash == std::string::npos
                                         ? value
                                         : file_name.substr(0, slash + 1) + value);
        } else if (is_mqtt_key(key)) {
            site.mqtt[key] = value;
        } else {
            problem("unknown key '" + key + "'");
        }
    }
    if (site.name.empty()) {
        site.name = host_name();
    }
    return site;
}

std::optional<SiteConfig> read_site_file(const std::string& path, SiteProblems* problems,
                                         std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_site(text.str(), path, problems);
}
