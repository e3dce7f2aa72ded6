// Writing a database file so that a failed or interrupted save never costs the old one.
#pragma once

#include "database/key_list.h"

#include <string>

// Writes the database in full to a new file beside `path`, flushes it to the disk and only then
// renames it over `path` (through a symbolic link, onto the file it names), with the old file's
// permissions. False when any step failed; the old file is then untouched and no new file stays
// behind. window_lines_as_read: as for write_database.
bool save_database_file(const DatabaseRecord& rec, const std::string& path,
                        bool window_lines_as_read = false);
