// The key list's "Valid from" and "Valid until" columns: each can be hidden from the header's
// context menu. Whether they are hidden is the user's preference, kept in the program's settings
// rather than in the database, whose column line keeps its four widths.
#pragma once

#include "core/day.h"

class KeyListModel;
class QMenu;
class QTableView;
struct Clock;

Day clock_day(Clock& clock);

// Builds the header menu, applies the stored hidden state, and keeps the model's day at the
// clock's day (checked each minute), so that keys grey out when their last day has passed.
// Returns the header menu.
QMenu* install_validity_columns(QTableView* view, KeyListModel* model, Clock& clock);
