// Small POSIX file helpers: an owning descriptor with the few operations the program needs.
// Every operation that can fail says why, so that a message can name the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

// Success, or the cause of a failure. Tests as true on success, like the bool it replaced.
class IoResult {
  public:
    IoResult() = default;
    IoResult(std::error_code error) : error_(error) {}
    // A failure whose cause needs more words than the system's: `text` is told in its place.
    IoResult(std::error_code error, std::string text) : error_(error), text_(std::move(text)) {}
    static IoResult from_errno(int error) {
        return {std::error_code(error, std::generic_category())};
    }

    explicit operator bool() const { return !error_; }
    const std::error_code& error() const { return error_; }
    // The system's wording, for instance "No space left on device".
    std::string reason() const { return text_.empty() ? error_.message() : text_; }

  private:
    std::error_code error_;
    std::string text_;
};

// Why a file kept beside a database was refused although the system would have opened it.
enum class FileRefusal {
    SymbolicLink = 1, // a planted link would have sent the program's writes to another file
    NotRegularFile,
};
std::error_code make_error_code(FileRefusal refusal);
template <> struct std::is_error_code_enum<FileRefusal> : std::true_type {};

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
    // It is locked (an open-file-description lock) while it is open, which tells
    // remove_leftovers that its writer still lives.
    static File create_temporary(std::string& path_template);
    // A file kept beside a database (log, lock, backup, temporary): `flags` as for open(2). A
    // symbolic link is not followed and nothing but a regular file is taken, so a name planted
    // there cannot send the program's writes elsewhere or stop it on a FIFO. A file created is
    // given `mode` at most; an existing file of this user's loses the bits `mode` lacks.
    static File open_beside(const std::string& path, int flags, unsigned mode);
    // A file without a name, in memory.
    static File create_in_memory();

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
    // Sets aside room for `size` bytes from the start, so that writing them cannot meet a full
    // disk.
    IoResult reserve(int64_t size);
    IoResult rewind();
    // Writes everything `from` holds after its current position.
    IoResult copy_from(File& from);
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

// The permission bits of files kept beside the database at `path`: its own read and write bits
// (its owner's always), so that nothing beside it is open to more people than it is; 0644
// while it has no file.
unsigned mode_beside(const std::string& database_path);
// Makes the folder (and, with `parents`, the folders above it) open to this user alone: 0700.
// An existing one of this user's is narrowed to that; a symbolic link or a file in its place
// is refused.
IoResult make_private_folder(const std::string& path, bool parents = false);
// The user's own folder for the program's state: $XDG_STATE_HOME/tessary when that is an
// absolute path, else ~/.local/state/tessary. Not created here.
std::string user_state_folder();
// Removes the program's leftover temporary files in `folder` (a save cut short by a kill):
// regular files named `prefix` and six letters or digits, unchanged for a minute and locked by
// no live process. Returns how many went.
int remove_leftovers(const std::string& folder, const std::string& prefix);
