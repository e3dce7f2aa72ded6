// The window properties a database carries (shown children, the window's rectangle, the column
// widths), whether the database has changes worth saving, and where dialogs open.
#pragma once

#include "database/key_database.h"

class QWidget;
struct App;

// Record -> window: clamps the stored position onto the work area, moves the window, sets the
// column widths (or takes the window's, when the record has none), then apply_view_flags.
void apply_window_properties(App& app);
// Window -> record, just before a database file is written.
void capture_window_properties(App& app);
// True when the database has changes worth saving; enables File > Save exactly when that is so
// and the database has a file name.
bool has_unsaved_changes(App& app);
// Every dialog opens at a sixth of its owner's width and a quarter of its height from the
// screen's top-left corner.
void place_dialog(QWidget* dialog);

// The window rectangle as stored: the window's position and, right and bottom, that position
// plus its size. Position and size are the ones move() and resize() take, so what was applied
// reads back unchanged whatever frame a window manager adds.
WindowRect window_rect(const QWidget* window);
void set_window_rect(QWidget* window, const WindowRect& rect);
// Pulls a stored left and top edge onto the work area: not before its left and top, not beyond
// nine tenths of its right and bottom coordinates. Right and bottom stay.
void clamp_to_work_area(WindowRect& rect, const WindowRect& work_area);
