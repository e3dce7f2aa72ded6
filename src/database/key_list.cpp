#include "database/key_list.h"

#include <algorithm>

namespace {

uint32_t low_bits(uint32_t number) {
    return number & key_number_mask;
}

void index_insert(KeyList& list, KeyRecord* rec) {
    auto [it, inserted] = list.by_number.try_emplace(low_bits(rec->id.number), rec);
    if (!inserted) {
        rec->next_same = it->second;
        it->second->prev_same = rec;
        it->second = rec;
    }
}

// Must run while rec->id still holds the number it was indexed under.
void index_remove(KeyList& list, KeyRecord* rec) {
    if (rec->prev_same) {
        rec->prev_same->next_same = rec->next_same;
    } else if (rec->next_same) {
        list.by_number[low_bits(rec->id.number)] = rec->next_same;
    } else {
        list.by_number.erase(low_bits(rec->id.number));
    }
    if (rec->next_same) {
        rec->next_same->prev_same = rec->prev_same;
    }
    rec->prev_same = nullptr;
    rec->next_same = nullptr;
}

// Brings every cached_row up to date; rows below stale_from are already right.
void renumber(const KeyList& list) {
    for (size_t i = list.stale_from; i < list.rows.size(); ++i) {
        list.rows[i]->cached_row = static_cast<uint32_t>(i);
    }
    list.stale_from = static_cast<uint32_t>(list.rows.size());
}

void mark_moved_from(KeyList& list, size_t row) {
    if (row < list.stale_from) {
        list.stale_from = static_cast<uint32_t>(row);
    }
}

bool valid_row(const DatabaseRecord& rec, int row) {
    return row >= 0 && static_cast<size_t>(row) < rec.keys.rows.size();
}

// Tabs, CRs and LFs would end a field or a line of the saved file and garble this key and
// the next one when it is read back, so they are stored as spaces.
void blank_separators(Buffer* text) {
    if (!text) {
        return;
    }
    uint32_t n = buffer_remaining(text);
    for (uint32_t i = 0; i < n; ++i) {
        int32_t byte = buffer_peek_at(text, i);
        if (byte == '\t' || byte == '\r' || byte == '\n') {
            buffer_poke_at(text, i, ' ');
        }
    }
}

void store_text(std::string& dst, const Buffer* src) {
    if (!src) {
        dst.clear();
        return;
    }
    std::string_view bytes = buffer_view(src);
    dst.assign(bytes.substr(0, std::min<size_t>(bytes.size(), key_text_capacity)));
}

void copy_text_out(Buffer* dst, const std::string& src) {
    if (dst) {
        buffer_append_bytes(dst, src);
    }
}

void clear_rows(DatabaseRecord& rec) {
    KeyList& list = rec.keys;
    if (list.observer) {
        list.observer->rows_about_to_be_reset();
    }
    list.by_number.clear();
    list.rows.clear();
    list.stale_from = 0;
    if (list.observer) {
        list.observer->rows_reset();
    }
}

} // namespace

KeyListBulkChange::KeyListBulkChange(DatabaseRecord& rec)
    : list_(rec.keys), observer_(rec.keys.observer) {
    if (observer_) {
        observer_->rows_about_to_be_reset();
        list_.observer = nullptr;
    }
}

KeyListBulkChange::~KeyListBulkChange() {
    if (observer_) {
        list_.observer = observer_;
        observer_->rows_reset();
    }
}

void adopt_database(DatabaseRecord& rec, DatabaseRecord& from) {
    KeyListBulkChange bulk(rec);
    DatabaseSettings kept = rec;
    static_cast<DatabaseSettings&>(rec) = from;
    rec.file_name = std::move(kept.file_name);
    rec.file_name_offset = kept.file_name_offset;
    rec.modified = kept.modified;
    rec.log_error_shown = kept.log_error_shown;
    std::swap(rec.keys.rows, from.keys.rows);
    std::swap(rec.keys.by_number, from.keys.by_number);
    std::swap(rec.keys.stale_from, from.keys.stale_from);
}

void create_key_list(DatabaseRecord& rec, KeyListObserver* observer) {
    rec.keys.observer = observer;
    reset_database(rec);
}

