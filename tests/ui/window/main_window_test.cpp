// The main window's menus, toolbar, status-bar help, command table and view toggles.
#include "ui/window_test_support.h"

#include "ui/commands/command_table.h"
#include "ui/commands/commands.h"
#include "ui/models/row_click_view.h"
#include "ui/window/document.h"
#include "ui/window/recent_files.h"
#include "ui/window/toolbar_images.h"
#include "ui/window/window_properties.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <map>
#include <set>
#include <vector>

namespace {

struct Expected {
    const char* text;
    int id;
    bool checked;
    const char* help;
    bool unchecked_option = false; // checkable, but off until the user's settings say otherwise
    const char* shortcut = nullptr;
};

const Expected file_entries[] = {
    {"&New database", 40011, false, "Start a new key database"},
    {"&Open database...", 40012, false, "Open a key database"},
    {"Open &Recent", 40017, false, "Open one of the key databases used last"},
    {"&Import database...", 40013, false, "Import the keys of another database into this one"},
    {"S&ettings...", 40014, false, "Edit the settings of the program"},
    {nullptr, 0, false, nullptr},
    {"&Save", 40015, false, "Save the current key database"},
    {"Save &As...", 40016, false, "Save the current key database with another name"},
    {"Export &log to CSV...", 40105, false, "Write the rows of the log window to a CSV file"},
    {"Restore &backup...", 40106, false,
     "Open a copy kept of this database from before one of its saves"},
    {nullptr, 0, false, nullptr},
    {"E&xit", 40083, false, nullptr},
};
const Expected view_entries[] = {
    {"&Toolbar", 40051, true, "Toggles the toolbar"},
    {"&Statusbar", 40052, true, "Toggles the statusbar"},
    {"Select &presented key", 40107, false, "Select the key the controller reports in the key list",
     true},
    {"&History", 40111, false,
     "Show the events kept of this database, filtered by period, key, kind and door", false,
     "Ctrl+H"},
    {nullptr, 0, false, nullptr},
    {"&Log window", 40053, true, "Toggle the log window"},
    {"&Key list", 40054, true, "Toggle the key list"},
};
const Expected controller_entries[] = {
    {"&Reset controller", 40024, false, "Reset the key controller"},
    {nullptr, 0, false, nullptr},
    {"Open door &A", 40021, false, "Open door A"},
    {"Open door &B", 40022, false, "Open door B"},
};
const Expected keys_entries[] = {
    {"&Copy from log", 40034, false,
     "Copy the keys that are currently selected in the log to the keylist"},
    {"&New key...", 40031, false, "Add a new key to the database"},
    {nullptr, 0, false, nullptr},
    {"&Edit keys...", 40032, false, "Edit the keys that are currently selected in the keylist"},
    {"&Delete keys", 40033, false, "Delete the keys that are currently selected in the keylist"},
    {"&Find keys", 40101, false, "Show only the keys that contain a text", false, "Ctrl+F"},
    {"Expires &within 14 days", 40108, false,
     "Show only the keys whose last valid day is today or within the next 13 days", true},
    {"Key &usage...", 40112, false,
     "Show when each key was used last and how often, and the keys not used for some time"},
    {nullptr, 0, false, nullptr},
    {"&Import keys from CSV...", 40104, false,
     "Add the keys of a CSV file to the database, after a preview"},
    {"E&xport keys to CSV...", 40102, false, "Write every key of the database to a CSV file"},
    {"Export se&lected keys to CSV...", 40103, false,
     "Write the keys that are currently selected in the keylist to a CSV file"},
    {nullptr, 0, false, nullptr},
    {"&Synchronize", 40035, false, "Synchronize: copy the database to the key controller"},
    {"C&ompare with controller", 40109, false,
     "Read the keys back from the key controller and show how they differ from the database"},
    {"&Verify after synchronize", 40110, true,
     "After a synchronize operation, read the keys back and report any difference"},
    {"Clear controller memory", 40001, false,
     "Clear the memory of the key controller, including the master key"},
};
const Expected help_entries[] = {
    {"&Manual in Browser...", 40082, false,
     "Opens the manual in a web browser like Netscape or IE. Browsers may take some time to "
     "start."},
    {nullptr, 0, false, nullptr},
    {"&About Tessary...", 40041, false, "Displays the program information and copyright"},
};

struct ExpectedMenu {
    const char* title;
    const Expected* entries;
    int count;
};

const ExpectedMenu expected_menus[] = {
    {"&File", file_entries, 12}, {"&View", view_entries, 7}, {"&Controller", controller_entries, 4},
    {"&Keys", keys_entries, 17}, {"&Help", help_entries, 3},
};

QMenu* menu_at(MainWindow& w, int index) {
    return w.menuBar()->actions().at(index)->menu();
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void menus_have_their_texts_ids_checks_and_help();
    void toolbar_has_fourteen_entries_with_help_tooltips();
    void toolbar_images_are_sixteen_by_fifteen_and_distinct();
    void pictures_are_drawn_at_the_screens_pixel_ratio();
    void window_starts_at_an_eighth_of_the_screen();
    void window_starts_untitled_with_children_in_place();
    void title_is_the_program_name_until_a_database_sets_it();
    void highlighted_entry_shows_its_help_and_closing_shows_ready();
    void command_table_names_every_handler();
    void every_command_is_one_action_in_one_menu();
    void status_tips_leave_the_status_bar_alone();
    void menu_and_toolbar_reach_the_command_handlers();
    void unknown_command_ids_are_ignored();
    void view_toggles_show_and_hide_bars_and_panes();
    void panes_are_never_both_hidden();
    void about_box_closes_only_with_ok();
    void clear_memory_asks_with_cancel_as_default();
    void controller_commands_without_port_report_it();
    void copy_from_log_posts_no_request();
    void manual_opens_installed_or_in_the_build_tree_or_reports();
    void save_without_file_name_reports();
    void exit_goes_through_the_close_path();
    void new_database_resets_keeps_port_and_restarts_log();
    void controller_key_list_is_never_shown();
    void open_recent_lists_recent_files();
};

void MainWindowTest::menus_have_their_texts_ids_checks_and_help() {
    TestApp t;
    QList<QAction*> titles = t.window().menuBar()->actions();
    QCOMPARE(titles.size(), 5);
    for (int m = 0; m < 5; ++m) {
        const ExpectedMenu& em = expected_menus[m];
        QCOMPARE(titles[m]->text(), QString::fromLatin1(em.title));
        QList<QAction*> entries = titles[m]->menu()->actions();
        QCOMPARE(entries.size(), em.count);
        // A keyboard user's letters stay unambiguous: no two entries share a mnemonic.
        std::set<QChar> letters;
        for (QAction* a : entries) {
            if (const qsizetype at = a->text().indexOf('&'); at >= 0) {
                QVERIFY2(letters.insert(a->text().at(at + 1).toLower()).second,
                         qPrintable(a->text()));
            }
        }
        for (int i = 0; i < em.count; ++i) {
            const Expected& e = em.entries[i];
            if (!e.text) {
                QVERIFY(entries[i]->isSeparator());
                continue;
            }
            QCOMPARE(entries[i]->text(), QString::fromLatin1(e.text));
            QCOMPARE(entries[i]->data().toInt(), e.id);
            QCOMPARE(entries[i]->isCheckable(), e.checked || e.unchecked_option);
            QCOMPARE(entries[i]->isChecked(), e.checked);
            QCOMPARE(entries[i]->shortcut(),
                     e.shortcut ? QKeySequence(QString::fromLatin1(e.shortcut)) : QKeySequence());
            if (e.help) {
                QCOMPARE(QString::fromLatin1(help_string(e.id)), QString::fromLatin1(e.help));
            } else {
                QVERIFY(help_string(e.id) == nullptr);
            }
        }
    }
}

void MainWindowTest::toolbar_has_fourteen_entries_with_help_tooltips() {
    TestApp t;
    QList<QAction*> entries = t.window().tool_bar()->actions();
    QCOMPARE(entries.size(), 14);
    const int ids[14] = {0,     40021, 40022, 0,     40024, 0,     40034,
                         40035, 0,     0,     40051, 40052, 40053, 40054};
    for (int i = 0; i < 14; ++i) {
        if (ids[i] == 0) {
            QVERIFY2(entries[i]->isSeparator(), qPrintable(QString::number(i)));
            continue;
        }
        QAction* a = entries[i];
        QCOMPARE(a->data().toInt(), ids[i]);
        QCOMPARE(a->toolTip(), QString::fromLatin1(help_string(ids[i])));
        QCOMPARE(a->isEnabled(), true);
        const bool toggle = ids[i] >= 40051;
        QCOMPARE(a->isCheckable(), toggle);
        QCOMPARE(a->isChecked(), toggle);
        // The same action as the menu entry: one enable and one check state for both.
        QCOMPARE(a, t.window().action(ids[i]));
        auto* button = qobject_cast<QToolButton*>(t.window().tool_bar()->widgetForAction(a));
        QVERIFY(button);
        QCOMPARE(button->toolTip(), QString::fromLatin1(help_string(ids[i])));
    }
    QCOMPARE(t.window().tool_bar()->iconSize(), QSize(16, 15));
}

void MainWindowTest::toolbar_images_are_sixteen_by_fifteen_and_distinct() {
    std::vector<QImage> images;
    for (int i = 0; i < toolbar_image_count; ++i) {
        QPixmap pm = toolbar_image(i);
        QCOMPARE(pm.size(), QSize(16, 15));
        QImage img = pm.toImage();
        // Something is drawn on every picture.
        int opaque = 0;
        for (int y = 0; y < img.height(); ++y) {
            for (int x = 0; x < img.width(); ++x) {
                opaque += qAlpha(img.pixel(x, y)) > 0;
            }
        }
        QVERIFY2(opaque > 30, qPrintable(QString::number(i)));
        for (const QImage& other : images) {
            QVERIFY(other != img);
        }
        images.push_back(img);
    }
    QCOMPARE(toolbar_strip().size(), QSize(144, 15));
    QVERIFY(!program_icon().isNull());
    QCOMPARE(program_icon_pixmap(32).size(), QSize(32, 32));
}

void MainWindowTest::pictures_are_drawn_at_the_screens_pixel_ratio() {
    for (int i = 0; i < toolbar_image_count; ++i) {
        QPixmap sharp = toolbar_image(i, 2.0);
        QCOMPARE(sharp.size(), QSize(32, 30));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
        QCOMPARE(sharp.deviceIndependentSize(), QSizeF(16, 15));
        // The icon hands a screen at 200 % the image drawn for it, not the small one enlarged.
        QCOMPARE(toolbar_icon(i).pixmap(QSize(16, 15), 2.0).toImage(), sharp.toImage());
    }
    QPixmap icon = program_icon_pixmap(32, 2.0);
    QCOMPARE(icon.size(), QSize(64, 64));
    QCOMPARE(icon.devicePixelRatio(), 2.0);
    // Rendered from the drawing, not enlarged: finer than the 32 pixel icon scaled up.
    QVERIFY(icon.toImage() != program_icon_pixmap(32).toImage().scaled(64, 64));
    // The door's gold key ring at its centre (11, 17) of 32.
    QCOMPARE(icon.toImage().pixelColor(2 * 11 + 8, 2 * 17).rgb(), QColor(0xe6, 0xb4, 0x00).rgb());
}

void MainWindowTest::window_starts_at_an_eighth_of_the_screen() {
    TestApp t;
    QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(t.window().pos(), QPoint(screen.width() / 16, screen.height() / 16));
    QCOMPARE(t.window().size(), QSize(screen.width() * 7 / 8, screen.height() * 7 / 8));
}

void MainWindowTest::window_starts_untitled_with_children_in_place() {
    TestApp t;
    MainWindow& w = t.window();
    QCOMPARE(w.windowTitle(), QStringLiteral("None - Tessary"));
    QCOMPARE(w.status_text(), QStringLiteral("Ready"));
    QVERIFY(w.tool_bar()->isVisible());
    QVERIFY(w.statusBar()->isVisible());
    QVERIFY(w.log_view()->isVisible());
    QVERIFY(w.key_view()->isVisible());
    QCOMPARE(w.log_view()->objectName(), QStringLiteral("Log listview"));
    QCOMPARE(w.key_view()->objectName(), QStringLiteral("Users listview"));
    // Default column widths, applied at start-up.
    const int log_widths[3] = {55, 450, 110};
    const int key_widths[4] = {55, 150, 205, 205};
    const char* log_titles[3] = {"Key nr.", "Event", "Time"};
    const char* key_titles[4] = {"Key nr.", "Name", "Memo", "Free field"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(w.log_view()->columnWidth(i), log_widths[i]);
        QCOMPARE(w.log_view()->model()->headerData(i, Qt::Horizontal).toString(),
                 QString::fromLatin1(log_titles[i]));
    }
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(w.key_view()->columnWidth(i), key_widths[i]);
        QCOMPARE(w.key_view()->model()->headerData(i, Qt::Horizontal).toString(),
                 QString::fromLatin1(key_titles[i]));
    }
    // No database: no log started, nothing on screen, no comm thread.
    QCOMPARE(w.log_view()->model()->rowCount(), 0);
    QVERIFY(!t.app->link.active());
    QVERIFY(t.boxes().empty());
    QVERIFY(!w.action(CmdSave)->isEnabled());
}

