// Small POSIX file helpers: an owning descriptor with the few operations the program needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    static File open_read(const std::string& path);   // existing file, read only
    static File create(const std::string& path, unsigned mode = 0644); // truncated, write only
    static File open_append(const std::string& path); // created if missing, positioned at its end
    // A new file of a unique name made from `path_template`, whose last six characters must be
    // "XXXXXX" and are replaced by the name chosen. Mode 0600 until set_mode.
    static File create_temporary(std::string& path_template);

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Reads up to size bytes; returns the count, 0 at the end, -1 on error.
    long read(void* data, size_t size);
    // True only when every byte was written.
    bool write(std::string_view bytes);
    bool flush(); // to the disk
    bool set_mode(unsigned mode);
    int64_t size() const; // -1 on error
    bool close();         // false when the close itself reports an error

private:
    explicit File(int fd) : fd_(fd) {}
    int fd_ = -1;
};

bool rename_file(const std::string& from, const std::string& to); // fails if `to` exists
bool remove_file(const std::string& path);
// Moves `from` onto `to` in one step, replacing a file already there; both in one folder.
bool replace_file(const std::string& from, const std::string& to);
// Makes the folder's list of names (a rename just done in it) durable.
bool flush_folder(const std::string& path);
bool file_exists(const std::string& path);
