#include "database/key_filter.h"

#include "core/text_encoding.h"

#include <algorithm>
#include <cstdint>

namespace {

char32_t fold(char32_t c) {
    if (c < 0x80) {
        return c >= 'A' && c <= 'Z' ? c + 0x20 : c;
    }
    if (c >= 0xc0 && c <= 0xde && c != 0xd7) {
        return c + 0x20;
    }
    if (c >= 0x100 && c <= 0x17f) {
        if (c == 0x130) {
            return 'i';
        }
        if (c == 0x178) {
            return 0xff;
        }
        // Capitals on even code points, then (from 0x139 to 0x148 and from 0x179) on odd ones.
        const bool odd_capitals = (c >= 0x139 && c <= 0x148) || c >= 0x179;
        const bool capital = odd_capitals ? (c & 1) == 1 : (c & 1) == 0;
        return capital && c != 0x138 && c != 0x149 && c != 0x17f ? c + 1 : c;
    }
    if (c >= 0x391 && c <= 0x3a9 && c != 0x3a2) {
        return c + 0x20;
    }
    if (c == 0x3c2) {
        return 0x3c3; // final sigma
    }
    if (c >= 0x410 && c <= 0x42f) {
        return c + 0x20;
    }
    if (c >= 0x400 && c <= 0x40f) {
        return c + 0x50;
    }
    return c;
}

} // namespace

void append_folded(std::string& out, std::string_view bytes) {
    const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                   [](char b) { return static_cast<unsigned char>(b) < 0x80; });
    if (ascii) {
        const size_t at = out.size();
        out.resize(at + bytes.size());
        char* to = out.data() + at;
        for (char b : bytes) {
            *to++ = b >= 'A' && b <= 'Z' ? static_cast<char>(b + 0x20) : b;
        }
        return;
    }
    if (!text_is_utf8(bytes)) {
        for (char b : bytes) {
            const auto c = static_cast<unsigned char>(b);
            append_utf8(out, fold(cp1252_char(c)));
        }
        return;
    }
    for (size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const size_t len = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        char32_t cp = len == 1 ? c : len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
        for (size_t k = 1; k < len; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3f);
        }
        append_utf8(out, fold(cp));
        i += len;
    }
}

bool expires_within_window(const KeyRecord& record, Day today) {
    return record.valid_until && *record.valid_until >= today &&
           record.valid_until->number - today.number < expiry_window_days;
}

KeyFilter::KeyFilter(const KeyList& keys, KeyListObserver* next) : keys_(keys), next_(next) {
    index_all_rows();
}

void KeyFilter::set_query(std::string_view text) {
    std::string folded;
    append_folded(folded, text);
    if (folded == folded_query_) {
        query_ = text;
        return;
    }
    // Every row that holds the new query holds the old one too when the new one contains it.
    const bool narrowing =
        !folded_query_.empty() && folded.find(folded_query_) != std::string::npos;
    const std::vector<int> candidates = narrowing ? matching_rows() : std::vector<int>{};
    query_ = text;
    folded_query_ = std::move(folded);
    // The texts are folded once something is looked for: a list that is never filtered costs
    // no memory for them and its loads no time.
    if (!folded_query_.empty()) {
        prepare();
    }
    // The fields are joined by line breaks, which no field and so no match can hold.
    unmatchable_ = folded_query_.find_first_of("\t\r\n") != std::string::npos;
    if (narrowing) {
        for (int row : candidates) {
            set_match(static_cast<size_t>(row), row_passes(static_cast<size_t>(row)));
        }
    } else {
        for (size_t row = 0; row < texts_.size(); ++row) {
            set_match(row, row_passes(row));
        }
    }
}

void KeyFilter::set_expiring_from(std::optional<Day> today) {
    if (today == expiring_from_) {
        return;
    }
    expiring_from_ = today;
    for (size_t row = 0; row < texts_.size(); ++row) {
        set_match(row, row_passes(row));
    }
}

bool KeyFilter::row_passes(size_t row) const {
    if (expiring_from_ && !expires_within_window(*records_[row], *expiring_from_)) {
        return false;
    }
    return text_matches(texts_[row]);
}

void KeyFilter::prepare() {
    if (indexed_) {
        return;
    }
    indexed_ = true;
    for (size_t row = 0; row < texts_.size(); ++row) {
        fold_row(*records_[row], static_cast<int>(row), texts_[row]);
    }
}

bool KeyFilter::row_matches(int row) const {
    return row >= 0 && static_cast<size_t>(row) < matches_.size() &&
           matches_[static_cast<size_t>(row)];
}

const std::vector<int>& KeyFilter::matching_rows() const {
    if (matching_stale_) {
        matching_.clear();
        matching_.reserve(static_cast<size_t>(match_count_));
        for (size_t row = 0; row < matches_.size(); ++row) {
            if (matches_[row]) {
                matching_.push_back(static_cast<int>(row));
            }
        }
        matching_stale_ = false;
    }
    return matching_;
}

