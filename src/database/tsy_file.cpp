#include "database/tsy_file.h"

#include "core/buffer.h"
#include "platform/host.h"

#include <algorithm>
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

// Bytes that no line of text holds: a file with them is binary, or a line of it damaged.
bool is_binary_byte(int byte) {
    return (byte < 32 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 127;
}

struct LineReader {
    ByteReader bytes;
    bool line_start = true;
    // The line the next byte belongs to, 1 being the first line read.
    int64_t line = 1;
    // Bytes read so far, and how many of them no text holds.
    int64_t seen = 0;
    int64_t binary = 0;

    int next() {
        int byte = bytes.next();
        if (byte >= 0) {
            ++seen;
            if (byte == '\n') {
                ++line;
            } else if (is_binary_byte(byte)) {
                ++binary;
            }
        }
        return byte;
    }

    // One field into dst (cut at its capacity). False at the end of the file, keeping what was
    // collected; callers take that as the end of reading.
    bool read_field(Buffer* dst) {
        buffer_clear(dst);
        for (;;) {
            int byte = next();
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
            int byte = next();
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
// False when the end of the file came first.
template <int N> bool read_widths(LineReader& in, Buffer* field, int32_t (&widths)[N]) {
    bool all = true;
    for (int i = 0; i < N; ++i) {
        if (in.read_field(field)) {
            widths[i] = buffer_parse_decimal(field, 0);
        } else {
            all = false;
        }
    }
    return all;
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

// A field as a message quotes it: bytes that are not printable ASCII escaped, a long one cut.
std::string shown(std::string_view text) {
    constexpr size_t longest = 24;
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size() && i < longest; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 32 && byte < 127 && byte != '\\') {
            out.push_back(static_cast<char>(byte));
        } else {
            out += "\\x";
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 15]);
        }
    }
    return text.size() > longest ? out + "..." : out;
}

// The settings that are numbers with a documented range. Above it a COM port names no port the
// program can use, and the sizes would turn negative in the record, which switches them off.
struct NumberSetting {
    const char* keyword;
    const char* name;
    int64_t highest;
};
constexpr int64_t highest_size = 2147483647;
constexpr NumberSetting number_settings[] = {
    {"COM", "COM port", 255},
    {"SCREENLOGLINES", "screen log size", highest_size},
    {"LOGFILESIZE", "log file size", highest_size},
};

const char* const left_out = "; the line is left out.";

// Reads a .TSY file into its contents, noting every line it cannot take as it stands.
class TsyReader {
  public:
    TsyReader(DatabaseContents& rec, File& file, bool import_only, Host& host,
              bool read_validity_lines, const ReadProgress& progress)
        : rec_(rec), import_only_(import_only), read_validity_lines_(read_validity_lines),
          host_(host),
          first_new_row_(rec.keys.size()), in_{ByteReader(file, progress, file.size())} {
        for (auto& b : f_) {
            b = make_buffer(field_capacity);
        }
        // A whole database replaces the rows a view showed (the list was just reset) and may
        // hold a million keys: one reset for the view. An import adds to rows the user may have
        // selected.
        if (!import_only) {
            bulk_.emplace(rec.keys);
        }
        // A key line takes some 40 bytes or more; a guess on the high side costs little.
        const int64_t size = file.size();
        if (size > 0) {
            rec.keys.reserve(static_cast<size_t>(rec.keys.size()) + static_cast<size_t>(size / 32));
        }
    }

    ReadResult read() {
        for (;;) {
            in_.skip_line();
            line_ = in_.line;
            const int64_t binary_before = in_.binary;
            if (!in_.read_field(keyword_.get())) {
                if (record_keyword()) {
                    cut_short();
                }
                break;
            }
            if (!read_line(binary_before)) {
                break;
            }
        }
        if (!database_) {
            // Every line that changes the record makes the file a database: nothing was taken
            // from this one.
            result_ = ReadResult{};
            result_.not_a_database = in_.binary > 0  ? "it contains binary data"
                                     : in_.seen == 0 ? "it is empty"
                                                     : "none of its lines is a key or a setting";
        }
        return std::move(result_);
    }

  private:
    void problem(std::string reason) {
        if (result_.problems.size() < max_listed_problems) {
            result_.problems.push_back({line_, std::move(reason)});
        }
        ++result_.problem_count;
    }
    void cut_short() { problem("the line is cut short by the end of the file; it is left out."); }

    bool matches(const char* keyword) const { return buffer_matches(keyword_.get(), keyword); }
    bool record_keyword() const {
        for (const char* k : {"KEY", "VALID", "COM", "BOOL1", "WINDOW", "COLUMNSLOG", "COLUMNSKEY",
                              "SCREENLOGLINES", "LOGFILESIZE"}) {
            if (matches(k)) {
                return true;
            }
        }
        return false;
    }

    // False when reading ends.
    bool read_fields(int n) {
        for (int i = 0; i < n; ++i) {
            if (!in_.read_field(f_[i].get())) {
                cut_short();
                return false;
            }
        }
        return true;
    }

    // One line from its keyword on; false when reading ends.
    bool read_line(int64_t binary_before) {
        if (matches("#") || matches(";#")) {
            return !read_older_format(binary_before);
        }
        if (matches(";")) {
            return true;
        }
        if (!record_keyword()) {
            passed_over(binary_before);
            return true;
        }
        database_ = true;
        if (matches("KEY")) {
            return read_key();
        }
        if (matches("VALID")) {
            // Before the import test: an imported key keeps its dates.
            return !read_validity_lines_ || read_validity();
        }
        return import_only_ || read_setting();
    }

    // A line of no record: blank lines are harmless, anything else is said.
    void passed_over(int64_t binary_before) {
        const bool blank = in_.line_start && buffer_remaining(keyword_.get()) == 0;
        in_.skip_line();
        if (in_.binary != binary_before) {
            problem("the line contains binary data; it is left out.");
        } else if (buffer_remaining(keyword_.get()) == 0) {
            if (!blank) {
                problem("the line has no keyword; it is left out.");
            }
        } else {
            problem("unknown keyword '" + shown(buffer_view(keyword_.get())) + "'" + left_out);
        }
    }

    bool read_key() {
        if (!read_fields(4)) {
            return false;
        }
        const std::string_view text = buffer_view(f_[0].get());
        uint32_t number = 0;
        if (!parse_key_number(f_[0].get(), &number)) {
            problem("key number '" + shown(text) + "' is not hexadecimal" + left_out);
            return true;
        }
        add_new_key(number, f_[1].get(), f_[2].get(), f_[3].get());
        return true;
    }

    // The first key with a number wins; a later one from the same file is said, while a key
    // that an import finds already there is simply kept.
    void add_new_key(uint32_t number, Buffer* name, Buffer* memo, Buffer* free_field) {
        const KeyId id{0, number, 0};
        if (rec_.keys.add(id, buffer_view(name), buffer_view(memo), buffer_view(free_field)) < 0 &&
            rec_.keys.find(id) >= first_new_row_) {
            problem("key " + key_number_text(number & key_number_mask) +
                    " is also on an earlier line; this one is left out.");
        }
    }

    // VALID, key, first day, last day: the dates of a key read from this file.
    bool read_validity() {
        if (!read_fields(3)) {
            return false;
        }
        const std::string_view text = buffer_view(f_[0].get());
        uint32_t number = 0;
        if (text.size() != 6 || !parse_key_number(f_[0].get(), &number)) {
            problem("key number '" + shown(text) + "' is not six hexadecimal digits" + left_out);
            return true;
        }
        const int row = rec_.keys.find(KeyId{0, number, 0});
        if (row < 0) {
            problem("there is no key " + shown(text) + " for these days" + left_out);
            return true;
        }
        if (row < first_new_row_) {
            return true;
        }
        std::optional<Day> days[2];
        for (int i = 0; i < 2; ++i) {
            const std::string_view day = buffer_view(f_[1 + i].get());
            if (!day.empty() && !(days[i] = parse_day(day))) {
                problem("'" + shown(day) + "' is not a day written YYYY-MM-DD" + left_out);
                return true;
            }
        }
        if (days[0] && days[1] && *days[1] < *days[0]) {
            problem("the first day " + day_text(*days[0]) + " is after the last day " +
                    day_text(*days[1]) + left_out);
            return true;
        }
        rec_.keys.set_validity(row, days[0], days[1]);
        return true;
    }

    bool read_setting() {
        Buffer* v = f_[0].get();
        for (const NumberSetting& s : number_settings) {
            if (matches(s.keyword)) {
                if (!read_fields(1)) {
                    return false;
                }
                const int64_t value = setting_number(v, s);
                if (matches("COM")) {
                    rec_.log.com_port = static_cast<uint32_t>(value);
                } else if (matches("SCREENLOGLINES")) {
                    rec_.log.screen_log_lines = static_cast<int32_t>(value);
                } else {
                    rec_.log.log_file_size = static_cast<int32_t>(value);
                }
                return true;
            }
        }
        if (matches("BOOL1")) {
            if (!read_fields(1)) {
                return false;
            }
            uint32_t flags = static_cast<uint32_t>(buffer_parse_hex(v, 2));
            rec_.layout.stored_view.toolbar = flags & 1;
            rec_.layout.stored_view.status_bar = flags & 2;
            rec_.layout.stored_view.log_window = flags & 4;
            rec_.layout.stored_view.key_list = flags & 8;
            rec_.layout.save_window_properties = flags & 16;
            rec_.log.rename_full_logs = flags & 32;
            return true;
        }
        if (matches("WINDOW")) {
            // All four fields first: a rectangle cut short is not applied at all.
            if (!read_fields(4)) {
                return false;
            }
            rec_.layout.window_rect.left = parse_signed_decimal(f_[0].get());
            rec_.layout.window_rect.top = parse_signed_decimal(f_[1].get());
            rec_.layout.window_rect.right = parse_signed_decimal(f_[2].get());
            rec_.layout.window_rect.bottom = parse_signed_decimal(f_[3].get());
            rec_.layout.rect_present = true;
            return true;
        }
        const bool log = matches("COLUMNSLOG");
        const bool whole = log ? read_widths(in_, v, rec_.layout.log_widths)
                               : read_widths(in_, v, rec_.layout.key_widths);
        (log ? rec_.layout.log_widths_present : rec_.layout.key_widths_present) = true;
        if (!whole) {
            problem("the line is cut short by the end of the file; the widths it lacks stay as "
                    "they were.");
        }
        return whole;
    }

    // The leading digits of the field, within the setting's range. Anything but digits, or a
    // number above the range, is said with the value taken instead.
    int64_t setting_number(Buffer* field, const NumberSetting& s) {
        const std::string_view text = buffer_view(field);
        int64_t value = 0;
        size_t digits = 0;
        for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
            // Held just above the range, so that a number of any length cannot overflow.
            value = std::min<int64_t>(value * 10 + (text[digits] - '0'), s.highest + 1);
        }
        const int64_t taken = std::min(value, s.highest);
        const std::string instead = "; " + std::to_string(taken) + " is used instead.";
        if (digits == 0 || digits < text.size()) {
            problem(std::string(s.name) + " '" + shown(text) + "' is not a number" + instead);
        } else if (value > s.highest) {
            problem(std::string(s.name) + " " + shown(text) + " is out of range (0 to " +
                    std::to_string(s.highest) + ")" + instead);
        }
        return taken;
    }

    // "#" (or ";#") begins the older format, on a line of text. Random bytes hold such lines
    // too, so in a file that has shown binary bytes and no record yet it begins nothing. True
    // when the rest of the file was read in the older format.
    bool read_older_format(int64_t binary_before) {
        in_.skip_line();
        if (in_.binary != binary_before) {
            problem("the line contains binary data; it is left out.");
            return false;
        }
        if (!database_ && binary_before > 0) {
            problem("the mark of the older format follows binary data; the line is left out.");
            return false;
        }
        host_.message_box("Tessary - Loading database", old_format_warning, MsgIcon::Warning,
                          MsgButtons::Ok, MsgAnswer::Ok);
        read_old_database();
        return true;
    }

    void read_old_database() {
        for (;;) {
            in_.skip_line();
            line_ = in_.line;
            if (!in_.read_field(f_[0].get())) {
                if (buffer_remaining(f_[0].get()) != 0) {
                    cut_short();
                }
                return;
            }
            if (buffer_remaining(f_[0].get()) == 0 || buffer_matches(f_[0].get(), ";") ||
                buffer_matches(f_[0].get(), "#")) {
                continue;
            }
            for (int i = 1; i < 5; ++i) {
                if (!in_.read_field(f_[i].get())) {
                    cut_short();
                    return;
                }
            }
            add_old_key();
        }
    }

    void add_old_key() {
        // The older format had no memo; its second, first and fifth texts become the free field.
        Buffer* free_field = f_[2].get();
        buffer_append_text(free_field, "   ");
        buffer_append(free_field, f_[1].get());
        buffer_append_text(free_field, "   ");
        buffer_append(free_field, f_[4].get());
        const std::string_view text = buffer_view(f_[0].get());
        uint32_t number = 0;
        if (!parse_key_number(f_[0].get(), &number)) {
            problem("key number '" + shown(text) + "' is not hexadecimal" + left_out);
            return;
        }
        database_ = true;
        auto memo = make_buffer(field_capacity);
        add_new_key(number, f_[3].get(), memo.get(), free_field);
    }

    DatabaseContents& rec_;
    const bool import_only_;
    const bool read_validity_lines_;
    Host& host_;
    const int first_new_row_;
    std::optional<KeyListBulkChange> bulk_;
    LineReader in_;
    BufferPtr keyword_ = make_buffer(keyword_capacity);
    BufferPtr f_[5];
    // Where the line being read began.
    int64_t line_ = 1;
    // A line of a record was met: the file is a database, if a damaged one.
    bool database_ = false;
    ReadResult result_;
};

} // namespace

