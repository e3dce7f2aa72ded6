#include "cli/lock_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What /proc/<pid>/exe names, without its folder; empty when it cannot be read.
std::string executable_of(const std::string& pid) {
    char target[4096];
    ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(target, static_cast<size_t>(n));
    // A replaced executable reads "/usr/bin/tessary (deleted)": still the same program.
    const std::string deleted = " (deleted)";
    if (path.ends_with(deleted)) {
        path.resize(path.size() - deleted.size());
    }
    return base_name(path);
}

std::string this_host() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string first_line(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads the holder from an existing lock file; true when its flock is free (so that it may be
// stale), false when a live holder keeps it.
bool read_holder(const std::string& path, LockFileHolder& holder, bool& flock_free) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    flock_free = flock(fd, LOCK_SH | LOCK_NB) == 0;
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0 && text.size() < 8192) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    std::istringstream lines(text);
    std::string pid;
    std::getline(lines, pid);
    std::getline(lines, holder.app_name);
    std::getline(lines, holder.host_name);
    holder.pid = std::strtol(pid.c_str(), nullptr, 10);
    return true;
}

bool is_stale(const LockFileHolder& holder) {
    if (holder.pid <= 0 || holder.host_name != this_host()) {
        return false; // another machine's process cannot be looked at
    }
    if (kill(static_cast<pid_t>(holder.pid), 0) != 0 && errno == ESRCH) {
        return true;
    }
    std::string running = executable_of(std::to_string(holder.pid));
    return !running.empty() && running != holder.app_name;
}

} // namespace

std::string describe_holder(const LockFileHolder& holder) {
    if (holder.pid == 0) {
        return "another process";
    }
    return "process " + std::to_string(holder.pid) + " (" + holder.app_name + ") on host " +
           holder.host_name;
}

DatabaseLockFile::Outcome DatabaseLockFile::acquire(const std::string& database_path) {
    release();
    const std::string path = database_path + ".lock";
    holder_ = {};
    // Twice at most: once more after a stale lock file was taken away.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
                close(fd); // another program took it between the create and the flock
                break;
            }
            std::string text = std::to_string(getpid()) + "\n" +
                               executable_of(std::to_string(getpid())) + "\n" + this_host() + "\n" +
                               first_line("/etc/machine-id") + "\n" +
                               first_line("/proc/sys/kernel/random/boot_id") + "\n";
            if (!write_all(fd, text)) {
                close(fd);
                unlink(path.c_str());
                return Outcome::Unavailable;
            }
            fd_ = fd;
            path_ = path;
            return Outcome::Locked;
        }
        if (errno != EEXIST) {
            return Outcome::Unavailable;
        }
        bool flock_free = false;
        if (!read_holder(path, holder_, flock_free)) {
            continue; // removed meanwhile: try to create it again
        }
        if (!flock_free || !is_stale(holder_)) {
            break;
        }
        unlink(path.c_str());
    }
    return Outcome::HeldElsewhere;
}

void DatabaseLockFile::release() {
    if (fd_ < 0) {
        return;
    }
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
    path_.clear();
}
