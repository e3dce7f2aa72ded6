#include "database/tsy_file.h"

#include "platform/host.h"

#include <memory>
#include <optional>
#include <string>

namespace {

constexpr uint32_t keyword_capacity = 500;
constexpr uint32_t field_capacity = 2000;
constexpr uint32_t line_capacity = 500;

const char* const old_format_warning =
    "This '.TSY' file was created by an older version of Tessary.\n"
    "Tessary will now try to read the file.\n\n"
    "However, if you save the file in this program, older\n"
    "versions of Tessary may not be able to load it any more.";

// Hands out the file's bytes one at a time from large reads: the reader works byte by byte,
// and a system call per byte would make loading a large database crawl.
class ByteReader {
  public:
    ByteReader(File& file, const ReadProgress& progress, int64_t size)
        : file_(file), chunk_(new char[chunk_size]), progress_(progress), size_(size) {}

    // The next byte (0-255), or -1 at the end of the file or after a failed read.
    int next() {
        if (pos_ == len_ && !refill()) {
            return -1;
        }
        return static_cast<unsigned char>(chunk_[pos_++]);
    }

  private:
    bool refill() {
        if (ended_) {
            return false;
        }
        long n = file_.read(chunk_.get(), chunk_size);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        pos_ = 0;
        len_ = static_cast<size_t>(n);
        read_ += n;
        if (progress_ && !progress_(read_, size_ > 0 ? size_ : 0)) {
            ended_ = true;
            return false;
        }
        return true;
    }

    static constexpr size_t chunk_size = 64 * 1024;
    File& file_;
    std::unique_ptr<char[]> chunk_;
    const ReadProgress& progress_;
    int64_t size_;
    int64_t read_ = 0;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool ended_ = false;
};

struct LineReader {
    ByteReader bytes;
    bool line_start = true;

    // One field into dst (cut at its capacity). False at the end of the file, keeping what was
    // collected; callers take that as the end of reading.
    bool read_field(Buffer* dst) {
        buffer_clear(dst);
        for (;;) {
            int byte = bytes.next();
            if (byte < 0) {
                return false;
            }
            if (byte == '\t') {
                line_start = false;
                return true;
            }
            if (byte == '\n') {
                line_start = true;
                return true;
            }
            if (byte == '\r') {
                continue;
            }
            buffer_push(dst, byte);
            line_start = false;
        }
    }

