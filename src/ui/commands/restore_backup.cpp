// File › Restore backup: a kept copy of the open database opens in its place as an unsaved
// database, so that saving it never overwrites a file by surprise.
#include "database/database_backup.h"
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/dialogs/backup_dialog.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"
#include "ui/window/window_properties.h"

namespace {
const char* const restore_caption = "Tessary - Restore backup";
}

void restore_backup(App& app) {
    if (app.database.file_name.empty()) {
        app.host.message_box(restore_caption,
                             "This database has no file yet, so there are no backups of it.",
                             MsgIcon::Information);
        return;
    }
    const std::vector<DatabaseBackup> backups = list_database_backups(app.database.file_name);
    if (backups.empty()) {
        app.host.message_box(restore_caption, "There are no backups of this database yet.",
                             MsgIcon::Information);
        return;
    }
    const std::optional<size_t> chosen = app.dialogs->choose_backup(app, backups);
    if (!chosen || *chosen >= backups.size() || !ask_save_changes(app)) {
        return;
    }
    // As Open: the link and the log end before the key list is replaced.
    stop_link(app);
    app.logger.end_log();
    // No file name: Save asks for one, and the database it came from stays as it is, free for
    // another window to edit.
    reset_database(app);
    app.document.lock.release();
    app.document.read_only = false;
    const auto opened = [&app] {
        mark_modified(app);
        app.logger.start_log();
        com_port_step(app);
    };
    if (!load_database(
            app, backups[*chosen].path, false,
            [&app](DatabaseContents& loaded) {
                adopt_database(app, loaded);
                apply_window_properties(app);
            },
            opened, opened)) {
        opened();
    }
}