bool KeyFilter::text_matches(const std::string& folded) const {
    if (folded_query_.empty()) {
        return true;
    }
    return !unmatchable_ && std::string_view(folded).find(folded_query_) != std::string_view::npos;
}

void KeyFilter::set_match(size_t row, bool match) {
    if (static_cast<bool>(matches_[row]) != match) {
        matches_[row] = match;
        match_count_ += match ? 1 : -1;
        matching_stale_ = true;
    }
}

void KeyFilter::index_row(int row) {
    const KeyRecord* record = keys_.row(row);
    const auto r = static_cast<size_t>(row);
    records_[r] = record;
    if (indexed_) {
        fold_row(*record, row, texts_[r]);
    }
    set_match(r, row_passes(r));
}

void KeyFilter::fold_row(const KeyRecord& record, int row, std::string& text) const {
    text.clear();
    text.reserve(9 + record.name.size() + record.memo.size() + record.free_field.size());
    if (record.id.number <= key_number_mask) {
        // The six hex digits the key list shows, already in lower case.
        static constexpr char digits[] = "0123456789abcdef";
        for (int shift = 20; shift >= 0; shift -= 4) {
            text += digits[(record.id.number >> shift) & 0xf];
        }
    } else {
        append_folded(text, keys_.cell_text(row, 0));
    }
    for (const std::string* field : {&record.name, &record.memo, &record.free_field}) {
        text += '\n';
        append_folded(text, *field);
    }
}

void KeyFilter::rows_about_to_be_inserted(int first, int last) {
    if (next_) {
        next_->rows_about_to_be_inserted(first, last);
    }
}

void KeyFilter::rows_inserted(int first, int last) {
    const auto at = static_cast<std::ptrdiff_t>(first);
    const auto count = static_cast<size_t>(last - first + 1);
    records_.insert(records_.begin() + at, count, nullptr);
    texts_.insert(texts_.begin() + at, count, std::string());
    matches_.insert(matches_.begin() + at, count, 0);
    matching_stale_ = true;
    for (int row = first; row <= last; ++row) {
        index_row(row);
    }
    if (next_) {
        next_->rows_inserted(first, last);
    }
}

void KeyFilter::rows_about_to_be_removed(int first, int last) {
    if (next_) {
        next_->rows_about_to_be_removed(first, last);
    }
}

void KeyFilter::rows_removed(int first, int last) {
    const auto from = static_cast<std::ptrdiff_t>(first);
    const auto to = static_cast<std::ptrdiff_t>(last) + 1;
    match_count_ -= static_cast<int>(std::count(matches_.begin() + from, matches_.begin() + to, 1));
    records_.erase(records_.begin() + from, records_.begin() + to);
    texts_.erase(texts_.begin() + from, texts_.begin() + to);
    matches_.erase(matches_.begin() + from, matches_.begin() + to);
    matching_stale_ = true;
    if (next_) {
        next_->rows_removed(first, last);
    }
}

void KeyFilter::row_changed(int row) {
    if (row >= 0 && static_cast<size_t>(row) < texts_.size()) {
        index_row(row);
    }
    if (next_) {
        next_->row_changed(row);
    }
}

void KeyFilter::rows_about_to_be_reordered() {
    if (next_) {
        next_->rows_about_to_be_reordered();
    }
}

void KeyFilter::rows_reordered() {
    std::vector<const KeyRecord*> records(records_.size());
    std::vector<std::string> texts(texts_.size());
    std::vector<char> matches(matches_.size());
    for (size_t old_row = 0; old_row < records_.size(); ++old_row) {
        const auto row = static_cast<size_t>(keys_.record_row(records_[old_row]));
        records[row] = records_[old_row];
        texts[row] = std::move(texts_[old_row]);
        matches[row] = matches_[old_row];
    }
    records_ = std::move(records);
    texts_ = std::move(texts);
    matches_ = std::move(matches);
    matching_stale_ = true;
    if (next_) {
        next_->rows_reordered();
    }
}

void KeyFilter::rows_about_to_be_reset() {
    if (next_) {
        next_->rows_about_to_be_reset();
    }
}

void KeyFilter::rows_reset() {
    index_all_rows();
    if (next_) {
        next_->rows_reset();
    }
}

void KeyFilter::index_all_rows() {
    const auto count = static_cast<size_t>(keys_.size());
    records_.assign(count, nullptr);
    texts_.assign(count, std::string());
    matches_.assign(count, 0);
    match_count_ = 0;
    matching_stale_ = true;
    for (size_t row = 0; row < count; ++row) {
        index_row(static_cast<int>(row));
    }
}
