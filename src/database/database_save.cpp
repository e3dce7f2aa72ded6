#include "database/database_save.h"

#include "database/database_backup.h"
#include "database/tsy_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// The file a save replaces: a symbolic link stays a link, and the file it names gets the data.
std::string save_target(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
    }
    return path;
}

IoResult first_failure(IoResult a, IoResult b) {
    return a ? b : a;
}

// Before the first old byte changes, the old content is kept elsewhere and the new length's
// room is set aside: a full disk or a missing copy refuses the save with the file as it was.
// What a save writes, as write_database takes it.
struct Written {
    const KeyList& keys;
    const LogSettings& log;
    const WindowLayout& layout;
};

IoResult write_contents(const Written& rec, File& file, bool window_lines_as_read) {
    return write_database(rec.keys, rec.log, rec.layout, file, window_lines_as_read);
}

SaveResult write_in_place(const Written& rec, File& file, const std::string& target,
                          bool window_lines_as_read) {
    File fresh = File::create_in_memory();
    IoResult result = fresh.is_open() ? write_contents(rec, fresh, window_lines_as_read)
                                      : IoResult(fresh.open_error());
    if (!result) {
        return result;
    }
    const int64_t size = fresh.size();
    const BackupResult copy = copy_before_writing_in_place(target);
    if (!copy.ok) {
        // Never a failure that would read as success for want of the system's code.
        return IoResult(copy.error ? copy.error : std::make_error_code(std::errc::io_error),
                        copy.reason);
    }
    if (IoResult reserved = file.reserve(size); !reserved) {
        remove_file(copy.path);
        return IoResult(reserved.error(),
                        "There is no room for the new file: " + reserved.reason());
    }
    result = fresh.rewind();
    if (result) {
        result = file.copy_from(fresh);
    }
    if (result) {
        result = file.truncate(size);
    }
    if (result) {
        result = file.flush();
    }
    SaveResult saved = first_failure(result, file.close());
    if (!saved) {
        saved = SaveResult(IoResult(saved.error(), saved.reason() +
                                                       "; the old file was partly written over, "
                                                       "its old content is kept in " +
                                                       copy.path));
        saved.old_file_changed = true;
    }
    return saved;
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

std::string temporary_prefix(const std::string& path) {
    const size_t slash = path.rfind('/');
    return "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
}

} // namespace

void remove_save_leftovers(const std::string& path) {
    const std::string target = save_target(path);
    remove_leftovers(folder_of(target), temporary_prefix(target));
}

SaveResult save_database_file(const KeyList& keys, const LogSettings& log,
                              const WindowLayout& layout, const std::string& path,
                              bool window_lines_as_read) {
    const Written rec{keys, log, layout};
    if (path.empty()) {
        return IoResult::from_errno(ENOENT);
    }
    const std::string target = save_target(path);
    remove_save_leftovers(target);
    const std::string folder = folder_of(target);
    // Same folder, so that the rename stays on one file system and is a single step. The name
    // is the one remove_save_leftovers looks for.
    std::string temp_path =
        target.substr(0, target.rfind('/') + 1) + temporary_prefix(target) + "XXXXXX";

    // A new file gets what a plain create would have given it; a replaced one keeps its own.
    unsigned mode = 0644;
    struct stat old {};
    const bool replacing = ::stat(target.c_str(), &old) == 0;
    // Opening the old file for writing asks the system itself whether this user may change it
    // (mode bits, access lists, a read-only mount); the rename alone would only ask the folder.
    File old_file;
    if (replacing) {
        if (!S_ISREG(old.st_mode)) {
            return IoResult::from_errno(S_ISDIR(old.st_mode) ? EISDIR : EINVAL);
        }
        mode = old.st_mode & 07777;
        old_file = File::open_write(target);
        if (!old_file.is_open()) {
            return IoResult(old_file.open_error());
        }
    }

    File temp = File::create_temporary(temp_path);
    if (!temp.is_open()) {
        const int cause = temp.open_error().value();
        if (replacing && (cause == EACCES || cause == EPERM)) {
            return write_in_place(rec, old_file, target, window_lines_as_read);
        }
        return IoResult(temp.open_error());
    }
    if (replacing && !temp.set_owner(old.st_uid, old.st_gid)) {
        // Only root may give a file away: rather than take the file over, write it in place.
        temp.close();
        remove_file(temp_path);
        return write_in_place(rec, old_file, target, window_lines_as_read);
    }
    old_file.close();
    IoResult result = write_contents(rec, temp, window_lines_as_read);
    if (result) {
        result = temp.set_mode(mode);
    }
    if (result) {
        result = temp.flush();
    }
    result = first_failure(result, temp.close());
    if (result && replacing) {
        back_up_database_file(target); // a failed copy is the window's to report, not a failed save
    }
    if (result) {
        result = replace_file(temp_path, target);
    }
    if (!result) {
        remove_file(temp_path);
        return result;
    }
    // The data is safe either way; this makes the new name survive a power cut as well.
    flush_folder(folder);
    return {};
}
