#include "platform/file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

IoResult last_error() {
    return IoResult::from_errno(errno);
}

IoResult result_of(int rc) {
    return rc == 0 ? IoResult() : last_error();
}

class RefusalCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "file beside a database"; }
    std::string message(int value) const override {
        switch (static_cast<FileRefusal>(value)) {
        case FileRefusal::SymbolicLink:
            return "It is a symbolic link, which is not followed here";
        case FileRefusal::NotRegularFile:
            return "It is not a regular file";
        }
        return "Refused";
    }
};

// An open-file-description lock: held while any descriptor of this open lives, whatever
// else the process opens or closes, and gone with the process.
bool lock_whole_file(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool is_leftover_name(const std::string& name, const std::string& prefix) {
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

// Only a file that nobody has touched for a minute and that no live writer locks.
bool remove_if_left_over(int folder_fd, const char* name) {
    int fd = ::openat(folder_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       st.st_mtime + 60 < std::time(nullptr) && lock_whole_file(fd, F_RDLCK);
    const bool removed = stale && ::unlinkat(folder_fd, name, 0) == 0;
    ::close(fd);
    return removed;
}

class FileKindCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "file kind"; }
    // The code is the file's S_IFMT bits.
    std::string message(int kind) const override {
        switch (static_cast<mode_t>(kind)) {
        case S_IFIFO:
            return "Not a regular file (a FIFO)";
        case S_IFCHR:
            return "Not a regular file (a character device)";
        case S_IFBLK:
            return "Not a regular file (a block device)";
        case S_IFSOCK:
            return "Not a regular file (a socket)";
        default:
            return "Not a regular file";
        }
    }
};

// 0 for a regular file, EISDIR for a folder, else the S_IFMT bits of file_kind_category.
int kind_error(const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
        return 0;
    }
    return S_ISDIR(st.st_mode) ? EISDIR : static_cast<int>(st.st_mode & S_IFMT);
}

} // namespace

std::error_code make_error_code(FileRefusal refusal) {
    static const RefusalCategory category;
    return {static_cast<int>(refusal), category};
}

File::File(int fd, int error) : fd_(fd) {
    if (fd < 0) {
        open_error_ = std::error_code(error, std::generic_category());
    }
}

File::~File() {
    close();
}

File::File(File&& other) noexcept : fd_(other.fd_), open_error_(other.open_error_) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        open_error_ = other.open_error_;
        other.fd_ = -1;
    }
    return *this;
}

File File::open_read(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int error = errno;
    if (fd >= 0) {
        struct stat st {};
        // A folder opens for reading on Linux but is no database.
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            error = S_ISDIR(st.st_mode) ? EISDIR : errno;
            ::close(fd);
            fd = -1;
        }
    }
    return File(fd, error);
}

File File::open_database(const std::string& path) {
    struct stat st {};
    // Looked at before it is opened: opening a device can have effects of its own.
    if (::stat(path.c_str(), &st) != 0) {
        return File(-1, errno);
    }
    int fd = -1;
    if (kind_error(st) == 0) {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return File(-1, errno);
        }
        // Checked again on what was opened: the name may have changed hands in between.
        if (::fstat(fd, &st) != 0) {
            const int error = errno;
            ::close(fd);
            return File(-1, error);
        }
    }
    const int kind = kind_error(st);
    if (kind == 0) {
        return File(fd, 0);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    File refused(-1, kind);
    if (kind != EISDIR) {
        refused.open_error_ = std::error_code(kind, file_kind_category());
    }
    return refused;
}

File File::create(const std::string& path, unsigned mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    return File(fd, errno);
}

File File::open_append(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return File(fd, errno);
}

File File::open_write(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    return File(fd, errno);
}

File File::create_temporary(std::string& path_template) {
    int fd = ::mkostemp(path_template.data(), O_CLOEXEC);
    const int error = errno;
    if (fd >= 0) {
        // A file system without such locks still takes the file; only its cleaning waits.
        lock_whole_file(fd, F_WRLCK);
    }
    return File(fd, error);
}

File File::open_beside(const std::string& path, int flags, unsigned mode) {
    // Not blocking: a FIFO planted under the name must not hold the program up before it is
    // refused.
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    static_cast<mode_t>(mode));
    if (fd < 0) {
        // The system's own word for a link or a FIFO (ELOOP, ENXIO) would not tell the user why.
        const int error = errno;
        struct stat st {};
        File refused(fd, error);
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            refused.open_error_ = FileRefusal::SymbolicLink;
        } else if (error != EISDIR && error != EACCES && ::lstat(path.c_str(), &st) == 0 &&
                   !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            refused.open_error_ = FileRefusal::NotRegularFile;
        }
        return refused;
    }
    File file(fd, 0);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        file.close();
        return File(-1, error);
    }
    if (!S_ISREG(st.st_mode)) {
        file.close();
        file.open_error_ = FileRefusal::NotRegularFile;
        return file;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const mode_t narrowed = st.st_mode & 07777 & static_cast<mode_t>(mode);
    if (st.st_uid == ::geteuid() && narrowed != (st.st_mode & 07777)) {
        ::fchmod(fd, narrowed);
    }
    return file;
}

