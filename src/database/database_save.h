// Writing a database file so that a failed or interrupted save never costs the old one.
#pragma once

#include "database/key_list.h"
#include "platform/file.h"

#include <string>

// Writes the database in full to a new file beside `path`, flushes it to the disk and only then
// renames it over `path` (through a symbolic link, onto the file it names), with the old file's
// permissions, owner and group. A file this user may not write is not replaced: the save fails
// with the cause of that refusal. Where the new file cannot be made (a folder this user may not
// write) or cannot be given the old owner, a writable old file is written in place instead,
// which is the one way left. On failure the result names the cause; a failed replacing save
// leaves the old file untouched and no new file behind. window_lines_as_read: as for
// write_database.
IoResult save_database_file(const DatabaseRecord& rec, const std::string& path,
                            bool window_lines_as_read = false);