void MainWindowTest::title_is_the_program_name_until_a_database_sets_it() {
    TestClock clock;
    App app(clock);
    MainWindow w(app);
    QCOMPARE(w.windowTitle(), QStringLiteral("Tessary - RD Manager"));
    QVERIFY(!w.windowIcon().isNull());
    // All view flags are off until the first apply_window_properties.
    QCOMPARE(app.view, (ViewFlags{false, false, false, false}));
}

void MainWindowTest::highlighted_entry_shows_its_help_and_closing_shows_ready() {
    TestApp t;
    MainWindow& w = t.window();
    QMenu* file = menu_at(w, 0);
    w.menuBar()->setActiveAction(w.menuBar()->actions().at(0));
    QTRY_VERIFY(file->isVisible());
    // The popup title itself has no help.
    QCOMPARE(w.status_text(), QString());
    file->setActiveAction(w.action(CmdOpenDatabase));
    QCOMPARE(w.status_text(), QStringLiteral("Open a key database"));
    file->setActiveAction(w.action(CmdImportDatabase));
    QCOMPARE(w.status_text(), QStringLiteral("Import the keys of another database into this one"));
    // Exit has no help string: the text empties.
    file->setActiveAction(w.action(CmdExit));
    QCOMPARE(w.status_text(), QString());
    // Moving on to the next menu keeps the text empty; "Ready" comes only when all are closed.
    QMenu* view = menu_at(w, 1);
    w.menuBar()->setActiveAction(w.menuBar()->actions().at(1));
    QTRY_VERIFY(view->isVisible());
    QTest::qWait(20);
    QCOMPARE(w.status_text(), QString());
    view->setActiveAction(w.action(CmdLogWindow));
    QCOMPARE(w.status_text(), QStringLiteral("Toggle the log window"));
    view->close();
    QTRY_COMPARE(w.status_text(), QStringLiteral("Ready"));
    // Every entry of every menu shows its own help.
    for (int m = 0; m < 5; ++m) {
        QMenu* menu = menu_at(w, m);
        w.menuBar()->setActiveAction(w.menuBar()->actions().at(m));
        QTRY_VERIFY(menu->isVisible());
        for (QAction* a : menu->actions()) {
            if (a->isSeparator() || !a->isEnabled()) {
                continue;
            }
            menu->setActiveAction(a);
            const char* help = help_string(a->data().toInt());
            QCOMPARE(w.status_text(), help ? QString::fromLatin1(help) : QString());
        }
        menu->close();
        QTRY_COMPARE(w.status_text(), QStringLiteral("Ready"));
    }
}

