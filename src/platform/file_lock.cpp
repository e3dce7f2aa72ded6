#include "platform/file_lock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Step {
    Locked,
    Held,
    Again,      // the lock file went or changed under us: once more from the start
    NoLockFile, // none can be made or used here
};

struct flock whole_file(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return range;
}

bool take(int fd) {
    struct flock range = whole_file(F_WRLCK);
    return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// True when some other open file description holds a lock that ours would meet.
bool locked_elsewhere(int fd) {
    struct flock range = whole_file(F_WRLCK);
    return ::fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

bool is_regular(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Whether `path` still names the file open as fd: a holder that was releasing may have unlinked
// it, and another taker made a new one, between our open and our lock.
bool still_named(int fd, const std::string& path) {
    struct stat open_file {
    }, named{};
    return ::fstat(fd, &open_file) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

std::string this_host() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? name : std::string();
}

std::string this_program() {
    char target[4096];
    ssize_t n = ::readlink("/proc/self/exe", target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(target, static_cast<size_t>(n));
    // A replaced executable reads "/usr/bin/tessary (deleted)": still the same program.
    const std::string deleted = " (deleted)";
    if (path.ends_with(deleted)) {
        path.resize(path.size() - deleted.size());
    }
    return path.substr(path.rfind('/') + 1);
}

bool printable(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

// The holder's lines; anything but a pid and two clean lines tells nothing about it.
LockHolder read_holder(int fd) {
    char text[1024];
    ssize_t n = ::pread(fd, text, sizeof text, 0);
    if (n <= 0) {
        return {};
    }
    std::istringstream lines(std::string(text, static_cast<size_t>(n)));
    std::string pid;
    LockHolder holder;
    std::getline(lines, pid);
    std::getline(lines, holder.app_name);
    std::getline(lines, holder.host_name);
    char* end = nullptr;
    holder.pid = std::strtol(pid.c_str(), &end, 10);
    if (pid.empty() || *end != '\0' || holder.pid <= 0 || !printable(holder.app_name) ||
        !printable(holder.host_name)) {
        return {};
    }
    return holder;
}

void write_holder(int fd) {
    const std::string text =
        std::to_string(::getpid()) + "\n" + this_program() + "\n" + this_host() + "\n";
    // The lock protects with or without its text (a full disk, say): a failure is no refusal.
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
    }
}

// The permission bits a lock file may have (never wider than the database's), and the group
// that shares the database: whoever may write the database may then take its lock file too.
struct LockAccess {
    mode_t mode = 0644;
    gid_t group = static_cast<gid_t>(-1);
};

LockAccess lock_access(const std::string& database) {
    struct stat st {};
    if (::stat(database.c_str(), &st) != 0) {
        return {};
    }
    return {static_cast<mode_t>(st.st_mode & 0666), st.st_gid};
}

// A lock file of ours made or left wider than the database, or in another group, is brought in
// line; a group this user is no member of stays as it was.
void match_database(int fd, const LockAccess& access) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        return;
    }
    if (access.group != static_cast<gid_t>(-1) && st.st_gid != access.group) {
        [[maybe_unused]] int changed = ::fchown(fd, static_cast<uid_t>(-1), access.group);
    }
    if ((st.st_mode & 0777 & ~access.mode) != 0) {
        [[maybe_unused]] int changed = ::fchmod(fd, st.st_mode & access.mode);
    }
}

// A lock file this user may read but not write: honoured while locked, else made afresh.
Step test_foreign_lock_file(const std::string& path, LockHolder& holder) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // Gone meanwhile (its holder let go: once more), or never there in a folder that takes
        // no new file (the rounds of acquire run out, and the database itself is locked).
        return errno == ENOENT ? Step::Again : Step::NoLockFile;
    }
    Step step = Step::NoLockFile;
    if (is_regular(fd) && locked_elsewhere(fd)) {
        holder = read_holder(fd);
        step = Step::Held;
    } else if (is_regular(fd) && ::unlink(path.c_str()) == 0) {
        step = Step::Again;
    }
    ::close(fd);
    return step;
}