void reset_database(DatabaseRecord& rec) {
    clear_rows(rec);
    KeyListObserver* observer = rec.keys.observer;
    KeyList keys = std::move(rec.keys);
    rec = DatabaseRecord{};
    rec.keys = std::move(keys);
    rec.keys.observer = observer;
}

void reserve_key_rows(DatabaseRecord& rec, size_t rows) {
    rec.keys.rows.reserve(rows);
    rec.keys.by_number.reserve(rows);
}

int append_key_row(DatabaseRecord& rec) {
    KeyList& list = rec.keys;
    int row = static_cast<int>(list.rows.size());
    auto record = std::make_unique<KeyRecord>();
    record->cached_row = static_cast<uint32_t>(row);
    if (list.observer) {
        list.observer->rows_about_to_be_inserted(row, row);
    }
    index_insert(list, record.get());
    list.rows.push_back(std::move(record));
    if (list.stale_from == static_cast<uint32_t>(row)) {
        list.stale_from = static_cast<uint32_t>(row) + 1;
    }
    if (list.observer) {
        list.observer->rows_inserted(row, row);
    }
    return row;
}

int add_key(DatabaseRecord& rec, const KeyId& id, Buffer* name, Buffer* memo, Buffer* free_field) {
    // Whether any row holds the number, not which: no renumbering needed.
    if (rec.keys.by_number.count(low_bits(id.number)) != 0) {
        return -1;
    }
    int row = append_key_row(rec);
    replace_key_row(rec, row, id, name, memo, free_field);
    return row;
}

int find_key(const DatabaseRecord& rec, const KeyId& id) {
    const KeyList& list = rec.keys;
    auto it = list.by_number.find(low_bits(id.number));
    if (it == list.by_number.end()) {
        return -1;
    }
    if (list.stale_from < list.rows.size()) {
        renumber(list);
    }
    uint32_t best = UINT32_MAX;
    for (const KeyRecord* r = it->second; r; r = r->next_same) {
        best = std::min(best, r->cached_row);
    }
    return static_cast<int>(best);
}

void read_key_row(const DatabaseRecord& rec, int row, KeyId* id, Buffer* name, Buffer* memo,
                  Buffer* free_field) {
    for (Buffer* b : {name, memo, free_field}) {
        if (b) {
            buffer_clear(b);
        }
    }
    if (id) {
        *id = KeyId{};
    }
    if (!valid_row(rec, row)) {
        return;
    }
    const KeyRecord& key = *rec.keys.rows[static_cast<size_t>(row)];
    if (id) {
        *id = key.id;
    }
    copy_text_out(name, key.name);
    copy_text_out(memo, key.memo);
    copy_text_out(free_field, key.free_field);
}

void replace_key_row(DatabaseRecord& rec, int row, const KeyId& id, Buffer* name, Buffer* memo,
                     Buffer* free_field) {
    if (!valid_row(rec, row)) {
        return;
    }
    KeyList& list = rec.keys;
    KeyRecord& key = *list.rows[static_cast<size_t>(row)];
    blank_separators(name);
    blank_separators(memo);
    blank_separators(free_field);
    if (low_bits(key.id.number) != low_bits(id.number)) {
        index_remove(list, &key);
        key.id = id;
        index_insert(list, &key);
    }
    key.id = id;
    store_text(key.name, name);
    store_text(key.memo, memo);
    store_text(key.free_field, free_field);
    if (list.observer) {
        list.observer->row_changed(row);
    }
}

void set_key_validity(DatabaseRecord& rec, int row, std::optional<Day> from,
                      std::optional<Day> until) {
    if (!valid_row(rec, row)) {
        return;
    }
    KeyRecord& key = *rec.keys.rows[static_cast<size_t>(row)];
    key.valid_from = from;
    key.valid_until = until;
    if (rec.keys.observer) {
        rec.keys.observer->row_changed(row);
    }
}

bool key_valid_on(const KeyRecord& record, Day day) {
    return !(record.valid_from && day < *record.valid_from) &&
           !(record.valid_until && day > *record.valid_until);
}

