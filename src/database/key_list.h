// Key records held as the rows of a key list, in display order, with an index by key number.
#pragma once

#include "core/day.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// Only the low 24 bits of a key number tell keys apart in a key list.
constexpr uint32_t key_number_mask = 0xffffff;

// A key text never holds more than this many bytes; longer texts are cut.
constexpr uint32_t key_text_capacity = 2000;

// The key record owned by one row. The texts hold at most key_text_capacity bytes but take only
// the memory they use, so that a list of a million keys does not reserve gigabytes. Stored
// through the list, they hold no tab, CR or LF: those are the file's separators.
struct KeyRecord {
    KeyId id;
    std::string name;
    std::string memo;
    std::string free_field;
    // First and last day on which the key may open; none: no limit on that side. The controller
    // knows nothing of dates: Synchronize keeps a key outside them out of its memory.
    std::optional<Day> valid_from;
    std::optional<Day> valid_until;

    // Maintained by the key list, not by its users. The row this record had when the list last
    // numbered its rows (trusted only below the list's stale mark), and the other records whose
    // key numbers share the same low 24 bits.
    mutable uint32_t cached_row = 0;
    KeyRecord* prev_same = nullptr;
    KeyRecord* next_same = nullptr;
};

// Told about every change of a key list, so that a view can follow the rows. Each change is
// announced before it is made (the about_to_* calls, for models that must be told first) and
// after it is made.
struct KeyListObserver {
    virtual ~KeyListObserver() = default;
    virtual void rows_about_to_be_inserted(int /*first*/, int /*last*/) {}
    virtual void rows_inserted(int first, int last) = 0;
    virtual void rows_about_to_be_removed(int /*first*/, int /*last*/) {}
    virtual void rows_removed(int first, int last) = 0;
    virtual void row_changed(int row) = 0;
    virtual void rows_about_to_be_reordered() {}
    virtual void rows_reordered() = 0; // a sort
    virtual void rows_about_to_be_reset() {}
    virtual void rows_reset() = 0; // everything may have changed (clear, reset)
};

// The row store. Rows are display positions. An index beside them keeps "is this number here"
// lookups constant-time: it maps the low 24 bits of a key number to a chain of the records
// holding it (almost always one), each of which can leave its chain in constant time. Every
// record caches its own row, renumbered lazily from the first row that a deletion or a sort
// may have moved, so that find can return the lowest row of a chain.
//
// Texts given to add and replace are cut at key_text_capacity bytes, and every tab, CR and LF
// in them is stored as a space: those are the file's separators.
class KeyList {
    using Rows = std::vector<std::unique_ptr<KeyRecord>>;

  public:
    // Walks the rows in display order.
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = KeyRecord;
        using difference_type = std::ptrdiff_t;
        using pointer = const KeyRecord*;
        using reference = const KeyRecord&;