void MainWindowTest::command_table_names_every_handler() {
    std::map<int, void (*)(App&)> expected = {
        {40011, new_database},
        {40012, open_database_command},
        {40013, import_database},
        {40014, settings_dialog},
        {40015, save_command},
        {40016, save_as_command},
        {40083, exit_command},
        {40051, toggle_toolbar},
        {40052, toggle_status_bar},
        {40053, toggle_log_window},
        {40054, toggle_key_list},
        {40024, reset_controller},
        {40021, open_door_a},
        {40022, open_door_b},
        {40034, copy_from_log},
        {40031, new_key},
        {40032, edit_keys},
        {40033, delete_keys},
        {40035, synchronize},
        {40001, clear_controller_memory},
        {40082, open_manual},
        {40041, about_box},
        {40101, find_keys},
        {40102, export_keys_csv},
        {40103, export_selected_csv},
        {40104, import_keys_csv},
        {40105, export_log_csv},
        {40106, restore_backup},
        {40107, toggle_presented_key},
        {40108, toggle_expiring_keys},
        {40109, compare_with_controller_command},
        {40110, toggle_verify_after_sync},
        {40111, show_history},
        {40112, key_usage},
        {40017, nullptr},
    };
    QCOMPARE(command_table().size(), expected.size());
    for (const CommandRow& row : command_table()) {
        QVERIFY2(expected.count(row.id), qPrintable(QString::number(row.id)));
        QVERIFY2(expected[row.id] == row.handler, qPrintable(QString::number(row.id)));
    }
}

