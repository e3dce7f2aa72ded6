// Window properties between the record and the window, the unsaved-changes check that greys
// File > Save, and dialog placement.
#include "ui/window_test_support.h"

#include "ui/models/row_click_view.h"
#include "ui/window/document.h"
#include "ui/window/window_properties.h"

#include <QDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QToolBar>

namespace {

WindowRect available_area() {
    QRect a = QGuiApplication::primaryScreen()->availableGeometry();
    return {a.x(), a.y(), a.x() + a.width(), a.y() + a.height()};
}

bool save_enabled(TestApp& t) {
    return t.window().action(CmdSave)->isEnabled();
}

} // namespace

class WindowPropertiesTest : public QObject {
    Q_OBJECT
  private slots:
    void clamp_pulls_a_far_left_edge_back_to_nine_tenths();
    void clamp_pulls_an_edge_before_the_work_area_onto_it();
    void apply_moves_the_window_to_the_clamped_rectangle();
    void apply_without_stored_values_takes_the_windows();
    void apply_ignores_a_rectangle_without_room_for_the_window();
    void apply_sets_stored_widths_and_view_flags();
    void capture_takes_flags_rectangle_and_widths();
    void new_database_never_counts_as_changed();
    void unnamed_database_with_keys_counts_but_save_stays_grey();
    void named_database_follows_window_changes_when_saving_them();
    void named_database_ignores_window_changes_when_not_saving_them();
    void modified_flag_alone_counts();
    void dialogs_open_at_a_fraction_of_the_owner_size();
};

void WindowPropertiesTest::clamp_pulls_a_far_left_edge_back_to_nine_tenths() {
    WindowRect r{600, 10, 900, 300};
    clamp_to_work_area(r, WindowRect{0, 0, 640, 480});
    QCOMPARE(r, (WindowRect{576, 10, 900, 300}));
    WindowRect low{10, 470, 300, 700};
    clamp_to_work_area(low, WindowRect{0, 0, 640, 480});
    QCOMPARE(low, (WindowRect{10, 432, 300, 700}));
}

void WindowPropertiesTest::clamp_pulls_an_edge_before_the_work_area_onto_it() {
    WindowRect r{-50, 0, 500, 400};
    clamp_to_work_area(r, WindowRect{0, 30, 800, 600});
    QCOMPARE(r, (WindowRect{0, 30, 500, 400}));
}

void WindowPropertiesTest::apply_moves_the_window_to_the_clamped_rectangle() {
    TestApp t;
    const WindowRect work = available_area();
    const int far_left = work.right * 9 / 10 + 24;
    t.app->document.layout.rect_present = true;
    t.app->document.layout.window_rect = {far_left, work.top + 20, far_left + 400, work.top + 320};
    apply_window_properties(*t.app);
    const int left = work.right * 9 / 10;
    // The right edge stays where it was stored, so the window spans 24 pixels more.
    QCOMPARE(t.window().pos(), QPoint(left, work.top + 20));
    QCOMPARE(t.window().size(), QSize(424, 300));
    QCOMPARE(t.app->document.layout.window_rect,
             (WindowRect{left, work.top + 20, far_left + 400, work.top + 320}));
    QCOMPARE(window_rect(&t.window()), t.app->document.layout.window_rect);
}

void WindowPropertiesTest::apply_without_stored_values_takes_the_windows() {
    TestApp t;
    t.window().log_view()->setColumnWidth(1, 300);
    t.app->document.layout.rect_present = false;
    t.app->document.layout.log_widths_present = false;
    t.app->document.layout.key_widths_present = false;
    t.app->document.layout.window_rect = {};
    t.app->document.layout.log_widths[1] = 1;
    apply_window_properties(*t.app);
    QCOMPARE(t.app->document.layout.window_rect, window_rect(&t.window()));
    QCOMPARE(t.app->document.layout.log_widths[1], 300);
    QCOMPARE(t.app->document.layout.key_widths[2], 205);
}

