// View › Select presented key: a key the controller reports is selected and scrolled to in the
// key list. A user's preference, kept in the settings of the program rather than in a database.
#include "core/buffer.h"
#include "database/key_list.h"
#include "events/screen_log.h"
#include "ui/commands/commands.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/row_click_view.h"
#include "ui/models/screen_log_model.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QSettings>

namespace {

const QString setting = QStringLiteral("view/select_presented_key");

// The window's own settings file, where recent files live too; a bare QSettings would name no
// organisation and land in a folder of its own.
bool option_on(App& app) {
    if (app.settings) {
        return app.settings->value(setting, false).toBool();
    }
    return QSettings(QStringLiteral("tessary"), QStringLiteral("tessary"))
        .value(setting, false)
        .toBool();
}

void set_option(App& app, bool on) {
    if (app.settings) {
        app.settings->setValue(setting, on);
    } else {
        QSettings(QStringLiteral("tessary"), QStringLiteral("tessary")).setValue(setting, on);
    }
}

// The key number of a log row; -1 for door lines and texts that are not a key number.
int32_t log_row_key(const LogRow& row) {
    constexpr uint32_t digits = 6;
    if (row.key_text.empty() || row.key_text.size() > digits) {
        return -1;
    }
    return parse_key_number(row.key_text);
}

void select_presented_key(App& app, int log_row) {
    const LogRow* row = screen_log_row(app.screen_log, log_row);
    MainWindow* w = app.window.get();
    if (!row || !w || !option_on(app)) {
        return;
    }
    const int32_t number = log_row_key(*row);
    // An unknown key has no row: its log line stays red, for Copy from log.
    if (number >= 0) {
        select_key_in_list(app, static_cast<uint32_t>(number));
    }
}

} // namespace

bool select_key_in_list(App& app, uint32_t number) {
    MainWindow* w = app.window.get();
    const int store_row = w ? app.database.keys.find(KeyId{0, number, 0}) : -1;
    const int view_row = store_row < 0 ? -1 : w->key_filter()->view_row(store_row);
    if (view_row < 0) {
        return false;
    }
    const QModelIndex index = w->key_filter()->index(view_row, 0);
    w->key_view()->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                                QItemSelectionModel::Rows);
    w->key_view()->scrollTo(index);
    return true;
}

void toggle_presented_key(App& app) {
    const bool on = !option_on(app);
    set_option(app, on);
    if (QAction* a = app.commands.action(CmdFollowPresentedKey)) {
        a->setChecked(on);
    }
}

void watch_presented_keys(App& app, MainWindow& window) {
    if (QAction* a = app.commands.action(CmdFollowPresentedKey)) {
        a->setChecked(option_on(app));
    }
    QObject::connect(
        window.log_model(), &QAbstractItemModel::rowsInserted, &window,
        [&app](const QModelIndex&, int, int last) { select_presented_key(app, last); });
}
