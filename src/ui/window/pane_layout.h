// How the screen log and the key list share the space between the toolbar and the status bar:
// the log is the upper pane, the key list the lower one, and both get the same height.
#pragma once

struct PaneRect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const PaneRect&, const PaneRect&) = default;
};

struct PaneGeometry {
    PaneRect log;  // meaningful only when the log window is shown
    PaneRect keys; // meaningful only when the key list is shown
};

// w, h: the client size; toolbar and status: the heights of those bars, 0 when hidden. With both
// panes shown each gets (A + 1) / 2 of the available height A, so an odd A makes them one pixel
// taller together than A.
PaneGeometry compute_panes(int w, int h, int toolbar, int status, bool show_log, bool show_keys);