void delete_key_row(DatabaseRecord& rec, int row) {
    if (!valid_row(rec, row)) {
        return;
    }
    KeyList& list = rec.keys;
    if (list.observer) {
        list.observer->rows_about_to_be_removed(row, row);
    }
    index_remove(list, list.rows[static_cast<size_t>(row)].get());
    list.rows.erase(list.rows.begin() + row);
    mark_moved_from(list, static_cast<size_t>(row));
    if (list.observer) {
        list.observer->rows_removed(row, row);
    }
}

void clear_key_list(DatabaseRecord& rec) {
    clear_rows(rec);
}

int key_row_count(const DatabaseRecord& rec) {
    return static_cast<int>(rec.keys.rows.size());
}

const KeyRecord* key_row(const DatabaseRecord& rec, int row) {
    return valid_row(rec, row) ? rec.keys.rows[static_cast<size_t>(row)].get() : nullptr;
}

int key_record_row(const DatabaseRecord& rec, const KeyRecord* record) {
    const KeyList& list = rec.keys;
    if (!record) {
        return -1;
    }
    if (list.stale_from < list.rows.size()) {
        renumber(list);
    }
    const size_t row = record->cached_row;
    return row < list.rows.size() && list.rows[row].get() == record ? static_cast<int>(row) : -1;
}

std::string key_cell_text(const DatabaseRecord& rec, int row, int column) {
    const KeyRecord* key = key_row(rec, row);
    if (!key) {
        return {};
    }
    switch (column) {
    case 0: {
        auto text = make_buffer(100);
        buffer_append_hex(text.get(), static_cast<int32_t>(key->id.number), 6);
        return buffer_string(text.get());
    }
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
void sort_by_name(const KeyList& list, std::vector<SortEntry>& entries) {
    const size_t count = list.rows.size();
    std::vector<uint64_t> words(count * gathered_words);
    for (size_t i = 0; i < count; ++i) {
        if (i + prefetch_distance < count) {
            __builtin_prefetch(list.rows[i + prefetch_distance].get());
        }
        if (i + prefetch_distance / 2 < count) {
            __builtin_prefetch(list.rows[i + prefetch_distance / 2]->name.data());
        }
        const std::string& name = list.rows[i]->name;
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
                e->word = run.depth < gathered_words
                              ? words[e->row * gathered_words + run.depth]
                              : name_word(list.rows[e->row]->name, run.depth * 7);
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

void sort_key_rows(DatabaseRecord& rec, int column) {
    KeyList& list = rec.keys;
    if (list.observer) {
        list.observer->rows_about_to_be_reordered();
    }
    // Columns that compare every pair equal leave the order as it is; skip the work.
    if (column == 0 || column == 1) {
        std::vector<SortEntry> entries(list.rows.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            entries[i].row = static_cast<uint32_t>(i);
        }
        if (column == 0) {
            for (size_t i = 0; i < entries.size(); ++i) {
                if (i + prefetch_distance < entries.size()) {
                    __builtin_prefetch(list.rows[i + prefetch_distance].get());
                }
                entries[i].word = list.rows[i]->id.number;
            }
            sort_entries(entries.begin(), entries.end());
        } else {
            sort_by_name(list, entries);
        }
        std::vector<std::unique_ptr<KeyRecord>> sorted(list.rows.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            sorted[i] = std::move(list.rows[entries[i].row]);
        }
        list.rows = std::move(sorted);
        mark_moved_from(list, 0);
    }
    if (list.observer) {
        list.observer->rows_reordered();
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
void key_list_difference(const DatabaseRecord& list_a, const DatabaseRecord& list_b, KeyId* array_a,
                         KeyId* array_b, int* count_a, int* count_b) {
    int na = std::max(*count_a, 0);
    int nb = std::max(*count_b, 0);
    for (int i = 0; i < na; ++i) {
        read_key_row(list_a, i, &array_a[i], nullptr, nullptr, nullptr);
    }
    for (int j = 0; j < nb; ++j) {
        read_key_row(list_b, j, &array_b[j], nullptr, nullptr, nullptr);
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
