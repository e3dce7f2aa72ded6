#include "database/csv.h"

#include "core/text_encoding.h"

#include <algorithm>
#include <unordered_map>

namespace {

// Where the line after the one holding `from` begins; the end of the text when none does.
size_t start_of_next_line(std::string_view text, size_t from) {
    size_t end = text.find_first_of("\r\n", from);
    if (end == std::string_view::npos) {
        return text.size();
    }
    return end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
}

} // namespace

namespace {

// One pass over the text: the position, the record and field being read, and the records so far.
class CsvParser {
  public:
    explicit CsvParser(std::string_view text) : text_(text), n_(text.size()) { rec_.line = 1; }

    std::vector<CsvRecord> parse() {
        while (i_ < n_) {
            // At the start of a field.
            if (text_[i_] == '"') {
                blank_ = false;
                if (!read_quoted()) {
                    skip_unclosed_record();
                    continue;
                }
                // Anything between the closing quote and the next separator is kept, as
                // spreadsheet programs do.
            }
            read_plain();
            if (i_ >= n_) {
                break;
            }
            if (text_[i_] == ',') {
                blank_ = false;
                end_field();
                ++i_;
                continue;
            }
            i_ += line_break(i_);
            ++line_;
            end_record();
        }
        end_record();
        return std::move(out_);
    }

  private:
    // A line break at `at` (CR LF, LF or CR); returns its length, 0 if none.
    size_t line_break(size_t at) const {
        if (text_[at] == '\n') {
            return 1;
        }
        if (text_[at] == '\r') {
            return at + 1 < n_ && text_[at + 1] == '\n' ? 2 : 1;
        }
        return 0;
    }

    void end_field() {
        rec_.fields.push_back(std::move(field_));
        field_.clear();
    }

    void end_record() {
        if (!blank_) {
            end_field();
            out_.push_back(std::move(rec_));
        }
        rec_ = CsvRecord{};
        field_.clear();
        rec_.line = line_;
        record_start_ = i_;
        blank_ = true;
    }

    // From the opening quote to past the closing one; false when the text ends first.
    bool read_quoted() {
        ++i_;
        while (i_ < n_) {
            if (text_[i_] == '"') {
                if (i_ + 1 < n_ && text_[i_ + 1] == '"') {
                    field_.push_back('"');
                    i_ += 2;
                    continue;
                }
                ++i_;
                return true;
            }
            if (size_t lb = line_break(i_)) {
                rec_.line_break_in_field = true;
                field_.append(text_.substr(i_, lb));
                i_ += lb;
                ++line_;
                continue;
            }
            field_.push_back(text_[i_++]);
        }
        return false;
    }

    // The quote swallowed the rest of the text: only the row that opened it is lost, and
    // reading starts again on the line after that row's first line.
    void skip_unclosed_record() {
        rec_.unclosed_quote = true;
        field_.clear();
        i_ = start_of_next_line(text_, record_start_);
        line_ = rec_.line + 1;
        end_record();
    }

    // Up to the next separator or line break.
    void read_plain() {
        while (i_ < n_ && text_[i_] != ',' && !line_break(i_)) {
            field_.push_back(text_[i_++]);
            blank_ = false;
        }
    }

    std::string_view text_;
    size_t n_;
    size_t i_ = 0;
    size_t record_start_ = 0;
    int line_ = 1;
    bool blank_ = true; // nothing at all since the record began
    CsvRecord rec_;
    std::string field_;
    std::vector<CsvRecord> out_;
};

} // namespace

std::vector<CsvRecord> csv_parse(std::string_view text) {
    if (text.starts_with(utf8_bom)) {
        text.remove_prefix(utf8_bom.size());
    }
    return CsvParser(text).parse();
}

namespace {

// A spreadsheet takes a cell beginning with one of these as a formula.
bool starts_formula(std::string_view text) {
    return !text.empty() &&
           std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
}

// Apostrophes, then a formula character: such a cell went out with one apostrophe more.
bool formula_guarded(std::string_view text) {
    size_t quotes = text.find_first_not_of('\'');
    return quotes != std::string_view::npos && starts_formula(text.substr(quotes));
}

} // namespace

std::string csv_field(std::string_view text) {
    // The apostrophe makes a spreadsheet show the text as it is; it is also put before a text that
    // already begins with apostrophes and a formula character, so that import can take exactly
    // one off and every text comes back as it went out.
    std::string guarded;
    if (formula_guarded(text)) {
        guarded = "'" + std::string(text);
        text = guarded;
    }
    bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                 (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote) {
        return std::string(text);
    }
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') {
            out.push_back('"');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string csv_line(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        out += csv_field(fields[i]);
    }
    out += "\r\n";
    return out;
}

const char* csv_bad_reason_text(CsvBadReason reason) {
    switch (reason) {
    case CsvBadReason::NotHexadecimal:
        return "the key number is not hexadecimal";
    case CsvBadReason::TooManyDigits:
        return "the key number has more than six digits";
    case CsvBadReason::TextTooLong:
        return "a text is longer than 2000 bytes";
    case CsvBadReason::LineBreakInField:
        return "a field holds a line break";
    case CsvBadReason::UnclosedQuote:
        return "a quoted field is not closed";
    case CsvBadReason::RepeatedKey:
        return "the key number is on an earlier row too";
    case CsvBadReason::BadDate:
        return "a date is not YYYY-MM-DD";
    }
    return "";
}

