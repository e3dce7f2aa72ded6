#include "ui/commands/commands.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/key_list_model.h"
#include "ui/models/row_click_view.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"
#include "ui/window/window_properties.h"

#include <QAction>
#include <QSettings>

void start_up(App& app, const std::string& command_line) {
    if (!app.settings) {
        app.settings =
            std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                        QStringLiteral("tessary"), QStringLiteral("tessary"));
    }
    app.host.set_settings(app.settings.get());
    app.window = std::make_unique<MainWindow>(app);
    app.host.attach(app.window.get());
    app.commands.action(CmdVerifyAfterSync)->setChecked(verify_after_sync(app));
    // The controller key list first: it has no view.
    app.controller_keys.set_observer(nullptr);
    app.database.keys.set_observer(app.window->key_filter()->observer());
    reset_database(app);
    // The default column widths apply until a database brings its own.
    app.document.layout.log_widths_present = true;
    app.document.layout.key_widths_present = true;
    app.window->key_view()->show();
    open_command_line_database(app, command_line);
    apply_window_properties(app);
    clear_modified(app);
    app.window->show();
}
