#include "ui/window/window_properties.h"

#include "ui/models/row_click_view.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"
#include "ui/window/view_flags.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>

#include <cstdint>

namespace {

int32_t nine_tenths(int32_t v) {
    return static_cast<int32_t>(static_cast<int64_t>(v) * 9 / 10);
}

void apply_widths(RowClickView* view, int32_t* stored, int count, bool present) {
    QHeaderView* header = view->horizontalHeader();
    for (int i = 0; i < count; ++i) {
        if (present) {
            // The column takes only the low 16 bits of a stored width.
            header->resizeSection(i, stored[i] & 0xffff);
        } else {
            stored[i] = header->sectionSize(i);
        }
    }
}

void read_widths(const RowClickView* view, int32_t* stored, int count) {
    for (int i = 0; i < count; ++i) {
        stored[i] = view->horizontalHeader()->sectionSize(i);
    }
}

bool widths_differ(const RowClickView* view, const int32_t* stored, int count) {
    bool differ = false;
    for (int i = 0; i < count; ++i) {
        differ |= view->horizontalHeader()->sectionSize(i) != stored[i];
    }
    return differ;
}

// A rectangle without room for the window (WINDOW 0 0 0 0, or edges swapped) would leave a
// window a few pixels wide that nobody can find: such a rectangle counts as not stored.
bool fits_window(const WindowRect& rect, const QWidget* window) {
    const int64_t width = static_cast<int64_t>(rect.right) - rect.left;
    const int64_t height = static_cast<int64_t>(rect.bottom) - rect.top;
    // Qt's own rule for the smallest size: an explicit minimum where one is set, otherwise what
    // the layout needs.
    const QSize set = window->minimumSize();
    const QSize hint = window->minimumSizeHint();
    const int min_width = set.width() > 0 ? set.width() : hint.width();
    const int min_height = set.height() > 0 ? set.height() : hint.height();
    return width > 0 && height > 0 && width >= min_width && height >= min_height;
}

} // namespace

WindowRect window_rect(const QWidget* window) {
    const QPoint p = window->pos();
    const QSize s = window->size();
    return {p.x(), p.y(), p.x() + s.width(), p.y() + s.height()};
}

void set_window_rect(QWidget* window, const WindowRect& rect) {
    window->move(rect.left, rect.top);
    window->resize(rect.right - rect.left, rect.bottom - rect.top);
}

void clamp_to_work_area(WindowRect& rect, const WindowRect& work_area) {
    if (rect.left < work_area.left) {
        rect.left = work_area.left;
    }
    if (rect.top < work_area.top) {
        rect.top = work_area.top;
    }
    if (rect.left > nine_tenths(work_area.right)) {
        rect.left = nine_tenths(work_area.right);
    }
    if (rect.top > nine_tenths(work_area.bottom)) {
        rect.top = nine_tenths(work_area.bottom);
    }
}

void apply_window_properties(App& app) {
    WindowLayout& db = app.document.layout;
    MainWindow* w = app.window.get();
    app.view = db.stored_view;
    if (db.rect_present && fits_window(db.window_rect, w)) {
        const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
        const WindowRect work{avail.x(), avail.y(), avail.x() + avail.width(),
                              avail.y() + avail.height()};
        clamp_to_work_area(db.window_rect, work);
        set_window_rect(w, db.window_rect);
    } else {
        db.window_rect = window_rect(w);
    }
    apply_widths(w->log_view(), db.log_widths, 3, db.log_widths_present);
    apply_widths(w->key_view(), db.key_widths, 4, db.key_widths_present);
    apply_view_flags(app);
}

void capture_window_properties(App& app) {
    WindowLayout& db = app.document.layout;
    MainWindow* w = app.window.get();
    db.stored_view = app.view;
    db.window_rect = window_rect(w);
    read_widths(w->log_view(), db.log_widths, 3);
    read_widths(w->key_view(), db.key_widths, 4);
}

bool has_unsaved_changes(App& app) {
    const WindowLayout& db = app.document.layout;
    MainWindow* w = app.window.get();
    if (!w) {
        return false;
    }
    app.host.enable_command(CmdSave, true);
    bool differs = app.view != db.stored_view;
    differs |= window_rect(w) != db.window_rect;
    differs |= widths_differ(w->log_view(), db.log_widths, 3);
    differs |= widths_differ(w->key_view(), db.key_widths, 4);
    bool changes = app.document.modified || (differs && db.save_window_properties);
    // A database that has neither a file nor keys holds nothing worth keeping.
    if (app.database.file_name.empty() && app.database.keys.size() == 0) {
        changes = false;
    }
    if (!changes || app.database.file_name.empty() || app.document.read_only) {
        app.host.enable_command(CmdSave, false);
    }
    return changes;
}

void place_dialog(QWidget* dialog) {
    QWidget* owner = dialog->parentWidget();
    const QSize size =
        owner ? owner->frameGeometry().size() : QGuiApplication::primaryScreen()->geometry().size();
    dialog->move(size.width() / 6, size.height() / 4);
}
