// The database being served and the other things a .TSY file keeps beside its keys: the log
// settings, and how the window showed the database.
#pragma once

#include "database/key_list.h"

#include <cstdint>
#include <string>

// What serving a database takes besides its keys: the controller's COM port and the limits of
// the screen log and of the log file.
struct LogSettings {
    uint32_t com_port = 0;
    int32_t screen_log_lines = 1000;
    int32_t log_file_size = 710;
    bool rename_full_logs = false;
};

constexpr int default_log_widths[3] = {55, 450, 110};
constexpr int default_key_widths[4] = {55, 150, 205, 205};

struct WindowRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

// View flags in the order toolbar, status bar, log window, key list.
struct ViewFlags {
    bool toolbar = true;
    bool status_bar = true;
    bool log_window = true;
    bool key_list = true;
    friend bool operator==(const ViewFlags&, const ViewFlags&) = default;
};

// How a window showed the database, as its file keeps it. The *_present flags say which of the
// window lines the file read held, so that a save without a window writes back only those.
struct WindowLayout {
    bool rect_present = false;
    bool log_widths_present = false;
    bool key_widths_present = false;
    ViewFlags stored_view;
    bool save_window_properties = true;
    WindowRect window_rect;
    int32_t log_widths[3] = {55, 450, 110};
    int32_t key_widths[4] = {55, 150, 205, 205};
};

// The database being served. The file name stays with it because what is kept beside the
// database (its log file) follows its name.
struct KeyDatabase {
    std::string file_name;         // empty: the database has no file yet
    uint32_t file_name_offset = 0; // where the bare file name begins in file_name
    KeyList keys;
    LogSettings log;

    // No rows (the observer told, and kept), no file name, the default settings.
    void reset();
};

// Everything a .TSY file holds: what a read fills and a write takes.
struct DatabaseContents {
    KeyList keys;
    LogSettings log;
    WindowLayout layout;

    // No rows (the observer told, and kept), the default settings and layout.
    void reset();
};