Step lock_file_step(const std::string& path, const LockAccess& access, int& fd_out,
                    LockHolder& holder) {
    int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, access.mode);
    if (fd < 0) {
        return errno == EACCES ? test_foreign_lock_file(path, holder) : Step::NoLockFile;
    }
    if (!is_regular(fd)) {
        ::close(fd);
        return Step::NoLockFile;
    }
    if (!take(fd)) {
        holder = read_holder(fd);
        ::close(fd);
        return Step::Held;
    }
    if (!still_named(fd, path)) {
        ::close(fd);
        return Step::Again;
    }
    match_database(fd, access);
    write_holder(fd);
    fd_out = fd;
    return Step::Locked;
}

// Where no lock file can be had, the database file itself carries the lock.
FileLock::Outcome lock_database_itself(const std::string& database, int& fd_out) {
    struct stat st {};
    if (::stat(database.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return FileLock::Outcome::Unavailable;
    }
    int fd = ::open(database.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A file this user may not write is never saved over: only another holder matters.
        fd = ::open(database.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const bool held = fd >= 0 && is_regular(fd) && locked_elsewhere(fd);
        if (fd >= 0) {
            ::close(fd);
        }
        return held ? FileLock::Outcome::HeldElsewhere : FileLock::Outcome::Unavailable;
    }
    if (!is_regular(fd)) {
        ::close(fd);
        return FileLock::Outcome::Unavailable;
    }
    if (!take(fd)) {
        ::close(fd);
        return FileLock::Outcome::HeldElsewhere;
    }
    fd_out = fd;
    return FileLock::Outcome::Locked;
}

// A holder of the database file itself (one that could make no lock file) excludes a holder of
// the lock file too.
bool database_itself_locked(const std::string& database) {
    int fd = ::open(database.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool held = is_regular(fd) && locked_elsewhere(fd);
    ::close(fd);
    return held;
}

std::string absolute_path(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

} // namespace

std::string lock_file_path(const std::string& database_path) {
    return database_path + ".lock";
}

std::string describe_holder(const LockHolder& holder) {
    if (holder.pid == 0) {
        return "another process";
    }
    std::string text = "process " + std::to_string(holder.pid);
    if (!holder.app_name.empty()) {
        text += " (" + holder.app_name + ")";
    }
    if (!holder.host_name.empty()) {
        text += " on host " + holder.host_name;
    }
    return text;
}

FileLock::Outcome FileLock::acquire(const std::string& database_path) {
    const std::string wanted = absolute_path(database_path);
    if (held() && wanted == database_) {
        return Outcome::Locked;
    }
    const std::string path = lock_file_path(wanted);
    holder_ = {};
    int fd = -1;
    Step step = Step::Again;
    // A few rounds at most: each Again means another process just changed the lock file.
    for (int round = 0; round < 8 && step == Step::Again; ++round) {
        step = lock_file_step(path, lock_access(wanted), fd, holder_);
    }
    if (step == Step::Again) {
        step = Step::NoLockFile;
    }
    Outcome outcome = Outcome::HeldElsewhere;
    std::string lock_path = path;
    if (step == Step::Locked && database_itself_locked(wanted)) {
        ::unlink(path.c_str());
        ::close(fd);
        fd = -1;
    } else if (step == Step::Locked) {
        outcome = Outcome::Locked;
    } else if (step == Step::NoLockFile) {
        outcome = lock_database_itself(wanted, fd);
        lock_path.clear();
    }
    if (outcome != Outcome::Locked) {
        return outcome;
    }
    release();
    fd_ = fd;
    database_ = wanted;
    lock_path_ = lock_path;
    return Outcome::Locked;
}

void FileLock::release() {
    if (fd_ < 0) {
        return;
    }
    // Unlinked while still locked: a taker that opened the old name finds it gone once it has
    // the lock, and starts again.
    if (!lock_path_.empty()) {
        ::unlink(lock_path_.c_str());
    }
    ::close(fd_);
    fd_ = -1;
    database_.clear();
    lock_path_.clear();
}