void WindowPropertiesTest::apply_ignores_a_rectangle_without_room_for_the_window() {
    const WindowRect work = available_area();
    const int x = work.left + 10;
    const int y = work.top + 10;
    struct Case {
        const char* name;
        WindowRect stored;
        bool applied;
    };
    // The window's minimum is set to 300 x 200 below.
    const Case cases[] = {
        {"all zero", {0, 0, 0, 0}, false},
        {"right before left", {x + 400, y, x, y + 300}, false},
        {"no height", {x, y, x + 400, y}, false},
        {"narrower than the minimum", {x, y, x + 299, y + 300}, false},
        {"lower than the minimum", {x, y, x + 400, y + 199}, false},
        {"the minimum itself", {x, y, x + 300, y + 200}, true},
    };
    for (const Case& c : cases) {
        TestApp t;
        t.window().setMinimumSize(300, 200);
        t.window().move(x + 20, y + 30);
        t.window().resize(500, 400);
        const WindowRect before = window_rect(&t.window());
        t.app->document.layout.rect_present = true;
        t.app->document.layout.window_rect = c.stored;
        apply_window_properties(*t.app);
        const WindowRect expected = c.applied ? c.stored : before;
        QVERIFY2(window_rect(&t.window()) == expected, c.name);
        QVERIFY2(t.app->document.layout.window_rect == expected, c.name);
    }
}

void WindowPropertiesTest::apply_sets_stored_widths_and_view_flags() {
    TestApp t;
    t.app->document.layout.log_widths[0] = 70;
    t.app->document.layout.log_widths[2] = 65536 + 90; // only the low 16 bits reach the column
    t.app->document.layout.key_widths[3] = 33;
    t.app->document.layout.stored_view = ViewFlags{false, true, true, false};
    apply_window_properties(*t.app);
    QCOMPARE(t.window().log_view()->columnWidth(0), 70);
    QCOMPARE(t.window().log_view()->columnWidth(2), 90);
    QCOMPARE(t.window().key_view()->columnWidth(3), 33);
    QVERIFY(!t.window().tool_bar()->isVisible());
    QVERIFY(!t.window().key_view()->isVisible());
    QVERIFY(!t.window().action(CmdToolbar)->isChecked());
    QVERIFY(t.window().action(CmdLogWindow)->isChecked());
    // The present marks are left as they were.
    QVERIFY(t.app->document.layout.log_widths_present);
    QVERIFY(!t.app->document.layout.rect_present);
}

void WindowPropertiesTest::capture_takes_flags_rectangle_and_widths() {
    TestApp t;
    t.window().action(CmdStatusbar)->trigger();
    t.window().move(33, 44);
    t.window().resize(500, 400);
    t.window().key_view()->setColumnWidth(1, 99);
    capture_window_properties(*t.app);
    QCOMPARE(t.app->document.layout.stored_view, (ViewFlags{true, false, true, true}));
    QCOMPARE(t.app->document.layout.window_rect, (WindowRect{33, 44, 533, 444}));
    QCOMPARE(t.app->document.layout.key_widths[1], 99);
    QCOMPARE(t.app->document.layout.log_widths[1], 450);
    QVERIFY(!t.app->document.layout.rect_present);
}

void WindowPropertiesTest::new_database_never_counts_as_changed() {
    TestApp t;
    t.window().move(t.window().x() + 30, t.window().y() + 10);
    t.window().log_view()->setColumnWidth(0, 80);
    t.window().action(CmdToolbar)->trigger();
    QVERIFY(!has_unsaved_changes(*t.app));
    QVERIFY(!save_enabled(t));
    QVERIFY(ask_save_changes(*t.app));
    QVERIFY(t.boxes().empty());
}

