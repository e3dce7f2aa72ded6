// Loading the files a subcommand was given, with the exit status that fits each failure.
#pragma once

#include "database/key_list.h"

#include <ostream>
#include <string>

// Reads FILE.tsy into rec (reset first). 0 when loaded (the reader's usual leniency: a damaged
// file gives what could be read); 66 when it is missing or unreadable; 65 when nothing at all in
// it looked like a database or it is no regular file (a FIFO, a device); 74 on a read error. Says
// why on err.
int load_database_file(DatabaseRecord& rec, const std::string& path, std::ostream& err);
// The whole of a file ("-": standard input) into text; the same statuses.
int read_input_file(const std::string& path, std::string& text, std::ostream& err);