namespace {

enum Column { ColKey, ColName, ColMemo, ColFree, ColFrom, ColUntil, ColCount };
constexpr const char* column_names[ColCount] = {"key",  "name",       "memo",
                                                "free", "valid_from", "valid_until"};

// A field's text as import reads it: the apostrophe csv_field put before it taken off again.
std::string csv_cell_text(std::string_view field) {
    if (field.starts_with('\'') && formula_guarded(field.substr(1))) {
        field.remove_prefix(1);
    }
    return std::string(field);
}

// Empty: no limit. Otherwise exactly YYYY-MM-DD.
bool parse_csv_day(const std::string& field, std::optional<Day>* day) {
    if (field.empty()) {
        *day = std::nullopt;
        return true;
    }
    *day = parse_day(field);
    return day->has_value();
}

std::string trimmed_lower(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return out;
}

// The key number, or the reason it is not one. Spaces around it are allowed (spreadsheets pad).
bool parse_csv_key(std::string_view field, uint32_t* number, CsvBadReason* reason) {
    std::string text = trimmed_lower(field);
    if (text.empty() || text.find_first_not_of("0123456789abcdef") != std::string::npos) {
        *reason = CsvBadReason::NotHexadecimal;
        return false;
    }
    if (text.size() > 6) {
        *reason = CsvBadReason::TooManyDigits;
        return false;
    }
    *number = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
    return true;
}

} // namespace

CsvImportPlan plan_csv_import(std::string_view text, const KeyList& existing) {
    CsvImportPlan plan;
    std::vector<CsvRecord> records = csv_parse(text);
    if (records.empty()) {
        plan.header_error = "The file has no header row (key,name,memo,free).";
        return plan;
    }
    int where[ColCount] = {-1, -1, -1, -1, -1, -1};
    const CsvRecord& header = records.front();
    for (size_t i = 0; i < header.fields.size(); ++i) {
        std::string name = trimmed_lower(header.fields[i]);
        auto known = std::find(std::begin(column_names), std::end(column_names), name);
        if (known != std::end(column_names) && where[known - std::begin(column_names)] < 0) {
            where[known - std::begin(column_names)] = static_cast<int>(i);
        } else {
            plan.extra_columns.push_back(header.fields[i]);
        }
    }
    if (where[ColKey] < 0) {
        plan.header_error = "The header row has no column named key.";
        return plan;
    }

    std::unordered_map<uint32_t, int> seen;
    for (size_t r = 1; r < records.size(); ++r) {
        const CsvRecord& rec = records[r];
        auto bad = [&](CsvBadReason reason) { plan.bad_rows.push_back({rec.line, reason}); };
        if (rec.unclosed_quote) {
            bad(CsvBadReason::UnclosedQuote);
            continue;
        }
        if (rec.line_break_in_field) {
            bad(CsvBadReason::LineBreakInField);
            continue;
        }
        auto cell = [&](Column c) -> std::string {
            size_t at = static_cast<size_t>(where[c]);
            return where[c] >= 0 && at < rec.fields.size() ? csv_cell_text(rec.fields[at])
                                                           : std::string();
        };
        CsvKeyRow row;
        row.line = rec.line;
        CsvBadReason reason{};
        if (!parse_csv_key(cell(ColKey), &row.id.number, &reason)) {
            bad(reason);
            continue;
        }
        row.name = cell(ColName);
        row.memo = cell(ColMemo);
        row.free_field = cell(ColFree);
        if (std::max({row.name.size(), row.memo.size(), row.free_field.size()}) >
            key_text_capacity) {
            bad(CsvBadReason::TextTooLong);
            continue;
        }
        row.has_dates = where[ColFrom] >= 0 || where[ColUntil] >= 0;
        if (!parse_csv_day(cell(ColFrom), &row.valid_from) ||
            !parse_csv_day(cell(ColUntil), &row.valid_until)) {
            bad(CsvBadReason::BadDate);
            continue;
        }
        if (!seen.emplace(row.id.number, rec.line).second) {
            bad(CsvBadReason::RepeatedKey);
            continue;
        }
        row.exists = existing.find(row.id) >= 0;
        ++(row.exists ? plan.existing_keys : plan.new_keys);
        plan.rows.push_back(std::move(row));
    }
    return plan;
}

int apply_csv_import(KeyList& keys, const CsvImportPlan& plan, bool update_existing) {
    int changed = 0;
    for (const CsvKeyRow& row : plan.rows) {
        int at = keys.find(row.id);
        if (at >= 0 && !update_existing) {
            continue;
        }
        // Through the list's own storing, so that tabs become spaces as for typed texts.
        if (at >= 0) {
            keys.replace(at, keys.row(at)->id, row.name, row.memo, row.free_field);
        } else {
            at = keys.add(row.id, row.name, row.memo, row.free_field);
        }
        if (row.has_dates) {
            keys.set_validity(at, row.valid_from, row.valid_until);
        }
        ++changed;
    }
    return changed;
}

std::string keys_to_csv(const KeyList& keys, const std::vector<int>* rows) {
    std::string out = csv_line({"key", "name", "memo", "free", "valid_from", "valid_until"});
    auto day_cell = [](const std::optional<Day>& day) {
        return day ? day_text(*day) : std::string();
    };
    auto one = [&](int row) {
        const KeyRecord* k = keys.row(row);
        if (!k) {
            return;
        }
        out += csv_line({keys.cell_text(row, 0), utf8_from_key_text(k->name),
                         utf8_from_key_text(k->memo), utf8_from_key_text(k->free_field),
                         day_cell(k->valid_from), day_cell(k->valid_until)});
    };
    if (rows) {
        for (int row : *rows) {
            one(row);
        }
    } else {
        for (int row = 0; row < keys.size(); ++row) {
            one(row);
        }
    }
    return out;
}
