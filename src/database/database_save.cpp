#include "database/database_save.h"

#include "database/database_backup.h"
#include "database/tsy_file.h"
#include "platform/file.h"

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

} // namespace

bool save_database_file(const DatabaseRecord& rec, const std::string& path) {
    if (path.empty()) {
        return false;
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
    if (::stat(target.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) {
            return false;
        }
        mode = old.st_mode & 07777;
    }

    File temp = File::create_temporary(temp_path);
    if (!temp.is_open()) {
        return false;
    }
    bool ok = write_database(rec, temp);
    ok = ok && temp.set_mode(mode);
    ok = ok && temp.flush();
    ok = temp.close() && ok;
    if (ok) {
        back_up_database_file(target); // a failed copy is the window's to report, not a failed save
    }
    ok = ok && replace_file(temp_path, target);
    if (!ok) {
        remove_file(temp_path);
        return false;
    }
    // The data is safe either way; this makes the new name survive a power cut as well.
    flush_folder(folder);
    return true;
}
