// The find filter of the key list: which rows hold a text in their number, name, memo or free
// field, ignoring case, as the window shows those texts. Qt-free, so that a view's filter
// model only asks row_matches() or matching_rows().
#pragma once

#include "database/key_list.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Appends the key text as UTF-8 with its letters in lower case. The bytes are read as the window
// shows them: UTF-8 where they are valid UTF-8, otherwise Windows-1252. Case is folded one
// character to one character for ASCII, Latin-1, Latin Extended-A (which holds the remaining
// Windows-1252 letters), Greek and Cyrillic; nothing else is changed (no accents removed, "ß"
// stays "ß").
void append_folded(std::string& out, std::string_view bytes);

// How far ahead the "expires within 14 days" filter looks, today being the first of the days.
constexpr int32_t expiry_window_days = 14;

// Whether the key's last valid day is today or one of the 13 days after it: the key stops
// opening within the next 14 days. A key already expired (its last day before today) is not
// one: it no longer opens and Synchronize keeps it out of the controller anyway. A key without
// a last day never expires.
bool expires_within_window(const KeyRecord& record, Day today);

// Follows the rows of one key list through its observer calls, keeping the folded texts of
// every row and whether each matches the query. Give it the list's changes either by making it
// the list's observer with the view's model as `next` (it passes every call on, after updating
// itself, so that the model's filter sees the new state), or by calling its observer functions
// from the model's own. An empty query matches every row.
class KeyFilter final : public KeyListObserver {
  public:
    explicit KeyFilter(const KeyList& keys, KeyListObserver* next = nullptr);

    // The text the user typed (UTF-8). The first query folds every row's texts; a query that
    // extends the previous one (contains it) only looks again at the rows that matched that one. A
    // query holding a tab or a line break matches nothing: key texts never hold one.
    void set_query(std::string_view text);
    const std::string& query() const { return query_; }
    // Folds every row's texts now (once; from then on they follow the list), which the first
    // query would otherwise do: for the moment the find field appears.
    void prepare();
    // With a day, only the keys that expire within the 14 days from it match (and the query as
    // well); without, the query alone decides.
    void set_expiring_from(std::optional<Day> today);
    const std::optional<Day>& expiring_from() const { return expiring_from_; }
    bool active() const { return !folded_query_.empty() || expiring_from_.has_value(); }

    bool row_matches(int row) const;
    int match_count() const { return match_count_; }
    // Ascending rows; every row while the query is empty. Valid until the next change.
    const std::vector<int>& matching_rows() const;

    void rows_about_to_be_inserted(int first, int last) override;
    void rows_inserted(int first, int last) override;
    void rows_about_to_be_removed(int first, int last) override;
    void rows_removed(int first, int last) override;
    void row_changed(int row) override;
    void rows_about_to_be_reordered() override;
    void rows_reordered() override;
    void rows_about_to_be_reset() override;
    void rows_reset() override;

  private:
    void index_all_rows();
    void index_row(int row);
    void fold_row(const KeyRecord& record, int row, std::string& text) const;
    bool text_matches(const std::string& folded) const;
    bool row_passes(size_t row) const;
    void set_match(size_t row, bool match);

    const KeyList& keys_;
    KeyListObserver* next_;
    std::string query_;
    std::string folded_query_;
    bool unmatchable_ = false;
    std::optional<Day> expiring_from_;
    bool indexed_ = false; // texts_ holds the folded texts (from the first query on)
    // Per row: the record (to follow it through a sort), its folded texts, whether it matches.
    std::vector<const KeyRecord*> records_;
    std::vector<std::string> texts_;
    std::vector<char> matches_;
    int match_count_ = 0;
    mutable std::vector<int> matching_;
    mutable bool matching_stale_ = true;
};
