// The .TSY database file: tab-separated lines led by a keyword, read into and written from a
// database record. Opening, creating and replacing the file is the caller's business.
#pragma once

#include "database/key_list.h"
#include "platform/file.h"

#include <cstdint>
#include <functional>

struct Host;

// Told after each chunk of a read how many of the file's bytes have been read (file_size is 0
// when the size is unknown); returning false ends the read there, as the end of the file would.
// Lets a load on another thread show its progress and be abandoned.
using ReadProgress = std::function<bool(int64_t bytes_read, int64_t file_size)>;

// Reads from the file's current position to its end into rec. With import_only, only KEY lines
// (and the VALID lines of the keys they add) are taken and every setting stays as it was.
// Without read_validity_lines, VALID lines are passed over as a reader that predates them did.
// A file of the older format is announced with a warning box through host and then read as
// such. Bad or cut-off input ends reading or skips the line concerned; what was read before
// stays in rec. Returns how many lines began with a keyword the reader knows (comments
// included): 0 means that nothing in the file looked like a database at all.
int read_database(DatabaseRecord& rec, File& file, bool import_only, Host& host,
                  bool read_validity_lines = true, const ReadProgress& progress = {});

// Writes the whole database from the file's current position in the current format. Succeeds
// only if every write succeeded (else the first failure's cause); a failed write does not stop
// the rest from being attempted. With window_lines_as_read (a save without a window, which has
// no window to measure), the WINDOW, COLUMNSLOG and COLUMNSKEY lines are written only where the
// file read held them, so that no made-up rectangle reaches the window that opens the file next.
IoResult write_database(const DatabaseRecord& rec, File& file, bool window_lines_as_read = false);