void MainWindowTest::every_command_is_one_action_in_one_menu() {
    TestApp t;
    std::map<QAction*, int> seen;
    for (QAction* title : t.window().menuBar()->actions()) {
        for (QAction* a : title->menu()->actions()) {
            seen[a] += !a->isSeparator();
        }
    }
    for (const CommandRow& row : command_table()) {
        QAction* a = t.window().action(row.id);
        QVERIFY2(a && seen[a] == 1, row.text);
        QCOMPARE(a->data().toInt(), row.id);
        QCOMPARE(a->statusTip(), row.help ? QString::fromLatin1(row.help) : QString());
    }
}

void MainWindowTest::status_tips_leave_the_status_bar_alone() {
    TestApp t;
    MainWindow& w = t.window();
    QAction* a = w.action(CmdSynchronize);
    QWidget* button = w.tool_bar()->widgetForAction(a);
    QStatusTipEvent tip(a->statusTip());
    QApplication::sendEvent(button, &tip);
    QCOMPARE(w.status_text(), QStringLiteral("Ready"));
    QVERIFY(w.statusBar()->currentMessage().isEmpty());
}

void MainWindowTest::menu_and_toolbar_reach_the_command_handlers() {
    TestApp t;
    MainWindow& w = t.window();
    std::vector<int> reached;
    for (auto& [id, command] : t.app->commands) {
        command.handler = [&reached, id = id](App&) { reached.push_back(id); };
    }
    std::vector<int> menu_ids;
    for (QAction* title : w.menuBar()->actions()) {
        for (QAction* a : title->menu()->actions()) {
            if (a->isSeparator()) {
                continue;
            }
            a->setEnabled(true);
            menu_ids.push_back(a->data().toInt());
            a->trigger();
        }
    }
    QCOMPARE(reached, menu_ids);
    QCOMPARE(reached.size(), size_t(35));
    // Toolbar buttons reach the same handlers.
    reached.clear();
    std::vector<int> button_ids;
    for (QAction* a : w.tool_bar()->actions()) {
        if (a->isSeparator()) {
            continue;
        }
        button_ids.push_back(a->data().toInt());
        QTest::mouseClick(w.tool_bar()->widgetForAction(a), Qt::LeftButton);
    }
    QCOMPARE(reached, button_ids);
    // The list views' own actions: Delete in the key list, double-clicks in both lists.
    reached.clear();
    w.key_view()->setFocus();
    QTest::keyClick(w.key_view(), Qt::Key_Delete);
    QCOMPARE(reached, std::vector<int>{CmdDeleteKeys});
    reached.clear();
    QTest::mouseDClick(w.log_view()->viewport(), Qt::LeftButton, {}, QPoint(20, 5));
    QCOMPARE(reached, std::vector<int>{CmdCopyFromLog});
}

