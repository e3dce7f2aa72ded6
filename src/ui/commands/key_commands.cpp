// New key, Edit keys, Delete keys and Copy from log: the key commands that work on the rows
// selected in the key list and in the screen log.
#include "core/buffer.h"
#include "database/key_list.h"
#include "events/screen_log.h"
#include "ui/commands/commands.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/key_list_model.h"
#include "ui/models/row_click_view.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"

#include <QAction>
#include <QItemSelectionModel>

namespace {

bool row_selected(RowClickView* view, int row) {
    QItemSelectionModel* selection = view ? view->selectionModel() : nullptr;
    return selection && selection->isRowSelected(row, QModelIndex());
}

RowClickView* key_view(App& app) {
    return app.window ? app.window->key_view() : nullptr;
}

// The key view shows the store's rows through the find filter: a hidden row is never selected.
bool key_row_selected(App& app, int row) {
    RowClickView* view = key_view(app);
    return view && app.window->key_filter()->store_row_selected(view->selectionModel(), row);
}

RowClickView* log_view(App& app) {
    return app.window ? app.window->log_view() : nullptr;
}

// A row added only to be edited stays only if its dialog ends with OK.
void edit_new_row(App& app, int row) {
    if (app.dialogs->edit_key(app, row)) {
        mark_modified(app);
    } else {
        app.database.keys.remove(row);
    }
}

} // namespace

void new_key(App& app) {
    const int row = app.database.keys.append();
    if (row < 0) {
        return;
    }
    edit_new_row(app, row);
}

void edit_keys(App& app) {
    const int count = app.database.keys.size();
    for (int i = 0; i < count; ++i) {
        if (key_row_selected(app, i)) {
            // Each dialog commits or cancels its own row only; the next one follows either way.
            app.dialogs->edit_key(app, i);
        }
    }
}

void delete_keys(App& app) {
    const int count = app.database.keys.size();
    int i = 0;
    while (i < count) {
        if (key_row_selected(app, i)) {
            app.database.keys.remove(i);
            mark_modified(app);
            // The next row has moved up into this index, with its selection.
            continue;
        }
        ++i;
    }
}

void copy_from_log(App& app) {
    RowClickView* view = log_view(app);
    const int count = screen_log_row_count(app.screen_log);
    for (int i = 0; i < count; ++i) {
        if (!row_selected(view, i)) {
            continue;
        }
        const LogRow* log_row = screen_log_row(app.screen_log, i);
        if (!log_row) {
            continue;
        }
        // Door, contact and memo lines carry no key at all; an empty text would otherwise parse
        // as key 000000.
        if (log_row->key_text.empty()) {
            continue;
        }
        // " - " and every other text that is not a key number parse as -1.
        const int32_t number = parse_key_number(log_row->key_text);
        if (number < 0) {
            continue;
        }
        const int row =
            app.database.keys.add(KeyId{0, static_cast<uint32_t>(number), 0}, "<No name yet>");
        if (row < 0) {
            continue; // already in the key list
        }
        edit_new_row(app, row);
    }
}

void toggle_expiring_keys(App& app) {
    if (!app.window) {
        return;
    }
    KeyFilterModel* filter = app.window->key_filter();
    const bool on = !filter->filter().expiring_from();
    filter->set_expiring_from(on ? std::optional<Day>(app.window->key_model()->today())
                                 : std::nullopt);
    if (QAction* a = app.commands.action(CmdExpiringKeys)) {
        a->setChecked(on);
    }
    if (on && !app.view.key_list) {
        toggle_key_list(app);
    }
}

void find_keys(App& app) {
    if (app.window) {
        // Find is about the key list: a hidden one is shown first.
        if (!app.view.key_list) {
            toggle_key_list(app);
        }
        app.window->show_find_field();
    }
}
