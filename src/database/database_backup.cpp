#include "database/database_backup.h"

#include "platform/file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local std::optional<BackupResult> last_failure;

struct Parts {
    std::string folder; // with its trailing slash, or empty
    std::string base;
};

Parts split(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {"", path};
    }
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        ::realpath(path.c_str(), buffer) != nullptr) {
        return buffer;
    }
    return path;
}

// The time and sequence number of one of base's copies, from its name.
struct Stamp {
    std::time_t time;
    int sequence;
    std::string name;
};

std::optional<Stamp> parse_name(const std::string& name, const std::string& base) {
    if (name.size() <= base.size() + 1 || name.compare(0, base.size(), base) != 0 ||
        name[base.size()] != '.') {
        return std::nullopt;
    }
    std::tm tm{};
    int sequence = 0;
    int consumed = 0;
    const char* rest = name.c_str() + base.size() + 1;
    if (std::sscanf(rest, "%4d-%2d-%2d_%2d-%2d-%2dZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
        consumed != 20) {
        return std::nullopt;
    }
    rest += consumed;
    if (*rest == '-') {
        char* end = nullptr;
        sequence = static_cast<int>(std::strtol(rest + 1, &end, 10));
        if (sequence < 2 || *end != '\0') {
            return std::nullopt;
        }
    } else if (*rest != '\0') {
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return Stamp{timegm(&tm), sequence, name};
}

// base's copies in the folder, oldest first.
std::vector<Stamp> copies(const std::string& folder, const std::string& base) {
    std::vector<Stamp> found;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return found;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (auto stamp = parse_name(entry->d_name, base)) {
            found.push_back(*stamp);
        }
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(), [](const Stamp& a, const Stamp& b) {
        return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
    });
    return found;
}

// Through a temporary name, so that a copy cut short never looks like a backup.
bool copy_file(const std::string& from, const std::string& to, const std::string& folder) {
    File in = File::open_read(from);
    struct stat st {};
    if (!in.is_open() || ::fstat(in.fd(), &st) != 0) {
        return false;
    }
    std::string temp = folder + ".copy.XXXXXX";
    File out = File::create_temporary(temp);
    if (!out.is_open()) {
        return false;
    }
    bool ok = true;
    char buffer[1 << 16];
    for (;;) {
        const long n = in.read(buffer, sizeof buffer);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!out.write(std::string_view(buffer, static_cast<size_t>(n)))) {
            ok = false;
            break;
        }
    }
    ok = ok && out.set_mode(st.st_mode & 07777) && out.flush();
    ok = out.close() && ok;
    ok = ok && rename_file(temp, to);
    if (!ok) {
        const int error = errno;
        remove_file(temp);
        errno = error;
    }
    return ok;
}

BackupResult failed(const std::string& reason) {
    BackupResult result{false, {}, reason};
    last_failure = result;
    return result;
}

int count_key_lines(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        return 0;
    }
    // A key line begins with the keyword KEY and a tab, at the start of the file or of a line.
    int count = 0;
    int state = 1; // characters of "\nKEY\t" matched so far; the file's start counts as "\n"
    const char pattern[] = "\nKEY\t";
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        for (size_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == pattern[state]) {
                if (++state == 5) {
                    ++count;
                    state = 0;
                }
            } else {
                state = c == '\n' ? 1 : 0;
            }
        }
    }
    std::fclose(file);
    return count;
}

} // namespace

BackupResult back_up_database_file(const std::string& path) {
    const std::string file = resolved(path);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const Parts parts = split(file);
    const std::string folder = parts.folder + backup_folder_name + "/";
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        return failed(std::strerror(errno));
    }

    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%SZ", &tm);
    std::string name = parts.base + "." + stamp;
    std::string copy = folder + name;
    // A second save within the same second gets the next sequence number.
    for (int sequence = 2; ::access(copy.c_str(), F_OK) == 0; ++sequence) {
        copy = folder + name + "-" + std::to_string(sequence);
    }
    // The save puts a new file in the old one's place, so a second name for the old one is
    // a complete copy that costs nothing; where links are not allowed, the bytes are copied.
    if (::link(file.c_str(), copy.c_str()) != 0 && !copy_file(file, copy, folder)) {
        return failed(std::strerror(errno));
    }

    std::vector<Stamp> kept = copies(folder, parts.base);
    for (size_t i = 0; i + backups_kept < kept.size(); ++i) {
        remove_file(folder + kept[i].name);
    }
    return {true, copy, {}};
}

std::optional<BackupResult> take_backup_failure() {
    std::optional<BackupResult> result = std::move(last_failure);
    last_failure.reset();
    return result;
}

std::vector<DatabaseBackup> list_database_backups(const std::string& path) {
    const Parts parts = split(resolved(path));
    const std::string folder = parts.folder + backup_folder_name + "/";
    std::vector<DatabaseBackup> list;
    std::vector<Stamp> found = copies(folder, parts.base);
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        const std::string copy = folder + it->name;
        list.push_back({copy, it->time, count_key_lines(copy)});
    }
    return list;
}
