// The document side of the key database: loading at start-up, the modified flag, the title,
// the COM-port step after a database was opened, and the save-changes prompt.
#pragma once

#include "database/tsy_file.h"
#include "platform/file.h"
#include "platform/file_lock.h"
#include "platform/host.h"

#include <functional>
#include <string>
#include <string_view>

struct App;

constexpr size_t max_file_name = 10000;

// The window's side of the open database: how the window showed it, whether it has changed
// since it was read or saved, and whether this window may write it.
struct Document {
    WindowLayout layout;
    bool modified = false;
    // The lock of the open database; not held while it is open read-only, when Save is greyed
    // and the title says so.
    FileLock lock;
    bool read_only = false;
};

// No keys, no file name, the default settings and layout, nothing modified, and a log file error
// told again, as New database starts; the lock stays as it is.
void reset_database(App& app);
// Takes the keys (as one reset for the key list's view), the log settings and the layout of a
// database read on the loader's thread; `loaded` keeps the former rows.
void adopt_database(App& app, DatabaseContents& loaded);

// Start-up only: the database named by the command line text (leading blanks skipped; a name
// in double quotes ends at the next quote, otherwise the whole rest is the name). Loads it,
// clears the modified flag, starts the log and runs the COM-port step. A blank text does nothing.
void open_command_line_database(App& app, std::string_view command_line);
// After a read of path: the error box of a file that is no database (false), else the warning
// listing the lines that were left out or corrected, if there were any (true).
bool report_read(App& app, const std::string& path, const ReadResult& read, bool import);
// Starts reading a database file on the loader's thread, the commands that need the database
// greyed meanwhile. Once it is read, on the user-interface thread: `take` is given the record
// read (to adopt its keys or add them), the commands come back, the lines read otherwise than
// they stand are listed in a warning, then `then` runs. A file that is no database is reported
// and `refused` runs instead (when given). A file that cannot be opened is reported, changes
// nothing and gives false.
bool load_database(App& app, const std::string& path, bool import,
                   std::function<void(DatabaseContents& loaded)> take, std::function<void()> then,
                   std::function<void()> refused = {});
// The box of a database file that cannot be opened for reading, with the file and the reason.
void show_load_error(App& app, const std::string& path, const File& file);
// Starts the comm thread on the database's COM port, or warns that the database names none.
void com_port_step(App& app);
void update_title(App& app);
void mark_modified(App& app);
void clear_modified(App& app);
// Before closing, New database and Open: true to go on, false to stay. Asks only when
// has_unsaved_changes says there is something worth saving.
bool ask_save_changes(App& app);

// Saving (File > Save and Save As): false when nothing was saved.
bool save_database(App& app, const std::string& path);
bool save_database_as(App& app);
// File > Open and Import with their file dialogs.
void open_database(App& app);
// The one road from a chosen file to the open database, for File > Open, Open Recent and the
// command line (a file manager's double-click arrives there): the file's lock, or the offer to
// open it read-only when another program holds it; then closing the current database (unless
// nothing runs yet: replacing false), loading, the log, the COM-port step and the recent-files
// list. False when the user left the file closed; the current database then stays as it was.
bool open_database_file(App& app, const FileChoice& choice, bool replacing = true);
