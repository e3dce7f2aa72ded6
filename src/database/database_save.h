// Writing a database file so that a failed or interrupted save never costs the old one.
#pragma once

#include "database/key_database.h"
#include "platform/file.h"

#include <string>

// A save's outcome. A failed save leaves the old file as it was, except where the write in place
// failed after it began: then old_file_changed is set and the reason names the copy kept of it.
struct SaveResult : IoResult {
    SaveResult() = default;
    SaveResult(IoResult result) : IoResult(std::move(result)) {}
    bool old_file_changed = false;
};

// Writes the database in full to a new file beside `path`, flushes it to the disk and only then
// renames it over `path` (through a symbolic link, onto the file it names), with the old file's
// permissions, owner and group. A file this user may not write is not replaced: the save fails
// with the cause of that refusal. Where the new file cannot be made (a folder this user may not
// write) or cannot be given the old owner, a writable old file is written in place instead,
// which is the one way left: only once a copy of it is kept (copy_before_writing_in_place) and
// room for the new length is set aside, else the save is refused with the old file as it was.
// On failure the result names the cause; a failed replacing save leaves the old file untouched
// and no new file behind. Leftovers of saves cut short are removed first. window_lines_as_read:
// as for write_database.
SaveResult save_database_file(const KeyList& keys, const LogSettings& log,
                              const WindowLayout& layout, const std::string& path,
                              bool window_lines_as_read = false);

// Removes what saves of the database at `path` that were cut short left beside it: their
// temporary files, once no live process writes them.
void remove_save_leftovers(const std::string& path);
