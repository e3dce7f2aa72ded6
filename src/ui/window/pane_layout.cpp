#include "ui/window/pane_layout.h"

PaneGeometry compute_panes(int w, int h, int toolbar, int status, bool show_log, bool show_keys) {
    const int available = h - toolbar - status;
    const int pane = (show_log && show_keys) ? (available + 1) / 2 : available;
    PaneGeometry g;
    int log_height = 0;
    if (show_log) {
        g.log = {0, toolbar, w, pane};
        log_height = pane;
    }
    if (show_keys) {
        g.keys = {0, toolbar + log_height, w, pane};
    }
    return g;
}
