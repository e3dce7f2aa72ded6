#include "database/database_backup.h"

#include "platform/file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

IoResult first_failure(IoResult a, IoResult b) {
    return a ? b : a;
}

// Through a temporary name, so that a copy cut short never looks like a backup.
IoResult copy_file(const std::string& from, const std::string& to, const std::string& folder) {
    File in = File::open_read(from);
    if (!in.is_open()) {
        return in.open_error();
    }
    std::string temp = folder + ".copy.XXXXXX";
    File out = File::create_temporary(temp);
    if (!out.is_open()) {
        return out.open_error();
    }
    IoResult result = out.copy_from(in);
    if (result) {
        result = out.set_mode(mode_beside(from));
    }
    if (result) {
        result = out.flush();
    }
    result = first_failure(result, out.close());
    if (result) {
        result = rename_file(temp, to);
    }
    if (!result) {
        remove_file(temp);
    }
    return result;
}

// A name for a new copy of base's file in folder, from the time now.
std::string new_copy_name(const std::string& folder, const std::string& base) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%SZ", &tm);
    const std::string name = folder + base + "." + stamp;
    std::string copy = name;
    // A second save within the same second gets the next sequence number.
    for (int sequence = 2; ::access(copy.c_str(), F_OK) == 0; ++sequence) {
        copy = name + "-" + std::to_string(sequence);
    }
    return copy;
}

// Copies `file` into `folder` (no trailing slash), made private first, as a copy of base; on
// success `copy` names it. A second name of the old file would do where the save replaces it
// by a rename, and costs nothing.
IoResult keep_copy(const std::string& file, const std::string& folder, const Parts& parts,
                   bool may_link, bool parents, std::string& copy) {
    if (IoResult made = make_private_folder(folder, parents); !made) {
        return made;
    }
    const std::string inside = folder + "/";
    remove_leftovers(inside, ".copy.");
    copy = new_copy_name(inside, parts.base);
    if (!may_link || ::link(file.c_str(), copy.c_str()) != 0) {
        if (IoResult copied = copy_file(file, copy, inside); !copied) {
            return copied;
        }
    }
    // Older copies may have been made while the database was open to more people.
    const unsigned mode = mode_beside(file);
    std::vector<Stamp> kept = copies(inside, parts.base);
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i + backups_kept < kept.size()) {
            remove_file(inside + kept[i].name);
        } else {
            File::open_beside(inside + kept[i].name, O_RDONLY, mode);
        }
    }
    return {};
}

std::string absolute_folder(const Parts& parts) {
    char buffer[PATH_MAX];
    const std::string folder = parts.folder.empty() ? std::string(".") : parts.folder;
    if (::realpath(folder.c_str(), buffer) != nullptr) {
        return buffer;
    }
    return folder[0] == '/' ? folder : "/" + folder;
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
    const std::string folder = parts.folder + backup_folder_name;
    std::string copy;
    if (IoResult kept = keep_copy(file, folder, parts, true, false, copy); !kept) {
        BackupResult result{false, {}, folder + ": " + kept.reason(), kept.error()};
        last_failure = result;
        return result;
    }
    return {true, copy, {}, {}};
}

std::string state_backup_folder(const std::string& path) {
    std::string folder = absolute_folder(split(resolved(path)));
    return user_state_folder() + "/backups" + (folder == "/" ? std::string() : folder);
}

BackupResult copy_before_writing_in_place(const std::string& path) {
    const std::string file = resolved(path);
    const Parts parts = split(file);
    const std::string beside = parts.folder + backup_folder_name;
    std::string copy;
    IoResult kept = keep_copy(file, beside, parts, false, false, copy);
    if (kept) {
        return {true, copy, {}, {}};
    }
    const std::string own = state_backup_folder(file);
    IoResult kept_own = keep_copy(file, own, parts, false, true, copy);
    if (kept_own) {
        return {true, copy, {}, {}};
    }
    return {false,
            {},
            "No copy of the old file could be kept before writing over it (" + beside + ": " +
                kept.reason() + "; " + own + ": " + kept_own.reason() + ")",
            kept_own.error()};
}

std::optional<BackupResult> take_backup_failure() {
    std::optional<BackupResult> result = std::move(last_failure);
    last_failure.reset();
    return result;
}

std::vector<DatabaseBackup> list_database_backups(const std::string& path) {
    const Parts parts = split(resolved(path));
    std::vector<std::pair<Stamp, std::string>> found;
    for (const std::string& folder :
         {parts.folder + backup_folder_name + "/", state_backup_folder(path) + "/"}) {
        for (Stamp& stamp : copies(folder, parts.base)) {
            found.emplace_back(std::move(stamp), folder);
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first.time != b.first.time ? a.first.time > b.first.time
                                            : a.first.sequence > b.first.sequence;
    });
    std::vector<DatabaseBackup> list;
    for (const auto& [stamp, folder] : found) {
        const std::string copy = folder + stamp.name;
        list.push_back({copy, stamp.time, count_key_lines(copy)});
    }
    return list;
}
