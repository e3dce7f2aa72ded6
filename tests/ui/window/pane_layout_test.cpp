// The pane arithmetic, alone and in the real window.
#include "ui/window_test_support.h"

#include "ui/models/row_click_view.h"
#include "ui/window/pane_layout.h"

#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>

class PaneLayoutTest : public QObject {
    Q_OBJECT
  private slots:
    void both_panes_share_the_height_equally();
    void odd_height_makes_the_panes_one_pixel_taller_together();
    void single_pane_takes_the_whole_height();
    void hidden_bars_give_their_room_to_the_panes();
    void window_places_its_panes_between_the_bars();
    void window_keeps_the_arithmetic_when_resized();
};

void PaneLayoutTest::both_panes_share_the_height_equally() {
    PaneGeometry g = compute_panes(640, 400, 26, 20, true, true);
    QCOMPARE(g.log, (PaneRect{0, 26, 640, 177}));
    QCOMPARE(g.keys, (PaneRect{0, 203, 640, 177}));
}

void PaneLayoutTest::odd_height_makes_the_panes_one_pixel_taller_together() {
    // A = 355.
    PaneGeometry g = compute_panes(640, 401, 26, 20, true, true);
    QCOMPARE(g.log, (PaneRect{0, 26, 640, 178}));
    QCOMPARE(g.keys, (PaneRect{0, 204, 640, 178}));
}

void PaneLayoutTest::single_pane_takes_the_whole_height() {
    PaneGeometry keys_only = compute_panes(640, 400, 26, 20, false, true);
    QCOMPARE(keys_only.keys, (PaneRect{0, 26, 640, 354}));
    PaneGeometry log_only = compute_panes(640, 400, 26, 20, true, false);
    QCOMPARE(log_only.log, (PaneRect{0, 26, 640, 354}));
}

void PaneLayoutTest::hidden_bars_give_their_room_to_the_panes() {
    PaneGeometry no_toolbar = compute_panes(640, 400, 0, 20, true, true);
    QCOMPARE(no_toolbar.log, (PaneRect{0, 0, 640, 190}));
    QCOMPARE(no_toolbar.keys, (PaneRect{0, 190, 640, 190}));
    // Without the status bar the lower pane reaches the bottom of the client area.
    PaneGeometry no_status = compute_panes(640, 400, 26, 0, true, true);
    QCOMPARE(no_status.keys.y + no_status.keys.height, 400);
}

void PaneLayoutTest::window_places_its_panes_between_the_bars() {
    TestApp t;
    MainWindow& w = t.window();
    const int client_top = w.menuBar()->geometry().bottom() + 1;
    const int toolbar = w.tool_bar()->frameGeometry().height();
    const int status = w.statusBar()->frameGeometry().height();
    const int h = w.height() - client_top;
    const int available = h - toolbar - status;
    QCOMPARE(w.pane_area()->height(), available);
    QCOMPARE(w.pane_area()->geometry().top(), client_top + toolbar);
    const int pane = (available + 1) / 2;
    QCOMPARE(w.log_view()->geometry(), QRect(0, 0, w.width(), pane));
    QCOMPARE(w.key_view()->geometry(), QRect(0, pane, w.width(), pane));
}

void PaneLayoutTest::window_keeps_the_arithmetic_when_resized() {
    TestApp t;
    MainWindow& w = t.window();
    for (int extra : {0, 1, 57}) {
        w.resize(500, 400 + extra);
        QTRY_COMPARE(w.height(), 400 + extra);
        const int available = w.pane_area()->height();
        const int pane = (available + 1) / 2;
        QCOMPARE(w.log_view()->geometry(), QRect(0, 0, 500, pane));
        QCOMPARE(w.key_view()->geometry(), QRect(0, pane, 500, pane));
    }
}

QTEST_MAIN(PaneLayoutTest)
#include "pane_layout_test.moc"
