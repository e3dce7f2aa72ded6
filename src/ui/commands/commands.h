// The handlers of the command table and of the list views' mouse and key actions. Each lives in
// the file of the feature it belongs to.
#pragma once

#include "ui/commands/command_ids.h"

#include <cstdint>
#include <string>

struct App;
class MainWindow;

// File menu.
void new_database(App& app);
void open_database_command(App& app); // save-changes prompt, then open_database
// An entry of File > Open Recent: the save-changes prompt, then the same open as File > Open.
void open_recent(App& app, const std::string& path);
void import_database(App& app);
void settings_dialog(App& app);
void save_command(App& app);
void save_as_command(App& app);
void exit_command(App& app);
void restore_backup(App& app);

// View menu.
void toggle_toolbar(App& app);
void toggle_status_bar(App& app);
void toggle_log_window(App& app);
void toggle_key_list(App& app);
void toggle_presented_key(App& app);
// View › History: shows the History window, made on first use.
void show_history(App& app);

// Controller menu.
void reset_controller(App& app);
void open_door_a(App& app);
void open_door_b(App& app);
void clear_controller_memory(App& app);

// Keys menu and the list views.
void copy_from_log(App& app);
void new_key(App& app);
void edit_keys(App& app);
void delete_keys(App& app);
int edit_key_dialog(App& app, int row);
void synchronize(App& app);
void compare_with_controller_command(App& app);
// A comparison's end, on the user-interface thread: its failure, or the difference in a dialog
// from which Synchronize can be started.
struct KeyDifference;
enum class SyncResult;
void show_comparison_result(App& app, SyncResult result, const KeyDifference& diff);
void toggle_verify_after_sync(App& app);
// The Verify after synchronize option: on unless the user's settings turned it off.
bool verify_after_sync(const App& app);
void find_keys(App& app);
// Keys › Expires within 14 days: the key list shows only those keys, with the find field's text.
void toggle_expiring_keys(App& app);
// Selects the key of that number in the key list and scrolls to it; false when the list does not
// show it.
bool select_key_in_list(App& app, uint32_t number);
// Keys › Key usage.
void key_usage(App& app);
// Follows the screen log for View › Select presented key.
void watch_presented_keys(App& app, MainWindow& window);
void import_keys_csv(App& app);
void export_keys_csv(App& app);
void export_selected_csv(App& app);
void export_log_csv(App& app); // File menu
// Asks for the CSV file to export to and writes text into it; says so when it cannot.
void write_csv(App& app, const std::string& text);

// Help menu.
void open_manual(App& app);
void about_box(App& app);
