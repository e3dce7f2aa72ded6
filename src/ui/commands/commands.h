// The handlers of the command table and of the list views' mouse and key actions. Each lives in
// the file of the feature it belongs to.
#pragma once

struct App;

// File menu.
void new_database(App& app);
void open_database_command(App& app); // save-changes prompt, then open_database
void import_database(App& app);
void settings_dialog(App& app);
void save_command(App& app);
void save_as_command(App& app);
void exit_command(App& app);

// View menu.
void toggle_toolbar(App& app);
void toggle_status_bar(App& app);
void toggle_log_window(App& app);
void toggle_key_list(App& app);

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

// Help menu.
void open_manual(App& app);
void about_box(App& app);
