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

// No copy is kept here, so only used where a replacing save cannot be made.
IoResult write_in_place(const DatabaseRecord& rec, File& file, bool window_lines_as_read) {
    IoResult result = file.truncate(0);
    if (result) {
        result = write_database(rec, file, window_lines_as_read);
    }
    if (result) {
        result = file.flush();
    }
    return first_failure(result, file.close());
}

} // namespace

IoResult save_database_file(const DatabaseRecord& rec, const std::string& path,
                            bool window_lines_as_read) {
    if (path.empty()) {
        return IoResult::from_errno(ENOENT);
    }
    const std::string target = save_target(path);
    const size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : target.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // Same folder, so that the rename stays on one file system and is a single step.
    std::string temp_path =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + "." + base +
        ".XXXXXX";

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
            return write_in_place(rec, old_file, window_lines_as_read);
        }
        return IoResult(temp.open_error());
    }
    if (replacing && !temp.set_owner(old.st_uid, old.st_gid)) {
        // Only root may give a file away: rather than take the file over, write it in place.
        temp.close();
        remove_file(temp_path);
        return write_in_place(rec, old_file, window_lines_as_read);
    }
    old_file.close();
    IoResult result = write_database(rec, temp, window_lines_as_read);
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
