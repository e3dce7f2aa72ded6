// File > Open, Import, Save and Save As: the database file side of the document.
#include "database/database_save.h"
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/window_properties.h"

#include <algorithm>

namespace {

const char* const saving_caption = "Tessary - Saving database";
const char* const save_error_text =
    "The database couldn't be saved.\n\nTessary can't properly access the database file. It may "
    "be\nread-only, or you might not have permission to write it.\n\nPlease solve the problem, "
    "or save to another file.";

void take_file_name(App& app, const FileChoice& choice) {
    DatabaseRecord& db = app.database;
    db.file_name = choice.path.substr(0, max_file_name);
    db.file_name_offset = static_cast<uint32_t>(std::min(choice.name_offset, db.file_name.size()));
}

} // namespace

bool save_database(App& app, const std::string& path) {
    capture_window_properties(app);
    // Written beside the old file and renamed over it: a failure part way leaves the old one.
    if (IoResult saved = save_database_file(app.database, path); !saved) {
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
    // The log follows the database: the old log gets its last line before the name changes.
    app.logger.end_log();
    take_file_name(app, *choice);
    app.logger.start_log();
    return save_database(app, app.database.file_name);
}

void open_database(App& app) {
    std::optional<FileChoice> choice = app.host.open_file_dialog();
    if (!choice) {
        return;
    }
    // The comm thread first: a controller report must not reach the log after "Log ended", nor
    // look keys up in a list being replaced.
    stop_link(app);
    app.logger.end_log();
    reset_database(app.database);
    take_file_name(app, *choice);
    load_database(app, app.database.file_name, false);
    clear_modified(app);
    app.logger.start_log();
    com_port_step(app);
}

void import_database(App& app) {
    std::optional<FileChoice> choice = app.host.open_file_dialog();
    if (!choice) {
        return;
    }
    load_database(app, choice->path, true);
    // Even a file whose keys were all present counts as a change: the user asked for one.
    mark_modified(app);
}