void MainWindowTest::unknown_command_ids_are_ignored() {
    TestApp t;
    dispatch_command(*t.app, 12345);
    dispatch_command(*t.app, 0);
    QVERIFY(t.boxes().empty());
}

void MainWindowTest::view_toggles_show_and_hide_bars_and_panes() {
    TestApp t;
    MainWindow& w = t.window();
    struct Toggle {
        int id;
        QWidget* child;
    } toggles[] = {{CmdToolbar, w.tool_bar()},
                   {CmdStatusbar, w.statusBar()},
                   {CmdLogWindow, w.log_view()},
                   {CmdKeyList, w.key_view()}};
    for (const Toggle& tg : toggles) {
        QAction* a = w.action(tg.id);
        a->trigger();
        QVERIFY(!tg.child->isVisible());
        QVERIFY(!a->isChecked());
        a->trigger();
        QVERIFY(tg.child->isVisible());
        QVERIFY(a->isChecked());
    }
    // Through the toolbar button too.
    QTest::mouseClick(w.tool_bar()->widgetForAction(w.action(CmdStatusbar)), Qt::LeftButton);
    QVERIFY(!w.statusBar()->isVisible());
    QVERIFY(!t.app->view.status_bar);
    QVERIFY(!w.action(CmdStatusbar)->isChecked());
    // Hidden bars give their room to the panes.
    w.action(CmdToolbar)->trigger();
    QCOMPARE(w.log_view()->geometry().top(), 0);
    QCOMPARE(w.pane_area()->geometry().top(), w.menuBar()->geometry().bottom() + 1);
    QCOMPARE(w.key_view()->geometry().bottom(),
             w.pane_area()->height() - 1 + (w.pane_area()->height() % 2 ? 1 : 0));
}

