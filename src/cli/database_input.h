// Loading the files a subcommand was given, with the exit status that fits each failure.
#pragma once

#include "database/tsy_file.h"

#include <ostream>
#include <string>

// Reads FILE.tsy into rec (reset first). 0 when loaded, a damaged file with what could be read
// and its bad lines listed on err; 66 when it is missing or unreadable; 65 when it is no
// database at all (empty, binary, no key or setting) or no regular file (a FIFO, a device); 74 on
// a read error. Says why on err.
int load_database_file(DatabaseContents& rec, const std::string& path, std::ostream& err);
// The whole of a file ("-": standard input) into text; the same statuses.
int read_input_file(const std::string& path, std::string& text, std::ostream& err);
