#include "events/log_file.h"

#include "core/buffer.h"

namespace {

// Where the extension begins, or the path's end when its last component has none.
size_t extension_cut(std::string_view path) {
    size_t dot = path.rfind('.');
    size_t slash = path.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && slash > dot)) {
        return path.size();
    }
    return dot;
}

void append_padded(std::string& out, std::string_view field, size_t width) {
    out.append(field);
    if (field.size() < width) {
        out.append(width - field.size(), ' ');
    }
}

} // namespace

std::string log_time_text(const LocalTime& t) {
    BufferPtr b = make_buffer(40);
    buffer_append_decimal(b.get(), t.year, 0);
    buffer_push(b.get(), '/');
    buffer_append_decimal(b.get(), t.month, 0);
    buffer_push(b.get(), '/');
    buffer_append_decimal(b.get(), t.day, 0);
    buffer_push(b.get(), ' ');
    buffer_append_decimal(b.get(), t.hour, 0);
    buffer_push(b.get(), ':');
    buffer_append_decimal(b.get(), t.minute, 2);
    return buffer_string(b.get());
}

std::string log_file_name(std::string_view database_path) {
    std::string name(database_path.substr(0, extension_cut(database_path)));
    name += ".log";
    return name;
}

std::string rotated_log_file_name(std::string_view database_path, const LocalTime& t, int number) {
    // What follows the cut is bounded, as the name was built in a fixed buffer.
    BufferPtr suffix = make_buffer(29);
    buffer_append_text(suffix.get(), "-upto-");
    buffer_append_decimal(suffix.get(), t.year, 4);
    buffer_append_decimal(suffix.get(), t.month, 2);
    buffer_append_decimal(suffix.get(), t.day, 2);
    buffer_push(suffix.get(), '-');
    buffer_append_decimal(suffix.get(), t.hour, 0);
    buffer_push(suffix.get(), 'h');
    buffer_append_decimal(suffix.get(), t.minute, 2);
    if (number > 1) {
        buffer_push(suffix.get(), '-');
        buffer_append_decimal(suffix.get(), number, 0);
    }
    buffer_append_text(suffix.get(), ".log");
    std::string name(database_path.substr(0, extension_cut(database_path)));
    name += buffer_view(suffix.get());
    return name;
}

std::string log_file_line(std::string_view time_text, std::string_view key_text,
                          std::string_view event_text) {
    std::string line;
    line.reserve(log_time_width + log_key_width + log_event_width + 2 + key_text.size() +
                 event_text.size());
    append_padded(line, time_text, log_time_width);
    append_padded(line, key_text, log_key_width);
    append_padded(line, event_text, log_event_width);
    line += "\r\n";
    return line;
}
