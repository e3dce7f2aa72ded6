// Dated copies of a database file, kept before a save replaces it, so that a wrong save (a
// deleted key, a wrong answer to Synchronize) can be undone from the file as it was.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

// Beside the database file; one folder serves every database file of its folder.
inline constexpr const char* backup_folder_name = ".tessary-backups";
// Per database file; older copies are removed as new ones are made.
inline constexpr int backups_kept = 20;

struct BackupResult {
    bool ok = true;     // also when there was no file to keep
    std::string path;   // the copy made, if any
    std::string reason; // why no copy could be made: the folder and the system's reason
    std::error_code error;
};

// For a save that puts a new file in the old one's place by a rename: the copy may be a second
// name (hard link) of the old file, which a write into that file in place would change too.
// Keeps the file at `path` (a regular file, the one a save is about to replace) as
// <folder>/.tessary-backups/<name>.<UTC time, YYYY-MM-DD_HH-MM-SS>Z[-n], then removes that
// file's copies beyond the newest backups_kept. A missing file is nothing to keep. The result
// is also remembered for take_backup_failure.
BackupResult back_up_database_file(const std::string& path);

// For a save that must write over the old file in place: a byte copy (a second name would
// change with the write) made as back_up_database_file makes it, else, where that folder cannot
// be used (a folder this user may not write), in state_backup_folder. Never remembered for
// take_backup_failure: without a copy the save does not go ahead.
BackupResult copy_before_writing_in_place(const std::string& path);
// Where this user's own copies of the database at `path` go when none can be kept beside it:
// user_state_folder()/backups followed by the database's folder (absolute).
std::string state_backup_folder(const std::string& path);

// The last failure of back_up_database_file on this thread, once: the save went on without its
// copy and the window says so a single time.
std::optional<BackupResult> take_backup_failure();

struct DatabaseBackup {
    std::string path;
    std::time_t time = 0; // when the copy was made (UTC seconds)
    int key_count = 0;    // the keys the copy holds (its key lines)
};

// The copies kept for the database file at `path` (through a symbolic link, for the file it
// names), beside it and in this user's state folder, newest first.
std::vector<DatabaseBackup> list_database_backups(const std::string& path);
