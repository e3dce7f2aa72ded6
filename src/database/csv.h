// Keys exchanged as CSV (RFC 4180): quoted fields, CR LF between records, UTF-8 with or without
// a byte-order mark, a header row naming the columns key, name, memo and free in any order
// (and optionally valid_from and valid_until: the days of validity, empty for no limit).
#pragma once

#include "database/key_list.h"

#include <string>
#include <string_view>
#include <vector>

// ---- Records ----------------------------------------------------------------------------------

struct CsvRecord {
    std::vector<std::string> fields;
    int line = 0; // the line (from 1) on which the record begins
    bool line_break_in_field = false;
    bool unclosed_quote = false; // a quoted field ran to the end of the text
};

// Every record of the text, a leading byte-order mark dropped. A line break ends a record
// outside quotes (CR LF, LF or a lone CR); inside quotes it belongs to the field. A quote inside
// an unquoted field is taken as it is. Empty lines give no record. A quoted field that runs to
// the end of the text gives its record, marked unclosed_quote and without its fields, and
// reading starts again on the line after that record's first line.
std::vector<CsvRecord> csv_parse(std::string_view text);
// One field, quoted when it holds a comma, a quote, a line break or leading/trailing spaces.
// A text that a spreadsheet would run as a formula (one beginning with =, +, -, @, tab or CR,
// after any apostrophes) goes out behind one more apostrophe.
std::string csv_field(std::string_view text);
// The fields joined by commas, ended by CR LF.
std::string csv_line(const std::vector<std::string>& fields);

constexpr std::string_view utf8_bom = "\xef\xbb\xbf";

// ---- Import -------------------------------------------------------------------------------

enum class CsvBadReason {
    NotHexadecimal,   // the key field is empty or holds a character that is not 0-9, a-f
    TooManyDigits,    // more than six hexadecimal digits
    TextTooLong,      // a name, memo or free text above key_text_capacity bytes
    LineBreakInField, // a quoted field holds a line break; key texts cannot
    UnclosedQuote,    // the last quoted field never ends
    RepeatedKey,      // the key was on an earlier row of the same file
    BadDate,          // a valid_from or valid_until neither empty nor YYYY-MM-DD
};

// The reason as the user reads it.
const char* csv_bad_reason_text(CsvBadReason reason);

struct CsvBadRow {
    int line = 0;
    CsvBadReason reason{};
};

struct CsvKeyRow {
    int line = 0;
    KeyId id;
    std::string name, memo, free_field;
    // Only when the header has valid_from / valid_until columns: the days a row sets.
    bool has_dates = false;
    std::optional<Day> valid_from, valid_until;
    bool exists = false; // the key list already holds this key number
};

struct CsvImportPlan {
    // Empty when the header row is usable; otherwise why the file cannot be imported at all.
    std::string header_error;
    std::vector<std::string> extra_columns; // header names other than the four, ignored
    std::vector<CsvKeyRow> rows;            // the good rows, in file order
    int new_keys = 0;
    int existing_keys = 0;
    std::vector<CsvBadRow> bad_rows; // in file order
};

// Reads the text against `existing` (which keys it already holds) without changing anything.
CsvImportPlan plan_csv_import(std::string_view text, const KeyList& existing);
// Adds the plan's new keys; with update_existing, also replaces the texts of the keys the list
// already holds (their dates too where the file has date columns). The bad rows are never imported:
// a caller that must refuse them does so before. Returns how many rows were added or changed.
int apply_csv_import(KeyList& keys, const CsvImportPlan& plan, bool update_existing);

// ---- Export -------------------------------------------------------------------------------

// The header row and one row per key (the given rows in their order, or all rows when `rows`
// is null), key texts in UTF-8 whatever they were stored as, then the days of validity.
std::string keys_to_csv(const KeyList& keys, const std::vector<int>* rows = nullptr);
