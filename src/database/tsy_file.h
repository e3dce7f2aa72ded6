// The .TSY database file: tab-separated lines led by a keyword, read into and written from a
// database record. Opening, creating and replacing the file is the caller's business.
#pragma once

#include "database/key_list.h"
#include "platform/file.h"

struct Host;

// Reads from the file's current position to its end into rec. With import_only, only KEY lines
// are taken and every setting stays as it was. A file of the older format is announced with a
// warning box through host and then read as such. Bad or cut-off input ends reading or skips
// the line concerned; what was read before stays in rec.
void read_database(DatabaseRecord& rec, File& file, bool import_only, Host& host);

// Writes the whole database from the file's current position in the current format. Succeeds
// only if every write succeeded (else the first failure's cause); a failed write does not stop
// the rest from being attempted.
IoResult write_database(const DatabaseRecord& rec, File& file);