        const_iterator() = default;
        explicit const_iterator(Rows::const_iterator at) : at_(at) {}
        const KeyRecord& operator*() const { return **at_; }
        const KeyRecord* operator->() const { return at_->get(); }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator was = *this;
            ++at_;
            return was;
        }
        friend bool operator==(const const_iterator&, const const_iterator&) = default;

      private:
        Rows::const_iterator at_;
    };

    KeyList() = default;
    // A moved list takes the rows and the observer; the source is left empty, unobserved.
    KeyList(KeyList&& other) noexcept;
    KeyList& operator=(KeyList&& other) noexcept;
    KeyList(const KeyList&) = delete;
    KeyList& operator=(const KeyList&) = delete;

    // Appends an empty key (identifier 0, 0, 0; empty texts); returns its row.
    int append();
    // Appends the key unless a row already holds its number (low 24 bits): then -1, no change.
    int add(const KeyId& id, std::string_view name = {}, std::string_view memo = {},
            std::string_view free_field = {});
    // The lowest row whose key number equals id's in the low 24 bits, or -1.
    int find(const KeyId& id) const;
    // Whether any row holds id's number (low 24 bits); cheaper than find after a sort.
    bool contains(const KeyId& id) const;
    // Out of range: nothing. Otherwise stores identifier and texts in the row.
    void replace(int row, const KeyId& id, std::string_view name, std::string_view memo,
                 std::string_view free_field);
    // Out of range: nothing. Otherwise sets the row's days of validity and announces the change.
    void set_validity(int row, std::optional<Day> from, std::optional<Day> until);
    // Out of range: nothing.
    void remove(int row);
    void clear();
    // Stable, always ascending (the column-click sort); see compare_key_rows.
    void sort(int column);

    int size() const { return static_cast<int>(rows_.size()); }
    bool empty() const { return rows_.empty(); }
    // The record of a row, or null when out of range (the row keeps ownership).
    const KeyRecord* row(int index) const;
    // The row of a record the list still holds (-1 for null). Constant time but for a lazy
    // renumbering after a sort or a deletion; lets a view follow its records across a sort
    // without a map of its own.
    int record_row(const KeyRecord* record) const;
    // The on-demand display text of one cell: column 0 key number, 1 name, 2 memo, 3 free field.
    std::string cell_text(int row, int column) const;
    const_iterator begin() const { return const_iterator(rows_.begin()); }
    const_iterator end() const { return const_iterator(rows_.end()); }

    // Makes room for this many rows in all, so that a load does not regrow the rows and the
    // index as it goes. Changes nothing a user of the list can see.
    void reserve(size_t rows);
    // Told of every change from now on; null: nobody.
    KeyListObserver* observer() const { return observer_; }
    void set_observer(KeyListObserver* observer) { observer_ = observer; }
    // Exchanges the rows with other's, telling neither observer: for a bulk change that
    // announces itself (KeyListBulkChange).
    void swap_rows(KeyList& other) noexcept;

  private:
    void index_insert(KeyRecord* record);
    void index_remove(KeyRecord* record);
    void renumber() const;
    void mark_moved_from(size_t row);
    bool valid_row(int row) const { return row >= 0 && static_cast<size_t>(row) < rows_.size(); }

    Rows rows_;
    std::unordered_map<uint32_t, KeyRecord*> by_number_; // chain heads
    mutable uint32_t stale_from_ = 0; // rows below this index hold a correct cached_row
    KeyListObserver* observer_ = nullptr;
};

// A key number as the lists show it: six hexadecimal digits, lower case.
std::string key_number_text(uint32_t number);
// The key number written in the first six bytes of text (all of it when shorter; an empty text
// is 0), or -1 when one of them is no hexadecimal digit.
int32_t parse_key_number(std::string_view text);

// Makes a bulk change (a whole database read in) one reset for the list's observer, told before
// and after, instead of a pair of calls per row that a view would follow one at a time. The
// observer hears nothing in between.
class KeyListBulkChange {
  public:
    explicit KeyListBulkChange(KeyList& list);
    ~KeyListBulkChange();
    KeyListBulkChange(const KeyListBulkChange&) = delete;
    KeyListBulkChange& operator=(const KeyListBulkChange&) = delete;

  private:
    KeyList& list_;
    KeyListObserver* observer_;
};

// A key opens on `day` unless it falls before its first or after its last day of validity.
bool key_valid_on(const KeyRecord& record, Day day);
// Negative, zero or positive for the order of a before b: column 0 by key number, column 1 by
// name ignoring the case of A-Z; every other column compares all rows equal.
int compare_key_rows(const KeyRecord& a, const KeyRecord& b, int column);
// Fills array_a and array_b with the identifiers of the first *count_a rows of list_a and
// *count_b rows of list_b, then removes from both every identifier that the other holds (all
// three words compared), moving the last entry into each gap. On return the counts say how
// many entries remain.
void key_list_difference(const KeyList& list_a, const KeyList& list_b, KeyId* array_a,
                         KeyId* array_b, int* count_a, int* count_b);
