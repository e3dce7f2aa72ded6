// File > Open, Import, Save and Save As: the database file side of the document.
#include "database/database_backup.h"
#include "database/database_save.h"
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"
#include "ui/window/recent_files.h"
#include "ui/window/window_properties.h"

#include <QFile>
#include <QSettings>

#include <algorithm>
#include <utility>

namespace {

const char* const saving_caption = "Tessary - Saving database";
const char* const save_error_text =
    "The database couldn't be saved.\n\nTessary can't properly access the database file. It may "
    "be\nread-only, or you might not have permission to write it.\n\nPlease solve the problem, "
    "or save to another file.";

const char* const loading_caption = "Tessary - Loading database";

QString qt_path(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

std::string held_by(const App& app) {
    return describe_holder(app.document.lock.holder());
}

// Takes the lock of a database about to be opened. When another program holds it the user may
// open it read-only; false when they would rather leave it closed.
bool claim_for_opening(App& app, const std::string& path, bool& read_only) {
    read_only = false;
    switch (app.document.lock.acquire(path)) {
    case FileLock::Outcome::Locked:
        return true;
    case FileLock::Outcome::Unavailable:
        // Where neither a lock file nor the database can be locked nobody can hold the lock:
        // the database opens as it always did. The database being closed gives up its own.
        app.document.lock.release();
        return true;
    case FileLock::Outcome::HeldElsewhere:
        break;
    }
    const std::string text = "The database '" + path + "' is already open in " + held_by(app) +
                             ".\n\nChoose OK to open it read-only, or Cancel to leave it closed.";
    if (app.host.message_box(loading_caption, text, MsgIcon::Warning, MsgButtons::OkCancel,
                             MsgAnswer::Ok) != MsgAnswer::Ok) {
        return false;
    }
    app.document.lock.release();
    read_only = true;
    return true;
}

void remember_recent(App& app, const std::string& path) {
    if (app.settings) {
        RecentFiles(*app.settings).add(qt_path(path));
    }
}

void take_file_name(App& app, const FileChoice& choice) {
    KeyDatabase& db = app.database;
    db.file_name = choice.path.substr(0, max_file_name);
    db.file_name_offset = static_cast<uint32_t>(std::min(choice.name_offset, db.file_name.size()));
}

void finish_opening(App& app) {
    clear_modified(app);
    app.logger.start_log();
    com_port_step(app);
}

// After a file that is no database: an empty database without a name, so that no save can
// write over that file, and no lock kept on it.
void forget_file(App& app) {
    app.database.file_name.clear();
    app.database.file_name_offset = 0;
    app.document.lock.release();
    app.document.read_only = false;
    clear_modified(app);
    app.logger.start_log();
}

void show_load_progress(App& app, int64_t done, int64_t total) {
    const int per_mille =
        total > 0 ? static_cast<int>(std::min<int64_t>(done, total) * 1000 / total) : 0;
    app.host.set_status_text("Loading database... " + std::to_string(per_mille / 10) + "%");
    app.host.set_progress(per_mille, 1000);
}

void set_loading(App& app, bool loading) {
    if (app.window) {
        app.window->set_loading(loading);
    }
    if (!loading) {
        app.host.hide_progress();
        app.host.set_status_text("Ready");
    }
}

// A FIFO or a device is no database at all: refused before anything of the open one is given up.
bool refuse_non_database(App& app, const std::string& path) {
    File probe = app.dialogs->open_for_loading(path);
    if (probe.is_open() || probe.open_error().category() != file_kind_category()) {
        return false;
    }
    show_load_error(app, path, probe);
    return true;
}

// The keys of a database read for Import that this one lacks, with their days of validity, in
// the file's order: what reading the file into this database would have added.
void add_imported_keys(KeyList& keys, const KeyList& imported) {
    for (const KeyRecord& record : imported) {
        const int added = keys.add(record.id, record.name, record.memo, record.free_field);
        if (added >= 0 && (record.valid_from || record.valid_until)) {
            keys.set_validity(added, record.valid_from, record.valid_until);
        }
    }
}

} // namespace

bool save_database(App& app, const std::string& path) {
    capture_window_properties(app);
    // Written beside the old file and renamed over it: a failure part way leaves the old one.
    IoResult saved =
        save_database_file(app.database.keys, app.database.log, app.document.layout, path);
    // A save goes on without its backup copy; the user hears of it once, not at every save.
    std::optional<BackupResult> failed = take_backup_failure();
    if (failed && !std::exchange(app.backup_failure_shown, true)) {
        app.host.message_box(saving_caption,
                             "No backup copy of the old database file could be made.\n\nReason: " +
                                 failed->reason,
                             MsgIcon::Warning);
    }
    if (!saved) {
        // The text's guess (permissions) is often wrong: the system's reason goes with it.
        app.host.message_box(saving_caption,
                             std::string(save_error_text) + "\n\nReason: " + saved.reason(),
                             MsgIcon::Error);
        return false;
    }
    clear_modified(app);
    return true;
}

bool save_database_as(App& app) {
    std::optional<FileChoice> choice = app.host.save_file_dialog();
    if (!choice) {
        return false;
    }
    // The lock moves to the new name; a file that another program holds is not written over.
    switch (app.document.lock.acquire(choice->path)) {
    case FileLock::Outcome::Locked:
        break;
    case FileLock::Outcome::Unavailable:
        app.document.lock.release();
        break;
    case FileLock::Outcome::HeldElsewhere:
        app.host.message_box(saving_caption,
                             "The database couldn't be saved.\n\n'" + choice->path +
                                 "' is open in " + held_by(app) +
                                 ".\n\nPlease close it there, or save to another file.",
                             MsgIcon::Error);
        return false;
    }
    app.document.read_only = false;
    // The log follows the database: the old log gets its last line before the name changes.
    app.logger.end_log();
    take_file_name(app, *choice);
    app.logger.start_log();
    if (!save_database(app, app.database.file_name)) {
        return false;
    }
    remember_recent(app, app.database.file_name);
    return true;
}

void open_database(App& app) {
    if (std::optional<FileChoice> choice = app.host.open_file_dialog()) {
        open_database_file(app, *choice);
    }
}

bool load_database(App& app, const std::string& path, bool import,
                   std::function<void(DatabaseContents& loaded)> take, std::function<void()> then,
                   std::function<void()> refused) {
    File file = app.dialogs->open_for_loading(path);
    if (!file.is_open()) {
        show_load_error(app, path, file);
        return false;
    }
    // The window stays usable while a large file is read; the rest follows once the keys are in.
    set_loading(app, true);
    app.loader.start(
        std::move(file), app.database.log, app.document.layout,
        [&app](int64_t done, int64_t total) { show_load_progress(app, done, total); },
        [&app, path, import, take = std::move(take), then = std::move(then),
         refused = std::move(refused)](DatabaseContents& loaded, const ReadResult& read) {
            if (!read.is_database()) {
                set_loading(app, false);
                report_read(app, path, read, import);
                if (refused) {
                    refused();
                }
                return;
            }
            take(loaded);
            set_loading(app, false);
            // The keys are in view behind the list of lines that are not.
            report_read(app, path, read, import);
            then();
        });
    return true;
}

bool open_database_file(App& app, const FileChoice& choice, bool replacing) {
    if (refuse_non_database(app, choice.path)) {
        return false;
    }
    bool read_only = false;
    if (!claim_for_opening(app, choice.path, read_only)) {
        return false;
    }
    if (replacing) {
        // The comm thread first: a controller report must not reach the log after "Log ended",
        // nor look keys up in a list being replaced.
        stop_link(app);
        app.logger.end_log();
        reset_database(app);
    }
    app.document.read_only = read_only;
    take_file_name(app, choice);
    remove_save_leftovers(app.database.file_name);
    const bool loading = load_database(
        app, app.database.file_name, false,
        [&app](DatabaseContents& loaded) {
            adopt_database(app, loaded);
            apply_window_properties(app);
        },
        [&app] {
            remember_recent(app, app.database.file_name);
            finish_opening(app);
        },
        // A save must never write over a file that is no database.
        [&app] { forget_file(app); });
    if (!loading) {
        finish_opening(app);
    }
    return true;
}

void import_database(App& app) {
    std::optional<FileChoice> choice = app.host.open_file_dialog();
    if (!choice) {
        return;
    }
    load_database(
        app, choice->path, true,
        [&app](DatabaseContents& loaded) { add_imported_keys(app.database.keys, loaded.keys); },
        // Even a file whose keys were all present counts as a change: the user asked for one. A
        // file that could not be read, or is no database, added nothing.
        [&app] { mark_modified(app); });
}