File File::create_in_memory() {
    int fd = ::memfd_create("tessary", MFD_CLOEXEC);
    return File(fd, errno);
}

long File::read(void* data, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd_, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(n);
    }
}

IoResult File::write(std::string_view bytes) {
    if (fd_ < 0) {
        return IoResult::from_errno(EBADF);
    }
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return last_error();
        }
        if (n == 0) {
            return IoResult::from_errno(EIO);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return {};
}

IoResult File::flush() const {
    return fd_ < 0 ? IoResult::from_errno(EBADF) : result_of(::fsync(fd_));
}

IoResult File::set_mode(unsigned mode) {
    return fd_ < 0 ? IoResult::from_errno(EBADF)
                   : result_of(::fchmod(fd_, static_cast<mode_t>(mode)));
}

IoResult File::set_owner(unsigned uid, unsigned gid) {
    return fd_ < 0 ? IoResult::from_errno(EBADF)
                   : result_of(::fchown(fd_, static_cast<uid_t>(uid), static_cast<gid_t>(gid)));
}

IoResult File::truncate(int64_t size) {
    return fd_ < 0 ? IoResult::from_errno(EBADF)
                   : result_of(::ftruncate(fd_, static_cast<off_t>(size)));
}

IoResult File::reserve(int64_t size) {
    if (fd_ < 0) {
        return IoResult::from_errno(EBADF);
    }
    const int error = size > 0 ? ::posix_fallocate(fd_, 0, static_cast<off_t>(size)) : 0;
    return error == 0 ? IoResult() : IoResult::from_errno(error);
}

IoResult File::rewind() {
    return fd_ < 0 ? IoResult::from_errno(EBADF)
                   : result_of(::lseek(fd_, 0, SEEK_SET) == 0 ? 0 : -1);
}

IoResult File::copy_from(File& from) {
    char buffer[1 << 16];
    for (;;) {
        const long n = from.read(buffer, sizeof buffer);
        if (n <= 0) {
            return n == 0 ? IoResult() : last_error();
        }
        if (IoResult written = write(std::string_view(buffer, static_cast<size_t>(n))); !written) {
            return written;
        }
    }
}

int64_t File::size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool File::is_linked() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_nlink > 0;
}

IoResult File::close() {
    if (fd_ < 0) {
        return {};
    }
    int rc = ::close(fd_);
    fd_ = -1;
    return result_of(rc);
}

const std::error_category& file_kind_category() {
    static const FileKindCategory category;
    return category;
}

IoResult rename_file(const std::string& from, const std::string& to) {
    // Moving onto an existing name must fail, as the rotated log name relies on it.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return last_error();
    }
    return result_of(::unlink(from.c_str()));
}

IoResult replace_file(const std::string& from, const std::string& to) {
    return result_of(::rename(from.c_str(), to.c_str()));
}

IoResult flush_folder(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return last_error();
    }
    IoResult result = result_of(::fsync(fd));
    ::close(fd);
    return result;
}

IoResult remove_file(const std::string& path) {
    return result_of(::unlink(path.c_str()));
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

unsigned mode_beside(const std::string& database_path) {
    struct stat st {};
    if (::stat(database_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0644;
    }
    // The user keeps writing their own log and backups beside a database they made read-only.
    return (st.st_mode & 0666) | 0600;
}

IoResult make_private_folder(const std::string& path, bool parents) {
    if (parents) {
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            // The first folder that cannot be made says why, not the missing one below it.
            if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) {
                return last_error();
            }
        }
    }
    if (::mkdir(path.c_str(), 0700) == 0) {
        return {};
    }
    if (errno != EEXIST) {
        return last_error();
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return last_error();
    }
    if (S_ISLNK(st.st_mode)) {
        return IoResult(FileRefusal::SymbolicLink);
    }
    if (!S_ISDIR(st.st_mode)) {
        return IoResult::from_errno(ENOTDIR);
    }
    if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
        return result_of(::chmod(path.c_str(), st.st_mode & 07700));
    }
    return {};
}

std::string user_state_folder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
        return std::string(state) + "/tessary";
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/') {
        home = env;
    } else if (const passwd* entry = ::getpwuid(::geteuid())) {
        home = entry->pw_dir;
    }
    return home + "/.local/state/tessary";
}

int remove_leftovers(const std::string& folder, const std::string& prefix) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (is_leftover_name(entry->d_name, prefix) &&
            remove_if_left_over(::dirfd(dir), entry->d_name)) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}
