// The .TSY database file: tab-separated lines led by a keyword, read into and written from its
// contents (keys, log settings, window layout). Opening, creating and replacing the file is the
// caller's business.
#pragma once

#include "database/key_database.h"
#include "platform/file.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Host;

// Told after each chunk of a read how many of the file's bytes have been read (file_size is 0
// when the size is unknown); returning false ends the read there, as the end of the file would.
// Lets a load on another thread show its progress and be abandoned.
using ReadProgress = std::function<bool(int64_t bytes_read, int64_t file_size)>;

// A line the reader could not take as it stood: where it began (1 is the first line read) and
// what was wrong with it and done about it, as one clause for a list ("key number 'zz' is not
// hexadecimal; the line is left out").
struct ReadProblem {
    int64_t line = 0;
    std::string reason;
};

// What a read found besides the database itself.
struct ReadResult {
    // Empty for a database. Otherwise why the file is none at all ("it contains binary data"):
    // none of its lines is a key or a setting. What such a read put into the contents is to be
    // thrown away.
    std::string not_a_database;
    // The lines read otherwise than they stand, in file order: left out, or a number taken
    // within its range. At most max_listed_problems; problem_count counts them all.
    std::vector<ReadProblem> problems;
    int64_t problem_count = 0;

    bool is_database() const { return not_a_database.empty(); }
};

// Enough for any list shown to the user; a file of nothing but bad lines must not fill memory.
constexpr size_t max_listed_problems = 1000;

// Reads from the file's current position to its end into `into`. With import_only, only KEY lines
// (and the VALID lines of the keys they add) are taken and every setting stays as it was.
// Without read_validity_lines, VALID lines are passed over as a reader that predates them did.
// A file of the older format is announced with a warning box through host and then read as
// such. A bad line is left out and a number out of its range is brought within it, each noted
// in the result; a file cut short ends reading. What was read before stays in `into`.
ReadResult read_database(DatabaseContents& into, File& file, bool import_only, Host& host,
                         bool read_validity_lines = true, const ReadProgress& progress = {});

// The warning about a read's problems, one line each (the first ten, then "and N more"), with
// what a save (or, for an import, the import) means for them. Empty when there were none.
std::string read_problems_text(const ReadResult& result, bool import_only);

// Writes the whole database from the file's current position in the current format. Succeeds
// only if every write succeeded (else the first failure's cause); a failed write does not stop
// the rest from being attempted. With window_lines_as_read (a save without a window, which has
// no window to measure), the WINDOW, COLUMNSLOG and COLUMNSKEY lines are written only where the
// file read held them, so that no made-up rectangle reaches the window that opens the file next.
IoResult write_database(const KeyList& keys, const LogSettings& log, const WindowLayout& layout,
                        File& file, bool window_lines_as_read = false);