void MainWindowTest::panes_are_never_both_hidden() {
    TestApp t;
    MainWindow& w = t.window();
    w.action(CmdKeyList)->trigger();
    QVERIFY(!w.key_view()->isVisible());
    // Hiding the log while the key list is hidden shows the key list instead.
    w.action(CmdLogWindow)->trigger();
    QVERIFY(!t.app->view.log_window);
    QVERIFY(t.app->view.key_list);
    QVERIFY(!w.log_view()->isVisible());
    QVERIFY(w.key_view()->isVisible());
    QVERIFY(w.action(CmdKeyList)->isChecked());
    QVERIFY(!w.action(CmdLogWindow)->isChecked());
    // Only the key list: it starts under the toolbar and takes the whole height.
    QCOMPARE(w.key_view()->geometry(),
             QRect(0, 0, w.pane_area()->width(), w.pane_area()->height()));
    // And the reverse.
    w.action(CmdKeyList)->trigger();
    QVERIFY(t.app->view.log_window);
    QVERIFY(!t.app->view.key_list);
    QVERIFY(w.log_view()->isVisible());
    QCOMPARE(w.log_view()->geometry(),
             QRect(0, 0, w.pane_area()->width(), w.pane_area()->height()));
    // Flags that arrive with both panes off come up with the key list shown.
    t.app->document.layout.stored_view = ViewFlags{true, true, false, false};
    apply_window_properties(*t.app);
    QVERIFY(t.app->view.key_list);
    QVERIFY(w.key_view()->isVisible());
    QVERIFY(!w.log_view()->isVisible());
}

void MainWindowTest::about_box_closes_only_with_ok() {
    TestApp t;
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("About Tessary"));
        auto* text = box->findChild<QLabel*>(QStringLiteral("about_text"));
        QVERIFY(text);
        QVERIFY(text->text().contains(QStringLiteral("Version 2.6")));
        // A sixth of the main window's width and a quarter of its height from the corner.
        QCOMPARE(box->pos(), QPoint(t.window().frameGeometry().width() / 6,
                                    t.window().frameGeometry().height() / 4));
        QTest::keyClick(box, Qt::Key_Escape);
        QVERIFY(box->isVisible());
        box->close();
        QVERIFY(box->isVisible());
        QTest::keyClick(box, Qt::Key_Return);
        QVERIFY(!box->isVisible());
        checked = true;
    });
    t.window().action(CmdAbout)->trigger();
    QVERIFY(checked);
}

void MainWindowTest::clear_memory_asks_with_cancel_as_default() {
    TestApp t;
    t.window().action(CmdClearMemory)->trigger();
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("Tessary - Clearing the key controller"));
    QCOMPARE(boxes[0].text,
             std::string("Clearing the memory of the key controller will remove all the keys, "
                         "including\nthe master key. After that, the first key physically held "
                         "to a contact will\nbecome the new master key. Until that happens, "
                         "synchronizing won't work.\n\nPlease confirm that this is what you want "
                         "to do."));
    QCOMPARE(boxes[0].icon, MsgIcon::Warning);
    QCOMPARE(boxes[0].buttons, MsgButtons::OkCancel);
    QCOMPARE(boxes[0].default_button, MsgAnswer::Cancel);
    // Cancel (the default) posts nothing: no second box about a missing port.
    QCOMPARE(t.boxes().size(), size_t(1));
    // OK posts the clear request, which without a comm thread reports the missing port.
    t.host().push_answer(MsgAnswer::Ok);
    t.window().action(CmdClearMemory)->trigger();
    boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(3));
    QCOMPARE(boxes[2].caption, std::string("Tessary - Serial communications"));
}

