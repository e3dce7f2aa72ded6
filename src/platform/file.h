// Small POSIX file helpers: an owning descriptor with the few operations the program needs.
// Every operation that can fail says why, so that a message can name the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

// Success, or the cause of a failure. Tests as true on success, like the bool it replaced.
class IoResult {
  public:
    IoResult() = default;
    IoResult(std::error_code error) : error_(error) {}
    static IoResult from_errno(int error) {
        return {std::error_code(error, std::generic_category())};
    }

    explicit operator bool() const { return !error_; }
    const std::error_code& error() const { return error_; }
    // The system's wording, for instance "No space left on device".
    std::string reason() const { return error_.message(); }

  private:
    std::error_code error_;
};

class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // A factory that fails gives a closed File whose open_error() says why.
    static File open_read(const std::string& path); // existing file, read only
    // A database file, read only: opened without waiting (a FIFO would block the open until a
    // writer came) and refused unless it is a regular file, open_error() then naming its kind.
    static File open_database(const std::string& path);
    static File create(const std::string& path, unsigned mode = 0644); // truncated, write only
    static File open_append(const std::string& path); // created if missing, positioned at its end
    static File open_write(const std::string& path);  // existing file, write only, not truncated
    // A new file of a unique name made from `path_template`, whose last six characters must be
    // "XXXXXX" and are replaced by the name chosen. Mode 0600 until set_mode.
    static File create_temporary(std::string& path_template);

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::error_code& open_error() const { return open_error_; }
    // Reads up to size bytes; returns the count, 0 at the end, -1 on error.
    long read(void* data, size_t size);
    // Succeeds only when every byte was written.
    IoResult write(std::string_view bytes);
    IoResult flush() const; // to the disk
    IoResult set_mode(unsigned mode);
    IoResult set_owner(unsigned uid, unsigned gid);
    IoResult truncate(int64_t size);
    int64_t size() const; // -1 on error
    // True while the file still has a name: false once it was removed from its folder.
    bool is_linked() const;
    IoResult close(); // fails when the close itself reports an error

  private:
    File(int fd, int error);
    int fd_ = -1;
    std::error_code open_error_;
};

// The open_error() of a file that is no regular file (a folder gives EISDIR instead).
const std::error_category& file_kind_category();

IoResult rename_file(const std::string& from, const std::string& to); // fails if `to` exists
IoResult remove_file(const std::string& path);
// Moves `from` onto `to` in one step, replacing a file already there; both in one folder.
IoResult replace_file(const std::string& from, const std::string& to);
// Makes the folder's list of names (a rename just done in it) durable.
IoResult flush_folder(const std::string& path);
bool file_exists(const std::string& path);
