#include "platform/file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

IoResult last_error() {
    return IoResult::from_errno(errno);
}

IoResult result_of(int rc) {
    return rc == 0 ? IoResult() : last_error();
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