void MainWindowTest::controller_commands_without_port_report_it() {
    TestApp t;
    for (int id : {CmdOpenDoorA, CmdOpenDoorB, CmdResetController}) {
        t.host().clear_boxes();
        t.window().action(id)->trigger();
        std::vector<ShownBox> boxes = t.boxes();
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes[0].caption, std::string("Tessary - Serial communications"));
        QCOMPARE(boxes[0].text,
                 std::string("There is no active COM port.\n\nChoose one using the "
                             "'File/Settings'\nmenu, or open an existing database."));
    }
}

void MainWindowTest::copy_from_log_posts_no_request() {
    TestApp t;
    t.window().action(CmdCopyFromLog)->trigger();
    QVERIFY(t.boxes().empty());
    QCOMPARE(t.app->link.pending_requests(), 0u);
}

void MainWindowTest::manual_opens_installed_or_in_the_build_tree_or_reports() {
    const QString bin = QCoreApplication::applicationDirPath();
    const QString installed_dir = QDir::cleanPath(bin + "/../share/doc/tessary/Manual");
    const QString installed = installed_dir + "/Tessary.html";
    const QString beside = bin + "/Manual/Tessary.html";
    QDir().mkpath(installed_dir);
    QDir().mkpath(bin + "/Manual");
    QFile::remove(installed);
    QFile::remove(beside);
    {
        TestApp t;
        t.window().action(CmdManual)->trigger();
        QVERIFY(t.opened_urls.empty());
        std::vector<ShownBox> boxes = t.boxes();
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes[0].caption, std::string("Tessary - Opening help file"));
        QCOMPARE(boxes[0].text,
                 "Tessary can't open the file '" + installed.toStdString() +
                     "' which contains the manual.\n\nThe file should be installed in '" +
                     installed_dir.toStdString() +
                     "', or in a build tree be in the folder 'Manual' beside the executable in '" +
                     bin.toStdString() + "'.\nYou also need a web browser to view the manual.");
        QCOMPARE(boxes[0].icon, MsgIcon::Error);
        QCOMPARE(boxes[0].buttons, MsgButtons::Ok);
    }
    // The installed manual comes first; a build tree's copy serves when there is none.
    const struct {
        bool installed, beside;
        QString opens;
    } layouts[] = {{false, true, beside}, {true, true, installed}, {true, false, installed}};
    for (const auto& layout : layouts) {
        QFile::remove(installed);
        QFile::remove(beside);
        if (layout.installed) {
            write_file(installed.toStdString(), "<html></html>");
        }
        if (layout.beside) {
            write_file(beside.toStdString(), "<html></html>");
        }
        TestApp t;
        t.window().action(CmdManual)->trigger();
        QCOMPARE(t.opened_urls.size(), size_t(1));
        QCOMPARE(t.opened_urls[0], QUrl::fromLocalFile(layout.opens));
        QVERIFY(t.boxes().empty());
        // A viewer that cannot be started gives the message, naming the file it found.
        t.open_url_result = false;
        t.window().action(CmdManual)->trigger();
        QCOMPARE(t.boxes().size(), size_t(1));
        QCOMPARE(t.boxes()[0].caption, std::string("Tessary - Opening help file"));
        QVERIFY(t.boxes()[0].text.starts_with("Tessary can't open the file '" +
                                              layout.opens.toStdString() + "'"));
    }
    QFile::remove(installed);
    QFile::remove(beside);
    QDir(bin + "/../share").removeRecursively();
}

void MainWindowTest::save_without_file_name_reports() {
    TestApp t;
    t.window().action(CmdSave)->setEnabled(true);
    t.window().action(CmdSave)->trigger();
    std::vector<ShownBox> boxes = t.boxes();
    QCOMPARE(boxes.size(), size_t(1));
    QCOMPARE(boxes[0].caption, std::string("Tessary - Saving database"));
    QCOMPARE(boxes[0].text, std::string("There is no open file to save to. Use 'Save As'."));
    QCOMPARE(boxes[0].icon, MsgIcon::Error);
}