void WindowPropertiesTest::unnamed_database_with_keys_counts_but_save_stays_grey() {
    TestApp t;
    t.app->database.keys.add(KeyId{0, 0x104bc, 0});
    QVERIFY(!has_unsaved_changes(*t.app));
    // Window changes count once there are keys.
    t.window().move(t.window().x() + 30, t.window().y());
    QVERIFY(has_unsaved_changes(*t.app));
    QVERIFY(!save_enabled(t));
    t.window().move(t.window().x() - 30, t.window().y());
    QVERIFY(!has_unsaved_changes(*t.app));
    mark_modified(*t.app);
    QVERIFY(has_unsaved_changes(*t.app));
    QVERIFY(!save_enabled(t));
    // Closing now asks.
    t.host().push_answer(MsgAnswer::No);
    QVERIFY(ask_save_changes(*t.app));
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("Tessary - Closing Tessary"));
    QCOMPARE(boxes[0].text, std::string("The database has not yet been saved.\n\nDo you want to "
                                        "save the changes?"));
    QCOMPARE(boxes[0].icon, MsgIcon::Warning);
    QCOMPARE(boxes[0].buttons, MsgButtons::YesNoCancel);
    QCOMPARE(boxes[0].default_button, MsgAnswer::Yes);
    t.host().push_answer(MsgAnswer::Cancel);
    QVERIFY(!ask_save_changes(*t.app));
}

void WindowPropertiesTest::named_database_follows_window_changes_when_saving_them() {
    TestApp t;
    t.app->database.file_name = "/tmp/keys.tsy";
    QVERIFY(!has_unsaved_changes(*t.app));
    QVERIFY(!save_enabled(t));
    // Moving the window (the move event runs the check).
    t.window().move(t.window().x() + 5, t.window().y());
    QTRY_VERIFY(save_enabled(t));
    t.window().move(t.window().x() - 5, t.window().y());
    QTRY_VERIFY(!save_enabled(t));
    // Resizing.
    t.window().resize(t.window().width() - 10, t.window().height());
    QTRY_VERIFY(save_enabled(t));
    t.window().resize(t.window().width() + 10, t.window().height());
    QTRY_VERIFY(!save_enabled(t));
    // Dragging a column divider.
    t.window().key_view()->horizontalHeader()->resizeSection(2, 190);
    QVERIFY(save_enabled(t));
    t.window().key_view()->horizontalHeader()->resizeSection(2, 205);
    QVERIFY(!save_enabled(t));
    // Toggling a pane.
    t.window().action(CmdLogWindow)->trigger();
    QVERIFY(save_enabled(t));
    t.window().action(CmdLogWindow)->trigger();
    QVERIFY(!save_enabled(t));
}

void WindowPropertiesTest::named_database_ignores_window_changes_when_not_saving_them() {
    TestApp t;
    t.app->database.file_name = "/tmp/keys.tsy";
    t.app->document.layout.save_window_properties = false;
    t.window().move(t.window().x() + 5, t.window().y());
    t.window().log_view()->horizontalHeader()->resizeSection(1, 100);
    t.window().action(CmdToolbar)->trigger();
    QVERIFY(!has_unsaved_changes(*t.app));
    QVERIFY(!save_enabled(t));
}

void WindowPropertiesTest::modified_flag_alone_counts() {
    TestApp t;
    t.app->database.file_name = "/tmp/keys.tsy";
    mark_modified(*t.app);
    QVERIFY(has_unsaved_changes(*t.app));
    QVERIFY(save_enabled(t));
    clear_modified(*t.app);
    QVERIFY(!save_enabled(t));
}

void WindowPropertiesTest::dialogs_open_at_a_fraction_of_the_owner_size() {
    TestApp t;
    // The owner's position does not matter, only its size.
    t.window().move(300, 100);
    t.window().resize(600, 400);
    QDialog dialog(&t.window());
    place_dialog(&dialog);
    const QSize owner = t.window().frameGeometry().size();
    QCOMPARE(dialog.pos(), QPoint(owner.width() / 6, owner.height() / 4));
    QDialog orphan;
    place_dialog(&orphan);
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(orphan.pos(), QPoint(screen.width() / 6, screen.height() / 4));
}

QTEST_MAIN(WindowPropertiesTest)
#include "window_properties_test.moc"