    void skip_line() {
        if (line_start) {
            return;
        }
        for (;;) {
            int byte = bytes.next();
            if (byte < 0) {
                return;
            }
            if (byte == '\n') {
                line_start = true;
                return;
            }
        }
    }
};

int32_t parse_decimal(Buffer* field) {
    return buffer_parse_decimal(field, 0);
}

// Window edges may be left of or above the screen's origin; they carry a minus sign. A field
// without one reads as an unsigned decimal, as it always did.
int32_t parse_signed_decimal(Buffer* field) {
    if (buffer_peek(field) == '-') {
        buffer_next(field);
        uint32_t magnitude = static_cast<uint32_t>(buffer_parse_decimal(field, 0));
        return static_cast<int32_t>(0u - magnitude);
    }
    return buffer_parse_decimal(field, 0);
}

// Reads the widths of a column record; a width whose field cannot be read stays unchanged.
template <int N> void read_widths(LineReader& in, Buffer* field, int32_t (&widths)[N]) {
    for (int i = 0; i < N; ++i) {
        if (in.read_field(field)) {
            widths[i] = parse_decimal(field);
        }
    }
}

// A key number that is not hexadecimal parses to -1; such a line is passed over rather than
// turned into key ffffff.
bool parse_key_number(Buffer* field, uint32_t* number) {
    int32_t value = buffer_parse_hex(field, 6);
    if (value == -1) {
        return false;
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

void read_old_database(DatabaseRecord& rec, LineReader& in) {
    BufferPtr f[5];
    for (auto& b : f) {
        b = make_buffer(field_capacity);
    }
    for (;;) {
        in.skip_line();
        if (!in.read_field(f[0].get())) {
            return;
        }
        if (buffer_remaining(f[0].get()) == 0 || buffer_matches(f[0].get(), ";") ||
            buffer_matches(f[0].get(), "#")) {
            continue;
        }
        for (int i = 1; i < 5; ++i) {
            if (!in.read_field(f[i].get())) {
                return;
            }
        }
        // The older format had no memo; its second, first and fifth texts become the free field.
        Buffer* free_field = f[2].get();
        buffer_append_text(free_field, "   ");
        buffer_append(free_field, f[1].get());
        buffer_append_text(free_field, "   ");
        buffer_append(free_field, f[4].get());
        uint32_t number = 0;
        if (!parse_key_number(f[0].get(), &number)) {
            continue;
        }
        auto memo = make_buffer(field_capacity);
        add_key(rec, KeyId{0, number, 0}, f[3].get(), memo.get(), free_field);
    }
}

// VALID, key, first day, last day: the dates of a key read from this file (rows from
// first_new_row on). A line for any other key, or with a date that is not YYYY-MM-DD, is passed
// over like any line the reader does not know.
void read_validity(DatabaseRecord& rec, LineReader& in, BufferPtr (&f)[4], int first_new_row) {
    for (int i = 0; i < 3; ++i) {
        if (!in.read_field(f[i].get())) {
            return;
        }
    }
    uint32_t number = 0;
    if (buffer_remaining(f[0].get()) != 6 || !parse_key_number(f[0].get(), &number)) {
        return;
    }
    int row = find_key(rec, KeyId{0, number, 0});
    if (row < first_new_row) {
        return;
    }
    std::optional<Day> days[2];
    for (int i = 0; i < 2; ++i) {
        std::string_view text = buffer_view(f[1 + i].get());
        if (!text.empty()) {
            days[i] = parse_day(text);
            if (!days[i]) {
                return;
            }
        }
    }
    set_key_validity(rec, row, days[0], days[1]);
}

bool known_keyword(const Buffer* kw) {
    for (const char* k : {";", "#", "KEY", "VALID", "COM", "BOOL1", "WINDOW", "COLUMNSLOG",
                          "COLUMNSKEY", "SCREENLOGLINES", "LOGFILESIZE"}) {
        if (buffer_matches(kw, k)) {
            return true;
        }
    }
    return false;
}

void read_lines(DatabaseRecord& rec, File& file, bool import_only, Host& host,
                bool read_validity_lines, const ReadProgress& progress, int& recognised) {
    const int first_new_row = key_row_count(rec);
    // A whole database replaces the rows a view showed (the list was just reset) and may hold a
    // million keys: one reset for the view. An import adds to rows the user may have selected.
    std::optional<KeyListBulkChange> bulk;
    if (!import_only) {
        bulk.emplace(rec);
    }
    // A key line takes some 40 bytes or more; a guess on the high side costs little.
    const int64_t size = file.size();
    if (size > 0) {
        reserve_key_rows(rec,
                         static_cast<size_t>(key_row_count(rec)) + static_cast<size_t>(size / 32));
    }
    auto keyword = make_buffer(keyword_capacity);
    BufferPtr f[4];
    for (auto& b : f) {
        b = make_buffer(field_capacity);
    }
    LineReader in{ByteReader(file, progress, size)};
    Buffer* kw = keyword.get();

    for (;;) {
        in.skip_line();
        if (!in.read_field(kw)) {
            return;
        }
        if (known_keyword(kw)) {
            ++recognised;
        }
        if (buffer_matches(kw, "#") || buffer_matches(kw, ";#")) {
            host.message_box("Tessary - Loading database", old_format_warning, MsgIcon::Warning,
                             MsgButtons::Ok, MsgAnswer::Ok);
            read_old_database(rec, in);
            return;
        }
        if (buffer_matches(kw, "KEY")) {
            for (auto& b : f) {
                if (!in.read_field(b.get())) {
                    return;
                }
            }
            uint32_t number = 0;
            if (parse_key_number(f[0].get(), &number)) {
                add_key(rec, KeyId{0, number, 0}, f[1].get(), f[2].get(), f[3].get());
            }
        }
        // Before the import test: an imported key keeps its dates.
        if (read_validity_lines && buffer_matches(kw, "VALID")) {
            read_validity(rec, in, f, first_new_row);
        }
        if (import_only) {
            continue;
        }
        Buffer* v = f[0].get();
        if (buffer_matches(kw, "COM")) {
            if (!in.read_field(v)) {
                return;
            }
            rec.com_port = static_cast<uint32_t>(parse_decimal(v));
        }
        if (buffer_matches(kw, "BOOL1")) {
            if (!in.read_field(v)) {
                return;
            }
            uint32_t flags = static_cast<uint32_t>(buffer_parse_hex(v, 2));
            rec.stored_view.toolbar = flags & 1;
            rec.stored_view.status_bar = flags & 2;
            rec.stored_view.log_window = flags & 4;
            rec.stored_view.key_list = flags & 8;
            rec.save_window_properties = flags & 16;
            rec.rename_full_logs = flags & 32;
        }
        if (buffer_matches(kw, "WINDOW")) {
            // All four fields first: a rectangle cut short is not applied at all.
            for (auto& b : f) {
                if (!in.read_field(b.get())) {
                    return;
                }
            }
            rec.window_rect.left = parse_signed_decimal(f[0].get());
            rec.window_rect.top = parse_signed_decimal(f[1].get());
            rec.window_rect.right = parse_signed_decimal(f[2].get());
            rec.window_rect.bottom = parse_signed_decimal(f[3].get());
            rec.rect_present = true;
        }
        if (buffer_matches(kw, "COLUMNSLOG")) {
            read_widths(in, v, rec.log_widths);
            rec.log_widths_present = true;
        }
        if (buffer_matches(kw, "COLUMNSKEY")) {
            read_widths(in, v, rec.key_widths);
            rec.key_widths_present = true;
        }
        if (buffer_matches(kw, "SCREENLOGLINES")) {
            if (!in.read_field(v)) {
                return;
            }
            rec.screen_log_lines = parse_decimal(v);
        }
        if (buffer_matches(kw, "LOGFILESIZE")) {
            if (!in.read_field(v)) {
                return;
            }
            rec.log_file_size = parse_decimal(v);
        }
    }
}

} // namespace

int read_database(DatabaseRecord& rec, File& file, bool import_only, Host& host,
                  bool read_validity_lines, const ReadProgress& progress) {
    int recognised = 0;
    read_lines(rec, file, import_only, host, read_validity_lines, progress, recognised);
    return recognised;
}

namespace {

// Collects the output into large writes. Every failed write is remembered, and writing goes on
// so that as much of the database as possible reaches the file.
class ChunkWriter {
  public:
    explicit ChunkWriter(File& file) : file_(file) { out_.reserve(chunk_size + field_capacity); }

    void put(std::string_view bytes) {
        out_.append(bytes);
        if (out_.size() >= chunk_size) {
            flush();
        }
    }
    void put(const Buffer* b) { put(buffer_view(b)); }

    IoResult finish() {
        flush();
        return result_;
    }

  private:
    void flush() {
        if (!out_.empty()) {
            // The first failure is the cause worth reporting; writing still goes on.
            IoResult r = file_.write(out_);
            if (!r && result_) {
                result_ = r;
            }
        }
        out_.clear();
    }

    static constexpr size_t chunk_size = 64 * 1024;
    File& file_;
    std::string out_;
    IoResult result_;
};

void append_signed_decimal(Buffer* line, int32_t value) {
    if (value < 0) {
        buffer_push(line, '-');
    }
    buffer_append_decimal(line, value, 0);
}

} // namespace

IoResult write_database(const DatabaseRecord& rec, File& file, bool window_lines_as_read) {
    ChunkWriter out(file);
    auto buffer = make_buffer(line_capacity);
    Buffer* line = buffer.get();

    out.put(";              === Tessary 2.0 key list ===\r\n"
            ";   === It is not recommended to edit this file manually! ===\r\n"
            ";\r\n");

    buffer_clear(line);
    buffer_append_text(line, "COM\t");
    buffer_append_decimal(line, static_cast<int32_t>(rec.com_port), 0);
    buffer_append_text(line, "\r\n");
    out.put(line);

    uint32_t flags = (rec.stored_view.toolbar ? 1u : 0u) | (rec.stored_view.status_bar ? 2u : 0u) |
                     (rec.stored_view.log_window ? 4u : 0u) | (rec.stored_view.key_list ? 8u : 0u) |
                     (rec.save_window_properties ? 16u : 0u) | (rec.rename_full_logs ? 32u : 0u);
    buffer_clear(line);
    buffer_append_text(line, "BOOL1\t");
    buffer_append_hex(line, static_cast<int32_t>(flags), 2);
    buffer_append_text(line, "\r\n");
    out.put(line);

    if (rec.save_window_properties) {
        buffer_clear(line);
        buffer_append_text(line, "WINDOW");
        for (int32_t edge : {rec.window_rect.left, rec.window_rect.top, rec.window_rect.right,
                             rec.window_rect.bottom}) {
            buffer_push(line, '\t');
            append_signed_decimal(line, edge);
        }
        buffer_append_text(line, "\r\n");
        if (!window_lines_as_read || rec.rect_present) {
            out.put(line);
        }

        buffer_clear(line);
        buffer_append_text(line, "COLUMNSLOG");
        for (int32_t width : rec.log_widths) {
            buffer_push(line, '\t');
            buffer_append_decimal(line, width, 0);
        }
        buffer_append_text(line, "\r\n");
        if (!window_lines_as_read || rec.log_widths_present) {
            out.put(line);
        }

        buffer_clear(line);
        buffer_append_text(line, "COLUMNSKEY");
        for (int32_t width : rec.key_widths) {
            buffer_push(line, '\t');
            buffer_append_decimal(line, width, 0);
        }
        buffer_append_text(line, "\r\n");
        if (!window_lines_as_read || rec.key_widths_present) {
            out.put(line);
        }
    }

    buffer_clear(line);
    buffer_append_text(line, "SCREENLOGLINES\t");
    buffer_append_decimal(line, rec.screen_log_lines, 0);
    buffer_append_text(line, "\r\n");
    out.put(line);

    buffer_clear(line);
    buffer_append_text(line, "LOGFILESIZE\t");
    buffer_append_decimal(line, rec.log_file_size, 0);
    buffer_append_text(line, "\r\n");
    out.put(line);

    auto name = make_buffer(field_capacity);
    auto memo = make_buffer(field_capacity);
    auto free_field = make_buffer(field_capacity);
    int rows = key_row_count(rec);
    for (int row = 0; row < rows; ++row) {
        KeyId id;
        read_key_row(rec, row, &id, name.get(), memo.get(), free_field.get());
        buffer_clear(line);
        buffer_append_text(line, "KEY\t");
        buffer_append_hex(line, static_cast<int32_t>(id.number), 6);
        buffer_push(line, '\t');
        out.put(line);
        // The separator goes out even after a text that fills its whole Buffer.
        out.put(name.get());
        out.put("\t");
        out.put(memo.get());
        out.put("\t");
        out.put(free_field.get());
        out.put("\r\n");
    }
    // After every key, so that a reader of the older format, which knows no VALID and passes it
    // over, still finds all the keys.
    for (int row = 0; row < rows; ++row) {
        const KeyRecord* key = key_row(rec, row);
        if (!key->valid_from && !key->valid_until) {
            continue;
        }
        buffer_clear(line);
        buffer_append_text(line, "VALID\t");
        buffer_append_hex(line, static_cast<int32_t>(key->id.number & key_number_mask), 6);
        buffer_push(line, '\t');
        if (key->valid_from) {
            buffer_append_bytes(line, day_text(*key->valid_from));
        }
        buffer_push(line, '\t');
        if (key->valid_until) {
            buffer_append_bytes(line, day_text(*key->valid_until));
        }
        buffer_append_text(line, "\r\n");
        out.put(line);
    }
    return out.finish();
}
