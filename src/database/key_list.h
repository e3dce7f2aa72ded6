// The key database: key records held as the rows of a key list, in display order, and the
// database record that carries the settings a .TSY file stores.
#pragma once

#include "core/buffer.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Three words; the middle one is the key number (24 significant bits). The other two are 0 in
// the key database and carry a key report's family and check fields elsewhere.
struct KeyId {
    uint32_t first = 0;
    uint32_t number = 0;
    uint32_t last = 0;
    friend bool operator==(const KeyId&, const KeyId&) = default;
};

constexpr uint32_t key_text_capacity = 2000;

// The key record owned by one row; its three texts are Buffers of capacity 2000.
struct KeyRecord {
    KeyId id;
    BufferPtr name = make_buffer(key_text_capacity);
    BufferPtr memo = make_buffer(key_text_capacity);
    BufferPtr free_field = make_buffer(key_text_capacity);
};

// Told about every change of a key list, so that a view can follow the rows.
struct KeyListObserver {
    virtual ~KeyListObserver() = default;
    virtual void rows_inserted(int first, int last) = 0;
    virtual void rows_removed(int first, int last) = 0;
    virtual void row_changed(int row) = 0;
    virtual void rows_reordered() = 0; // a sort
    virtual void rows_reset() = 0;     // everything may have changed (clear)
};

// The row store. Rows are display positions; an index beside them keeps "is this number here"
// lookups constant-time (low 24 bits; the first row with a number wins).
struct KeyList {
    std::vector<std::unique_ptr<KeyRecord>> rows;
    std::unordered_multimap<uint32_t, KeyRecord*> by_number;
    KeyListObserver* observer = nullptr;
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

struct DatabaseRecord {
    std::string file_name;         // empty: the database has no file yet
    uint32_t file_name_offset = 0; // where the bare file name begins in file_name
    bool log_error_shown = false;
    bool modified = false;
    bool rect_present = false;
    bool log_widths_present = false;
    bool key_widths_present = false;
    ViewFlags stored_view;
    bool save_window_properties = true;
    WindowRect window_rect;
    int32_t log_widths[3] = {55, 450, 110};
    int32_t key_widths[4] = {55, 150, 205, 205};
    uint32_t com_port = 0;
    int32_t screen_log_lines = 1000;
    int32_t log_file_size = 710;
    bool rename_full_logs = false;
    KeyList keys;
};

void create_key_list(DatabaseRecord& rec, KeyListObserver* observer);
void reset_database(DatabaseRecord& rec);
int append_key_row(DatabaseRecord& rec);
int add_key(DatabaseRecord& rec, const KeyId& id, Buffer* name, Buffer* memo, Buffer* free_field);
int find_key(const DatabaseRecord& rec, const KeyId& id);
void read_key_row(const DatabaseRecord& rec, int row, KeyId* id, Buffer* name, Buffer* memo,
                  Buffer* free_field);
void replace_key_row(DatabaseRecord& rec, int row, const KeyId& id, Buffer* name, Buffer* memo,
                     Buffer* free_field);
void delete_key_row(DatabaseRecord& rec, int row);
void clear_key_list(DatabaseRecord& rec);
int key_row_count(const DatabaseRecord& rec);
// The on-demand display text of one cell: column 0 key number, 1 name, 2 memo, 3 free field.
std::string key_cell_text(const DatabaseRecord& rec, int row, int column);
int compare_key_rows(const KeyRecord& a, const KeyRecord& b, int column);
// Stable, always ascending (the LVN_COLUMNCLICK handling).
void sort_key_rows(DatabaseRecord& rec, int column);
void key_list_difference(const DatabaseRecord& list_a, const DatabaseRecord& list_b, KeyId* array_a,
                         KeyId* array_b, int* count_a, int* count_b);