void MainWindowTest::exit_goes_through_the_close_path() {
    TestApp t;
    MainWindow& w = t.window();
    // A key makes the new database worth saving; Cancel in the prompt keeps the program.
    t.app->database.keys.add(KeyId{0, 0xa3f1, 0});
    mark_modified(*t.app);
    t.host().push_answer(MsgAnswer::Cancel);
    w.action(CmdExit)->trigger();
    // Exit only posts the close.
    QVERIFY(t.boxes().empty());
    QTRY_COMPARE(t.boxes().size(), size_t(1));
    QVERIFY(w.isVisible());
    QCOMPARE(t.boxes()[0].caption, std::string("Tessary - Closing Tessary"));
    // No: closes without saving, after "Log ended".
    t.host().push_answer(MsgAnswer::No);
    w.action(CmdExit)->trigger();
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(t.boxes().size(), size_t(2));
    QCOMPARE(t.app->screen_log.rows.size(), size_t(0));
}

void MainWindowTest::new_database_resets_keeps_port_and_restarts_log() {
    TestApp t;
    MainWindow& w = t.window();
    t.app->database.keys.add(KeyId{0, 0xa3f1, 0});
    t.app->database.log.screen_log_lines = 5;
    w.action(CmdToolbar)->trigger();
    w.resize(w.width() - 40, w.height() - 30);
    const QRect geometry = w.geometry();
    // Unsaved keys: the prompt comes first; Cancel leaves everything.
    t.host().push_answer(MsgAnswer::Cancel);
    w.action(CmdNewDatabase)->trigger();
    QCOMPARE(t.app->database.keys.size(), 1);
    // No: the database is reset, the window keeps its place and size, all children show.
    t.host().push_answer(MsgAnswer::No);
    w.action(CmdNewDatabase)->trigger();
    QCOMPARE(t.app->database.keys.size(), 0);
    QCOMPARE(w.key_view()->model()->rowCount(), 0);
    QCOMPARE(t.app->database.log.screen_log_lines, 1000);
    QVERIFY(w.tool_bar()->isVisible());
    QCOMPARE(w.geometry(), geometry);
    QCOMPARE(w.windowTitle(), QStringLiteral("None - Tessary"));
    QVERIFY(!t.app->document.modified);
    // A new log: only "Log started" is on screen.
    QCOMPARE(w.log_view()->model()->rowCount(), 1);
    QCOMPARE(w.log_view()->model()->index(0, 1).data().toString(), QStringLiteral("Log started"));
    // The COM port survives New database; with a port of 0 no thread starts and nothing is said.
    QCOMPARE(t.app->database.log.com_port, 0u);
    QCOMPARE(t.boxes().size(), size_t(2));
}

void MainWindowTest::controller_key_list_is_never_shown() {
    TestApp t;
    QVERIFY(t.app->controller_keys.observer() == nullptr);
    t.app->controller_keys.add(KeyId{0, 1, 0});
    QCOMPARE(t.window().key_view()->model()->rowCount(), 0);
    QCOMPARE(t.window().findChildren<RowClickView*>().size(), 2);
}

QTEST_MAIN(MainWindowTest)

void MainWindowTest::open_recent_lists_recent_files() {
    QTemporaryDir dir;
    const QString present = dir.filePath("present.tsy");
    write_file(present.toStdString(), "");
    TestApp t;
    MainWindow& w = t.window();
    QAction* entry = w.action(CmdOpenRecent);
    QVERIFY(!entry->isEnabled());
    RecentFiles(*t.app->settings).add(dir.filePath("gone.tsy"));
    RecentFiles(*t.app->settings).add(present);
    // Opening the File menu refills the submenu.
    w.menuBar()->setActiveAction(w.menuBar()->actions().at(0));
    QTRY_VERIFY(menu_at(w, 0)->isVisible());
    QVERIFY(entry->isEnabled());
    QList<QAction*> files = entry->menu()->actions();
    QCOMPARE(files.size(), 2);
    QCOMPARE(files[0]->text(), QStringLiteral("&1 present.tsy"));
    QVERIFY(files[0]->isEnabled());
    QVERIFY(!files[1]->isEnabled());
    // An entry shows its path as help, and opens it.
    emit entry->menu()->hovered(files[0]);
    QCOMPARE(w.status_text(), present);
    menu_at(w, 0)->close();
    files[0]->trigger();
    QCOMPARE(QString::fromStdString(t.app->database.file_name), present);
}

#include "main_window_test.moc"
