#include "database/key_list.h"

#include <algorithm>

namespace {

uint32_t low_bits(uint32_t number) {
    return number & key_number_mask;
}

// Tabs, CRs and LFs would end a field or a line of the saved file and garble this key and
// the next one when it is read back, so they are stored as spaces.
void store_text(std::string& dst, std::string_view src) {
    dst.assign(src.substr(0, std::min<size_t>(src.size(), key_text_capacity)));
    std::replace_if(
        dst.begin(), dst.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
}

} // namespace

std::string key_number_text(uint32_t number) {
    // As the lists always showed it: the number taken as signed, its magnitude's low six digits.
    uint32_t magnitude = static_cast<int32_t>(number) < 0 ? 0u - number : number;
    static const char digits[] = "0123456789abcdef";
    std::string text(6, '0');
    for (size_t i = text.size(); i > 0; --i) {
        text[i - 1] = digits[magnitude % 16];
        magnitude /= 16;
    }
    return text;
}

int32_t parse_key_number(std::string_view text) {
    int32_t value = 0;
    for (char c : text.substr(0, 6)) {
        const int lower = c | 0x20;
        const int digit = c >= '0' && c <= '9'           ? c - '0'
                          : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10
                                                         : -1;
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

KeyList::KeyList(KeyList&& other) noexcept
    : rows_(std::move(other.rows_)), by_number_(std::move(other.by_number_)),
      stale_from_(other.stale_from_), observer_(other.observer_) {
    other.rows_.clear();
    other.by_number_.clear();
    other.stale_from_ = 0;
    other.observer_ = nullptr;
}

KeyList& KeyList::operator=(KeyList&& other) noexcept {
    if (this != &other) {
        rows_ = std::move(other.rows_);
        by_number_ = std::move(other.by_number_);
        stale_from_ = other.stale_from_;
        observer_ = other.observer_;
        other.rows_.clear();
        other.by_number_.clear();
        other.stale_from_ = 0;
        other.observer_ = nullptr;
    }
    return *this;
}

void KeyList::index_insert(KeyRecord* record) {
    auto [it, inserted] = by_number_.try_emplace(low_bits(record->id.number), record);
    if (!inserted) {
        record->next_same = it->second;
        it->second->prev_same = record;
        it->second = record;
    }
}

// Must run while record->id still holds the number it was indexed under.
void KeyList::index_remove(KeyRecord* record) {
    if (record->prev_same) {
        record->prev_same->next_same = record->next_same;
    } else if (record->next_same) {
        by_number_[low_bits(record->id.number)] = record->next_same;
    } else {
        by_number_.erase(low_bits(record->id.number));
    }
    if (record->next_same) {
        record->next_same->prev_same = record->prev_same;
    }
    record->prev_same = nullptr;
    record->next_same = nullptr;
}

// Brings every cached_row up to date; rows below stale_from_ are already right.
void KeyList::renumber() const {
    for (size_t i = stale_from_; i < rows_.size(); ++i) {
        rows_[i]->cached_row = static_cast<uint32_t>(i);
    }
    stale_from_ = static_cast<uint32_t>(rows_.size());
}

void KeyList::mark_moved_from(size_t row) {
    if (row < stale_from_) {
        stale_from_ = static_cast<uint32_t>(row);
    }
}

void KeyList::swap_rows(KeyList& other) noexcept {
    std::swap(rows_, other.rows_);
    std::swap(by_number_, other.by_number_);
    std::swap(stale_from_, other.stale_from_);
}

void KeyList::reserve(size_t rows) {
    rows_.reserve(rows);
    by_number_.reserve(rows);
}

int KeyList::append() {
    int row = static_cast<int>(rows_.size());
    auto record = std::make_unique<KeyRecord>();
    record->cached_row = static_cast<uint32_t>(row);
    if (observer_) {
        observer_->rows_about_to_be_inserted(row, row);
    }
    index_insert(record.get());
    rows_.push_back(std::move(record));
    if (stale_from_ == static_cast<uint32_t>(row)) {
        stale_from_ = static_cast<uint32_t>(row) + 1;
    }
    if (observer_) {
        observer_->rows_inserted(row, row);
    }
    return row;
}

int KeyList::add(const KeyId& id, std::string_view name, std::string_view memo,
                 std::string_view free_field) {
    if (contains(id)) {
        return -1;
    }
    int row = append();
    replace(row, id, name, memo, free_field);
    return row;
}

// Whether any row holds the number, not which: no renumbering needed.
bool KeyList::contains(const KeyId& id) const {
    return by_number_.count(low_bits(id.number)) != 0;
}

int KeyList::find(const KeyId& id) const {
    auto it = by_number_.find(low_bits(id.number));
    if (it == by_number_.end()) {
        return -1;
    }
    if (stale_from_ < rows_.size()) {
        renumber();
    }
    uint32_t best = UINT32_MAX;
    for (const KeyRecord* r = it->second; r; r = r->next_same) {
        best = std::min(best, r->cached_row);
    }
    return static_cast<int>(best);
}

void KeyList::replace(int row, const KeyId& id, std::string_view name, std::string_view memo,
                      std::string_view free_field) {
    if (!valid_row(row)) {
        return;
    }
    KeyRecord& key = *rows_[static_cast<size_t>(row)];
    if (low_bits(key.id.number) != low_bits(id.number)) {
        index_remove(&key);
        key.id = id;
        index_insert(&key);
    }
    key.id = id;
    store_text(key.name, name);
    store_text(key.memo, memo);
    store_text(key.free_field, free_field);
    if (observer_) {
        observer_->row_changed(row);
    }
}

void KeyList::set_validity(int row, std::optional<Day> from, std::optional<Day> until) {
    if (!valid_row(row)) {
        return;
    }
    KeyRecord& key = *rows_[static_cast<size_t>(row)];
    key.valid_from = from;
    key.valid_until = until;
    if (observer_) {
        observer_->row_changed(row);
    }
}

bool key_valid_on(const KeyRecord& record, Day day) {
    return !(record.valid_from && day < *record.valid_from) &&
           !(record.valid_until && day > *record.valid_until);
}

void KeyList::remove(int row) {
    if (!valid_row(row)) {
        return;
    }
    if (observer_) {
        observer_->rows_about_to_be_removed(row, row);
    }
    index_remove(rows_[static_cast<size_t>(row)].get());
    rows_.erase(rows_.begin() + row);
    mark_moved_from(static_cast<size_t>(row));
    if (observer_) {
        observer_->rows_removed(row, row);
    }
}

void KeyList::clear() {
    if (observer_) {
        observer_->rows_about_to_be_reset();
    }
    by_number_.clear();
    rows_.clear();
    stale_from_ = 0;
    if (observer_) {
        observer_->rows_reset();
    }
}

const KeyRecord* KeyList::row(int index) const {
    return valid_row(index) ? rows_[static_cast<size_t>(index)].get() : nullptr;
}

int KeyList::record_row(const KeyRecord* record) const {
    if (!record) {
        return -1;
    }
    if (stale_from_ < rows_.size()) {
        renumber();
    }
    const size_t row = record->cached_row;
    return row < rows_.size() && rows_[row].get() == record ? static_cast<int>(row) : -1;
}

std::string KeyList::cell_text(int row, int column) const {
    const KeyRecord* key = this->row(row);
    if (!key) {
        return {};
    }
    switch (column) {
    case 0:
        return key_number_text(key->id.number);
    case 1:
        return key->name;
    case 2:
        return key->memo;
    case 3:
        return key->free_field;
    default:
        return {};
    }
}

KeyListBulkChange::KeyListBulkChange(KeyList& list) : list_(list), observer_(list.observer()) {
    if (observer_) {
        observer_->rows_about_to_be_reset();
        list_.set_observer(nullptr);
    }
}

KeyListBulkChange::~KeyListBulkChange() {
    if (observer_) {
        list_.set_observer(observer_);
        observer_->rows_reset();
    }
}

int compare_key_rows(const KeyRecord& a, const KeyRecord& b, int column) {
    if (column == 0) {
        // Three-way rather than a wrapped 32-bit difference: numbers that differ by 2^31 or
        // more would otherwise compare inconsistently and leave the sort order undefined.
        if (a.id.number == b.id.number) {
            return 0;
        }
        return a.id.number < b.id.number ? -1 : 1;
    }
    if (column == 1) {
        auto fold = [](char c) {
            unsigned char u = static_cast<unsigned char>(c);
            return (u >= 'A' && u <= 'Z') ? u + 32 : static_cast<int>(u);
        };
        size_t n = std::min(a.name.size(), b.name.size());
        for (size_t i = 0; i < n; ++i) {
            int d = fold(a.name[i]) - fold(b.name[i]);
            if (d != 0) {
                return d;
            }
        }
        if (a.name.size() == b.name.size()) {
            return 0;
        }
        return a.name.size() < b.name.size() ? -1 : 1;
    }
    return 0;
}

namespace {

// What the sort orders: a word whose unsigned order is the order of the column's value (or of
// the next part of it), and the row the entry stood on before the sort, which breaks ties and so
// keeps equal keys in their order. Sorting these small entries instead of the records keeps the
// comparisons in the cache and without indirection.
struct SortEntry {
    uint64_t word;
    uint32_t row;
};

bool entry_less(const SortEntry& a, const SortEntry& b) {
    return a.word != b.word ? a.word < b.word : a.row < b.row;
}

// Seven bytes of the name from offset with A-Z folded to a-z, most significant first, then how
// many of them the name has (0-7): a name that ends there sorts before every longer one that
// shares its bytes, as the byte-wise comparison has it.
uint64_t name_word(const std::string& name, size_t offset) {
    const size_t n = offset < name.size() ? std::min<size_t>(7, name.size() - offset) : 0;
    uint64_t word = 0;
    for (size_t i = 0; i < 7; ++i) {
        unsigned char c = i < n ? static_cast<unsigned char>(name[offset + i]) : 0;
        word = (word << 8) | (c >= 'A' && c <= 'Z' ? c + 32u : c);
    }
    return (word << 8) | n;
}

void sort_entries(std::vector<SortEntry>::iterator first, std::vector<SortEntry>::iterator last) {
    if (!std::is_sorted(first, last, entry_less)) {
        std::sort(first, last, entry_less);
    }
}

// How many words of every name are gathered before the sort (21 bytes, which tell most names
// apart); runs that agree further read their records again.
constexpr size_t gathered_words = 3;

// Looking ahead this many rows while gathering lets the records and their texts arrive from
// memory while earlier ones are worked on: after one sort the records lie in no useful order.
constexpr size_t prefetch_distance = 16;

// Sorts by the first seven bytes, then every run of entries that agree on seven full bytes by
// the next seven, and so on: most names are told apart by their first word or two.
void sort_by_name(const std::vector<std::unique_ptr<KeyRecord>>& rows,
                  std::vector<SortEntry>& entries) {
    const size_t count = rows.size();
    std::vector<uint64_t> words(count * gathered_words);
    for (size_t i = 0; i < count; ++i) {
        if (i + prefetch_distance < count) {
            __builtin_prefetch(rows[i + prefetch_distance].get());
        }
        if (i + prefetch_distance / 2 < count) {
            __builtin_prefetch(rows[i + prefetch_distance / 2]->name.data());
        }
        const std::string& name = rows[i]->name;
        for (size_t w = 0; w < gathered_words; ++w) {
            words[i * gathered_words + w] = name_word(name, w * 7);
        }
        entries[i].word = words[i * gathered_words];
    }
    struct Run {
        size_t first, last, depth;
    };
    std::vector<Run> runs{{0, count, 0}};
    while (!runs.empty()) {
        const Run run = runs.back();
        runs.pop_back();
        auto begin = entries.begin() + static_cast<std::ptrdiff_t>(run.first);
        auto end = entries.begin() + static_cast<std::ptrdiff_t>(run.last);
        if (run.depth > 0) {
            for (auto e = begin; e != end; ++e) {
                e->word = run.depth < gathered_words ? words[e->row * gathered_words + run.depth]
                                                     : name_word(rows[e->row]->name, run.depth * 7);
            }
        }
        sort_entries(begin, end);
        for (size_t i = run.first; i < run.last;) {
            size_t j = i + 1;
            while (j < run.last && entries[j].word == entries[i].word) {
                ++j;
            }
            if (j - i > 1 && (entries[i].word & 0xff) == 7) {
                runs.push_back({i, j, run.depth + 1});
            }
            i = j;
        }
    }
}

} // namespace

void KeyList::sort(int column) {
    if (observer_) {
        observer_->rows_about_to_be_reordered();
    }
    // Columns that compare every pair equal leave the order as it is; skip the work.
    if (column == 0 || column == 1) {
        std::vector<SortEntry> entries(rows_.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            entries[i].row = static_cast<uint32_t>(i);
        }
        if (column == 0) {
            for (size_t i = 0; i < entries.size(); ++i) {
                if (i + prefetch_distance < entries.size()) {
                    __builtin_prefetch(rows_[i + prefetch_distance].get());
                }
                entries[i].word = rows_[i]->id.number;
            }
            sort_entries(entries.begin(), entries.end());
        } else {
            sort_by_name(rows_, entries);
        }
        Rows sorted(rows_.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            sorted[i] = std::move(rows_[entries[i].row]);
        }
        rows_ = std::move(sorted);
        mark_moved_from(0);
    }
    if (observer_) {
        observer_->rows_reordered();
    }
}

namespace {

struct KeyIdHash {
    size_t operator()(const KeyId& id) const {
        uint64_t h = (static_cast<uint64_t>(id.first) * 0x9e3779b97f4a7c15ULL) ^
                     (static_cast<uint64_t>(id.number) << 17) ^
                     (static_cast<uint64_t>(id.last) * 0xc2b2ae3d27d4eb4fULL);
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

} // namespace

// The result must come out in exactly the order of the plain nested scan (for every entry a
// of A: remove each equal entry of B, lowest index first, by moving B's last entry into the
// gap; then remove a the same way), since synchronization transfers keys in that order. The
// scan is quadratic; this keeps, for every identifier still in B, the set of its positions so
// that each removal costs constant time on average.
void key_list_difference(const KeyList& list_a, const KeyList& list_b, KeyId* array_a,
                         KeyId* array_b, int* count_a, int* count_b) {
    int na = std::max(*count_a, 0);
    int nb = std::max(*count_b, 0);
    for (int i = 0; i < na; ++i) {
        array_a[i] = list_a.row(i) ? list_a.row(i)->id : KeyId{};
    }
    for (int j = 0; j < nb; ++j) {
        array_b[j] = list_b.row(j) ? list_b.row(j)->id : KeyId{};
    }

    // Positions of every identifier in B; almost always one, so a small vector is enough.
    std::unordered_map<KeyId, std::vector<int>, KeyIdHash> where;
    where.reserve(static_cast<size_t>(nb));
    for (int j = 0; j < nb; ++j) {
        where[array_b[j]].push_back(j);
    }

    int c = 0;
    while (c < na) {
        KeyId a = array_a[c];
        auto it = where.find(a);
        bool found = it != where.end();
        if (found) {
            // Repeatedly remove the lowest position holding a. The scan never goes back, and
            // an entry moved into a gap is examined again, so this is the order it removes in.
            std::vector<int>& mine = it->second;
            while (!mine.empty()) {
                auto lowest = std::min_element(mine.begin(), mine.end());
                int p = *lowest;
                mine.erase(lowest);
                --nb;
                if (p != nb) {
                    KeyId moved = array_b[nb];
                    array_b[p] = moved;
                    std::vector<int>& theirs = moved == a ? mine : where[moved];
                    *std::find(theirs.begin(), theirs.end(), nb) = p;
                }
            }
            where.erase(it);
            --na;
            array_a[c] = array_a[na];
        } else {
            ++c;
        }
    }
    *count_a = na;
    *count_b = nb;
}
