#include "ui/window/view_flags.h"

#include "ui/commands/commands.h"
#include "ui/models/row_click_view.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"
#include "ui/window/window_properties.h"

#include <QLayout>
#include <QStatusBar>
#include <QToolBar>

void apply_view_flags(App& app) {
    ViewFlags& v = app.view;
    if (!v.log_window && !v.key_list) {
        v.key_list = true;
    }
    MainWindow* w = app.window.get();
    w->tool_bar()->setVisible(v.toolbar);
    w->statusBar()->setVisible(v.status_bar);
    w->log_view()->setVisible(v.log_window);
    w->key_view()->setVisible(v.key_list);
    // Menu entries and toolbar buttons share one action per command.
    w->action(CmdToolbar)->setChecked(v.toolbar);
    w->action(CmdStatusbar)->setChecked(v.status_bar);
    w->action(CmdLogWindow)->setChecked(v.log_window);
    w->action(CmdKeyList)->setChecked(v.key_list);
    // The bars' space changes now, not at the next layout pass.
    if (w->layout()) {
        w->layout()->activate();
    }
    w->relayout();
    has_unsaved_changes(app);
}

void toggle_toolbar(App& app) {
    app.view.toolbar = !app.view.toolbar;
    apply_view_flags(app);
}

void toggle_status_bar(App& app) {
    app.view.status_bar = !app.view.status_bar;
    apply_view_flags(app);
}

void toggle_log_window(App& app) {
    app.view.log_window = !app.view.log_window;
    if (!app.view.log_window && !app.view.key_list) {
        app.view.key_list = true;
    }
    apply_view_flags(app);
}

void toggle_key_list(App& app) {
    app.view.key_list = !app.view.key_list;
    if (!app.view.key_list && !app.view.log_window) {
        app.view.log_window = true;
    }
    apply_view_flags(app);
}