ReadResult read_database(DatabaseContents& rec, File& file, bool import_only, Host& host,
                         bool read_validity_lines, const ReadProgress& progress) {
    return TsyReader(rec, file, import_only, host, read_validity_lines, progress).read();
}

std::string read_problems_text(const ReadResult& result, bool import_only) {
    if (result.problem_count == 0) {
        return {};
    }
    constexpr size_t listed_at_most = 10;
    std::string text = "Some lines of this database couldn't be read as they are:\n\n";
    const size_t listed = std::min(listed_at_most, result.problems.size());
    for (size_t i = 0; i < listed; ++i) {
        text += "Line " + std::to_string(result.problems[i].line) + ": " +
                result.problems[i].reason + "\n";
    }
    if (result.problem_count > static_cast<int64_t>(listed)) {
        text += "and " + std::to_string(result.problem_count - static_cast<int64_t>(listed)) +
                " more\n";
    }
    return text + (import_only ? "\nThe lines left out were not imported."
                               : "\nThe database was opened without the lines left out. Saving "
                                 "it will remove them from the file and store the values used "
                                 "instead.");
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

// A line of a keyword and one decimal number.
void put_number_line(ChunkWriter& out, Buffer* line, const char* keyword, int32_t value) {
    buffer_clear(line);
    buffer_append_text(line, keyword);
    buffer_push(line, '\t');
    buffer_append_decimal(line, value, 0);
    buffer_append_text(line, "\r\n");
    out.put(line);
}

void write_settings(ChunkWriter& out, Buffer* line, const LogSettings& log,
                    const WindowLayout& layout) {
    out.put(";              === Tessary 2.0 key list ===\r\n"
            ";   === It is not recommended to edit this file manually! ===\r\n"
            ";\r\n");

    put_number_line(out, line, "COM", static_cast<int32_t>(log.com_port));

    const ViewFlags& view = layout.stored_view;
    uint32_t flags = (view.toolbar ? 1u : 0u) | (view.status_bar ? 2u : 0u) |
                     (view.log_window ? 4u : 0u) | (view.key_list ? 8u : 0u) |
                     (layout.save_window_properties ? 16u : 0u) | (log.rename_full_logs ? 32u : 0u);
    buffer_clear(line);
    buffer_append_text(line, "BOOL1\t");
    buffer_append_hex(line, static_cast<int32_t>(flags), 2);
    buffer_append_text(line, "\r\n");
    out.put(line);
}

template <size_t N>
void put_widths_line(ChunkWriter& out, Buffer* line, const char* keyword,
                     const int32_t (&widths)[N], bool wanted) {
    buffer_clear(line);
    buffer_append_text(line, keyword);
    for (int32_t width : widths) {
        buffer_push(line, '\t');
        buffer_append_decimal(line, width, 0);
    }
    buffer_append_text(line, "\r\n");
    if (wanted) {
        out.put(line);
    }
}

// With window_lines_as_read, only the window lines the file had when it was read go back out.
void write_window_lines(ChunkWriter& out, Buffer* line, const WindowLayout& rec,
                        bool window_lines_as_read) {
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
    put_widths_line(out, line, "COLUMNSLOG", rec.log_widths,
                    !window_lines_as_read || rec.log_widths_present);
    put_widths_line(out, line, "COLUMNSKEY", rec.key_widths,
                    !window_lines_as_read || rec.key_widths_present);
}

void write_key_lines(ChunkWriter& out, const KeyList& keys) {
    for (const KeyRecord& key : keys) {
        out.put("KEY\t");
        out.put(key_number_text(key.id.number));
        out.put("\t");
        out.put(key.name);
        out.put("\t");
        out.put(key.memo);
        out.put("\t");
        out.put(key.free_field);
        out.put("\r\n");
    }
}

// After every key, so that a reader of the older format, which knows no VALID and passes it
// over, still finds all the keys.
void write_validity_lines(ChunkWriter& out, const KeyList& keys) {
    for (const KeyRecord& key : keys) {
        if (!key.valid_from && !key.valid_until) {
            continue;
        }
        out.put("VALID\t");
        out.put(key_number_text(key.id.number & key_number_mask));
        out.put("\t");
        if (key.valid_from) {
            out.put(day_text(*key.valid_from));
        }
        out.put("\t");
        if (key.valid_until) {
            out.put(day_text(*key.valid_until));
        }
        out.put("\r\n");
    }
}

} // namespace

IoResult write_database(const KeyList& keys, const LogSettings& log, const WindowLayout& layout,
                        File& file, bool window_lines_as_read) {
    ChunkWriter out(file);
    auto buffer = make_buffer(line_capacity);
    Buffer* line = buffer.get();

    write_settings(out, line, log, layout);
    if (layout.save_window_properties) {
        write_window_lines(out, line, layout, window_lines_as_read);
    }
    put_number_line(out, line, "SCREENLOGLINES", log.screen_log_lines);
    put_number_line(out, line, "LOGFILESIZE", log.log_file_size);
    write_key_lines(out, keys);
    write_validity_lines(out, keys);
    return out.finish();
}
