#include "ui/window/document.h"

#include "platform/file.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"
#include "ui/window/window_properties.h"

namespace {

const char* const loading_caption = "Tessary - Loading database";
const char* const load_error_text =
    "The database couldn't be loaded.\n\nTessary can't properly access the desired database "
    "file. It\nmay not exist, or you might not have permission to read it.\n\nPlease solve the "
    "problem and try again.";
const char* const no_port_text =
    "This database doesn't indicate which COM port should be used.\n\nUntil you choose a COM "
    "port using the 'File/Settings' menu,\nTessary won't be able to communicate with the key "
    "controller.";
const char* const closing_caption = "Tessary - Closing Tessary";
const char* const save_changes_text =
    "The database has not yet been saved.\n\nDo you want to save the changes?";

} // namespace

void open_command_line_database(App& app, std::string_view command_line) {
    size_t start = command_line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        return;
    }
    std::string_view rest = command_line.substr(start);
    std::string_view name = rest;
    if (rest.front() == '"') {
        rest.remove_prefix(1);
        name = rest.substr(0, rest.find('"'));
    }
    // The title then shows the path as it was given (name offset 0). Nothing runs yet that the
    // open would have to stop.
    open_database_file(app, FileChoice{std::string(name.substr(0, max_file_name)), 0}, false);
}

void show_load_error(App& app, const std::string& path, const File& file) {
    // The old text guesses at the cause; the file and the system's reason settle it.
    app.host.message_box(loading_caption,
                         std::string(load_error_text) + "\n\nFile: " + path +
                             "\nReason: " + file.open_error().message(),
                         MsgIcon::Error);
}

bool report_read(App& app, const std::string& path, const ReadResult& read, bool import) {
    if (!read.is_database()) {
        app.host.message_box(
            loading_caption,
            std::string(import ? "Nothing was imported." : "The database couldn't be loaded.") +
                "\n\n'" + path + "' is not a Tessary database: " + read.not_a_database + ".",
            MsgIcon::Error);
        return false;
    }
    const std::string warning = read_problems_text(read, import);
    if (!warning.empty()) {
        app.host.message_box(loading_caption, warning, MsgIcon::Warning);
    }
    return true;
}

void com_port_step(App& app) {
    if (app.database.log.com_port != 0) {
        start_link(app, app.database.log.com_port);
        return;
    }
    app.host.message_box(loading_caption, no_port_text, MsgIcon::Warning);
}

void update_title(App& app) {
    const KeyDatabase& db = app.database;
    std::string title;
    if (!db.file_name.empty()) {
        title += db.file_name.substr(std::min<size_t>(db.file_name_offset, db.file_name.size()));
        if (app.document.read_only) {
            title += " (read-only)";
        }
    }
    if (app.attachment && !app.attachment->port_name().empty()) {
        title += " [" + app.attachment->port_name() + " via service]";
    } else if (db.log.com_port != 0) {
        title += " [COM" + std::to_string(db.log.com_port) + "]";
    }
    title += title.empty() ? "None - " : " - ";
    title += "Tessary";
    app.host.set_title(title);
}

void reset_database(App& app) {
    app.database.reset();
    app.document.layout = WindowLayout{};
    app.document.modified = false;
    app.logger.rearm_error_report();
}

void adopt_database(App& app, DatabaseContents& loaded) {
    KeyListBulkChange bulk(app.database.keys);
    app.database.keys.swap_rows(loaded.keys);
    app.database.log = loaded.log;
    app.document.layout = loaded.layout;
}

void mark_modified(App& app) {
    app.document.modified = true;
    update_title(app);
    has_unsaved_changes(app);
}

void clear_modified(App& app) {
    app.document.modified = false;
    update_title(app);
    has_unsaved_changes(app);
}

bool ask_save_changes(App& app) {
    if (!has_unsaved_changes(app)) {
        return true;
    }
    switch (app.host.message_box(closing_caption, save_changes_text, MsgIcon::Warning,
                                 MsgButtons::YesNoCancel, MsgAnswer::Yes)) {
    case MsgAnswer::Yes:
        // A save that fails or is cancelled keeps the program where it was. A database open
        // read-only belongs to another window: its changes can only go to another file.
        if (!app.database.file_name.empty() && !app.document.read_only) {
            return save_database(app, app.database.file_name);
        }
        return save_database_as(app);
    case MsgAnswer::No:
        return true;
    default:
        return false;
    }
}
