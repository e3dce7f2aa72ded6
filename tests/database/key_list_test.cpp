#include "database/key_database.h"
#include "database/key_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

struct RecordingObserver : KeyListObserver {
    std::vector<std::string> events;
    void rows_about_to_be_inserted(int f, int l) override { log("pre-insert", f, l); }
    void rows_inserted(int f, int l) override { log("insert", f, l); }
    void rows_about_to_be_removed(int f, int l) override { log("pre-remove", f, l); }
    void rows_removed(int f, int l) override { log("remove", f, l); }
    void row_changed(int r) override { events.push_back("change " + std::to_string(r)); }
    void rows_about_to_be_reordered() override { events.push_back("pre-sort"); }
    void rows_reordered() override { events.push_back("sort"); }
    void rows_about_to_be_reset() override { events.push_back("pre-reset"); }
    void rows_reset() override { events.push_back("reset"); }
    void log(const char* what, int f, int l) {
        events.push_back(std::string(what) + " " + std::to_string(f) + "-" + std::to_string(l));
    }
};

KeyId key(uint32_t number) {
    return KeyId{0, number, 0};
}

int add(DatabaseContents& rec, uint32_t number, const std::string& name = "",
        const std::string& memo = "", const std::string& free = "") {
    return rec.keys.add(key(number), name, memo, free);
}

void replace(DatabaseContents& rec, int row, uint32_t number, const std::string& name = "") {
    rec.keys.replace(row, key(number), name, "", "");
}

std::vector<std::string> names(const DatabaseContents& rec) {
    std::vector<std::string> out;
    for (int i = 0; i < rec.keys.size(); ++i) {
        out.push_back(rec.keys.cell_text(i, 1));
    }
    return out;
}

// The definition find_key must agree with: the lowest row whose low 24 bits match.
int linear_find(const DatabaseContents& rec, uint32_t number) {
    for (int i = 0; i < rec.keys.size(); ++i) {
        if ((rec.keys.row(i)->id.number & 0xffffff) == (number & 0xffffff)) {
            return i;
        }
    }
    return -1;
}

} // namespace

TEST(DatabaseContents, ResetReleasesRowsAndRestoresEveryDefault) {
    RecordingObserver obs;
    DatabaseContents rec;
    rec.keys.set_observer(&obs);
    add(rec, 1, "a");
    add(rec, 2, "b");
    rec.layout.rect_present = rec.layout.log_widths_present = rec.layout.key_widths_present = true;
    rec.layout.stored_view = ViewFlags{false, false, false, false};
    rec.layout.save_window_properties = false;
    rec.layout.window_rect = WindowRect{-8, -8, 100, 100};
    rec.layout.log_widths[1] = 3;
    rec.layout.key_widths[3] = 4;
    rec.log.com_port = 7;
    rec.log.screen_log_lines = 5;
    rec.log.log_file_size = 6;
    rec.log.rename_full_logs = true;
    obs.events.clear();

    rec.reset();

    EXPECT_EQ(rec.keys.size(), 0);
    EXPECT_EQ(rec.keys.find(key(1)), -1);
    EXPECT_FALSE(rec.layout.rect_present);
    EXPECT_FALSE(rec.layout.log_widths_present);
    EXPECT_FALSE(rec.layout.key_widths_present);
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{true, true, true, true}));
    EXPECT_TRUE(rec.layout.save_window_properties);
    EXPECT_EQ(rec.layout.window_rect, (WindowRect{0, 0, 0, 0}));
    EXPECT_EQ(std::vector<int>(rec.layout.log_widths, rec.layout.log_widths + 3),
              (std::vector<int>{55, 450, 110}));
    EXPECT_EQ(std::vector<int>(rec.layout.key_widths, rec.layout.key_widths + 4),
              (std::vector<int>{55, 150, 205, 205}));
    EXPECT_EQ(rec.log.com_port, 0u);
    EXPECT_EQ(rec.log.screen_log_lines, 1000);
    EXPECT_EQ(rec.log.log_file_size, 710);
    EXPECT_FALSE(rec.log.rename_full_logs);
    EXPECT_EQ(obs.events, (std::vector<std::string>{"pre-reset", "reset"}));

    // The observer survives the reset and hears later changes.
    obs.events.clear();
    add(rec, 3);
    EXPECT_EQ(obs.events, (std::vector<std::string>{"pre-insert 0-0", "insert 0-0", "change 0"}));
}

TEST(KeyDatabase, ResetForgetsTheFileNameKeysAndSettings) {
    KeyDatabase db;
    db.keys.add(key(1));
    db.file_name = "/tmp/x.TSY";
    db.file_name_offset = 5;
    db.log.com_port = 7;
    db.reset();
    EXPECT_EQ(db.keys.size(), 0);
    EXPECT_EQ(db.file_name, "");
    EXPECT_EQ(db.file_name_offset, 0u);
    EXPECT_EQ(db.log.com_port, 0u);
}

TEST(KeyList, AppendedRowIsEmptyAndLast) {
    DatabaseContents rec;
    add(rec, 5, "x");
    EXPECT_EQ(rec.keys.append(), 1);
    const KeyRecord* appended = rec.keys.row(1);
    ASSERT_NE(appended, nullptr);
    EXPECT_EQ(appended->id, KeyId{});
    EXPECT_EQ(appended->name, "");
    EXPECT_EQ(appended->memo, "");
    EXPECT_EQ(appended->free_field, "");
    // Its number 0 is a number like any other.
    EXPECT_EQ(rec.keys.find(key(0)), 1);
}

TEST(KeyList, AddKeyKeepsTheFirstKeyWithANumber) {
    DatabaseContents rec;
    EXPECT_EQ(add(rec, 0xa3f1, "first"), 0);
    EXPECT_EQ(add(rec, 0x104bc, "second"), 1);
    EXPECT_EQ(add(rec, 0xa3f1, "again"), -1);
    EXPECT_EQ(rec.keys.size(), 2);
    EXPECT_EQ(rec.keys.cell_text(0, 1), "first");
}

TEST(KeyList, NumbersDifferingOnlyAboveBit23AreTheSameKey) {
    DatabaseContents rec;
    EXPECT_EQ(add(rec, 0x00123456), 0);
    EXPECT_EQ(rec.keys.find(key(0x01123456)), 0);
    EXPECT_EQ(rec.keys.find(key(0xff123456)), 0);
    EXPECT_EQ(add(rec, 0x7f123456), -1);
    EXPECT_EQ(rec.keys.size(), 1);
    // The reserved words are not compared either.
    EXPECT_EQ(rec.keys.find(KeyId{9, 0x123456, 9}), 0);
    EXPECT_EQ(rec.keys.find(key(0x123457)), -1);
}

TEST(KeyList, FindOnEmptyListGivesMinusOne) {
    DatabaseContents rec;
    EXPECT_EQ(rec.keys.find(key(0)), -1);
}

TEST(KeyList, RowOutOfRangeIsNull) {
    DatabaseContents rec;
    add(rec, 1, "n", "m", "f");
    for (int row : {-1, 1, 1000}) {
        EXPECT_EQ(rec.keys.row(row), nullptr) << row;
    }
}

TEST(KeyList, ReplaceTurnsTabsIntoSpaces) {
    DatabaseContents rec;
    rec.keys.append();
    rec.keys.replace(0, key(7), "a\tb", "\t\t", "x\ty\tz");
    EXPECT_EQ(rec.keys.cell_text(0, 1), "a b");
    EXPECT_EQ(rec.keys.cell_text(0, 2), "  ");
    EXPECT_EQ(rec.keys.cell_text(0, 3), "x y z");
}

TEST(KeyList, ReplaceTurnsLineBreaksIntoSpaces) {
    // A line break typed into a multi-line edit would otherwise end the field in the file.
    DatabaseContents rec;
    rec.keys.append();
    rec.keys.replace(0, key(7), "two\r\nlines", "cr\ronly", "lf\nonly\n");
    EXPECT_EQ(rec.keys.cell_text(0, 1), "two  lines");
    EXPECT_EQ(rec.keys.cell_text(0, 2), "cr only");
    EXPECT_EQ(rec.keys.cell_text(0, 3), "lf only ");
}

TEST(KeyList, ReplaceKeepsOtherBytes) {
    DatabaseContents rec;
    rec.keys.append();
    std::string odd("\x00\xff\x7f;#", 5);
    rec.keys.replace(0, key(1), "ip\tme", odd, {});
    EXPECT_EQ(rec.keys.cell_text(0, 1), "ip me");
    EXPECT_EQ(rec.keys.cell_text(0, 2), odd);
    EXPECT_EQ(rec.keys.cell_text(0, 3), "");
}

TEST(KeyList, ReplaceCutsTextsAtTheRecordCapacity) {
    DatabaseContents rec;
    rec.keys.append();
    rec.keys.replace(0, key(1), std::string(4999, 'q') + "!", {}, {});
    EXPECT_EQ(rec.keys.cell_text(0, 1), std::string(2000, 'q'));
}

TEST(KeyList, ReplaceOutOfRangeDoesNothing) {
    RecordingObserver obs;
    DatabaseContents rec;
    rec.keys.set_observer(&obs);
    add(rec, 1, "keep");
    obs.events.clear();
    rec.keys.replace(1, key(2), "a\tb", {}, {});
    rec.keys.replace(-1, key(2), "a\tb", {}, {});
    EXPECT_EQ(rec.keys.size(), 1);
    EXPECT_EQ(rec.keys.find(key(2)), -1);
    EXPECT_EQ(rec.keys.cell_text(0, 1), "keep");
    EXPECT_TRUE(obs.events.empty());
}

TEST(KeyList, CellTextsComeFromTheRecord) {
    DatabaseContents rec;
    add(rec, 0xa3f1, "Caretaker", "Night shift", "Room 12");
    add(rec, 0xffffff);
    EXPECT_EQ(rec.keys.cell_text(0, 0), "00a3f1");
    EXPECT_EQ(rec.keys.cell_text(0, 1), "Caretaker");
    EXPECT_EQ(rec.keys.cell_text(0, 2), "Night shift");
    EXPECT_EQ(rec.keys.cell_text(0, 3), "Room 12");
    EXPECT_EQ(rec.keys.cell_text(0, 4), "");
    EXPECT_EQ(rec.keys.cell_text(1, 0), "ffffff");
    EXPECT_EQ(rec.keys.cell_text(2, 0), "");
    EXPECT_EQ(rec.keys.row(2), nullptr);
    // A number with bits above 23 shows its low six digits.
    replace(rec, 1, 0x12abcdef);
    EXPECT_EQ(rec.keys.cell_text(1, 0), "abcdef");
}

TEST(KeyList, DeleteAndClear) {
    RecordingObserver obs;
    DatabaseContents rec;
    rec.keys.set_observer(&obs);
    add(rec, 1, "a");
    add(rec, 2, "b");
    add(rec, 3, "c");
    obs.events.clear();
    rec.keys.remove(3);
    rec.keys.remove(-1);
    EXPECT_TRUE(obs.events.empty());
    rec.keys.remove(1);
    EXPECT_EQ(obs.events, (std::vector<std::string>{"pre-remove 1-1", "remove 1-1"}));
    EXPECT_EQ(names(rec), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(rec.keys.find(key(2)), -1);
    EXPECT_EQ(rec.keys.find(key(3)), 1);
    EXPECT_EQ(add(rec, 2, "b again"), 2);

    rec.keys.clear();
    EXPECT_EQ(rec.keys.size(), 0);
    EXPECT_EQ(rec.keys.find(key(1)), -1);
    EXPECT_EQ(obs.events.back(), "reset");
    // Clearing keeps the settings.
    rec.log.com_port = 4;
    rec.keys.clear();
    EXPECT_EQ(rec.log.com_port, 4u);
}

TEST(KeyListIndex, DeletingTheFirstHolderFindsTheNextOne) {
    DatabaseContents rec;
    add(rec, 0x10, "first");
    add(rec, 0x20, "other");
    add(rec, 0x30, "later");
    replace(rec, 2, 0x10, "later"); // two rows with one number, as only replace can make
    EXPECT_EQ(rec.keys.find(key(0x10)), 0);
    EXPECT_EQ(rec.keys.find(key(0x30)), -1);
    rec.keys.remove(0);
    EXPECT_EQ(rec.keys.find(key(0x10)), 1);
    EXPECT_EQ(add(rec, 0x10, "dropped"), -1);
    rec.keys.remove(1);
    EXPECT_EQ(rec.keys.find(key(0x10)), -1);
    EXPECT_EQ(add(rec, 0x10, "now"), 1);
}

TEST(KeyListIndex, ReplacingANumberMovesItInTheIndex) {
    DatabaseContents rec;
    add(rec, 1);
    add(rec, 2);
    replace(rec, 0, 0x01000003); // same low bits as 3
    EXPECT_EQ(rec.keys.find(key(1)), -1);
    EXPECT_EQ(rec.keys.find(key(3)), 0);
    // Changing only the high bits keeps the row findable.
    replace(rec, 0, 3);
    EXPECT_EQ(rec.keys.find(key(3)), 0);
    EXPECT_EQ(add(rec, 1), 2);
}

TEST(KeyListIndex, SortingKeepsLowestRowFound) {
    DatabaseContents rec;
    add(rec, 0x30, "zed");
    add(rec, 0x10, "beta");
    add(rec, 0x20, "alpha");
    replace(rec, 0, 0x10, "zed"); // rows 0 and 1 now share 0x10
    EXPECT_EQ(rec.keys.find(key(0x10)), 0);
    rec.keys.sort(1); // alpha, beta, zed
    EXPECT_EQ(names(rec), (std::vector<std::string>{"alpha", "beta", "zed"}));
    EXPECT_EQ(rec.keys.find(key(0x10)), 1);
    EXPECT_EQ(rec.keys.find(key(0x20)), 0);
    rec.keys.remove(1);
    EXPECT_EQ(rec.keys.find(key(0x10)), 1);
}

TEST(KeyListIndex, AgreesWithALinearScanUnderRandomChanges) {
    std::mt19937 rng(12345);
    DatabaseContents rec;
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    for (int step = 0; step < 4000; ++step) {
        uint32_t number = pick(40) | (pick(3) << 24); // few numbers, so duplicates are common
        int rows = rec.keys.size();
        switch (pick(6)) {
        case 0:
        case 1: {
            int expected = linear_find(rec, number) >= 0 ? -1 : rows;
            ASSERT_EQ(add(rec, number, std::to_string(step)), expected);
            break;
        }
        case 2:
            if (rows > 0) {
                replace(rec, static_cast<int>(pick(static_cast<uint32_t>(rows))), number,
                        std::to_string(step));
            }
            break;
        case 3:
            if (rows > 0) {
                rec.keys.remove(static_cast<int>(pick(static_cast<uint32_t>(rows))));
            }
            break;
        case 4:
            if (pick(8) == 0) {
                rec.keys.sort(static_cast<int>(pick(4)));
            } else {
                rec.keys.append();
            }
            break;
        default:
            break;
        }
        for (uint32_t n = 0; n < 40; n += 1 + pick(5)) {
            ASSERT_EQ(rec.keys.find(key(n)), linear_find(rec, n)) << "step " << step;
        }
    }
}

TEST(KeyListSort, ByNumberAscending) {
    RecordingObserver obs;
    DatabaseContents rec;
    rec.keys.set_observer(&obs);
    add(rec, 0xffffff, "c");
    add(rec, 0x000001, "a");
    add(rec, 0x800000, "b");
    obs.events.clear();
    rec.keys.sort(0);
    EXPECT_EQ(names(rec), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(obs.events, (std::vector<std::string>{"pre-sort", "sort"}));
    // Always ascending: a second click gives the same order.
    rec.keys.sort(0);
    EXPECT_EQ(names(rec), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(KeyListSort, ByNameIgnoresCaseOfLettersOnly) {
    DatabaseContents rec;
    add(rec, 1, "cherry");
    add(rec, 2, "apple");
    add(rec, 3, "Berry");
    add(rec, 4, "Apple");
    add(rec, 5, "app");
    add(rec, 6, "[x"); // '[' sorts after 'Z' by value but before 'a'
    rec.keys.sort(1);
    EXPECT_EQ(names(rec),
              (std::vector<std::string>{"[x", "app", "apple", "Apple", "Berry", "cherry"}));
    KeyRecord a, b;
    a.name = "apple";
    b.name = "APPLE";
    EXPECT_EQ(compare_key_rows(a, b, 1), 0);
    b.name = "applf";
    EXPECT_LT(compare_key_rows(a, b, 1), 0);
    EXPECT_GT(compare_key_rows(b, a, 1), 0);
    // Bytes above 127 compare by their unsigned value, after every ASCII letter.
    b.name = "\xe9";
    EXPECT_GT(compare_key_rows(b, a, 1), 0);
}

TEST(KeyListSort, ByMemoOrFreeFieldLeavesOrderAsItWas) {
    DatabaseContents rec;
    add(rec, 3, "c", "zzz", "aaa");
    add(rec, 1, "a", "aaa", "zzz");
    add(rec, 2, "b", "mmm", "mmm");
    for (int column : {2, 3, 7, -1}) {
        rec.keys.sort(column);
        EXPECT_EQ(names(rec), (std::vector<std::string>{"c", "a", "b"}));
    }
    KeyRecord x, y;
    x.memo = "a";
    y.memo = "b";
    EXPECT_EQ(compare_key_rows(x, y, 2), 0);
    EXPECT_EQ(compare_key_rows(x, y, 3), 0);
}

TEST(KeyListSort, EqualNamesKeepTheirOrder) {
    DatabaseContents rec;
    for (uint32_t i = 0; i < 50; ++i) {
        add(rec, i, (i % 2) ? "Same" : "same", std::to_string(i));
    }
    rec.keys.sort(1);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(rec.keys.cell_text(i, 2), std::to_string(i));
    }
}

// The sort works on words gathered from the names, seven bytes at a time; its order must be
// exactly the stable order of compare_key_rows, also where names differ only late, only in
// length, in a NUL byte or in the case of a letter, and for numbers of all 32 bits.
TEST(KeyListSort, AgreesWithStableSortByComparison) {
    std::mt19937 random(5);
    const std::string alphabet("aA[\0\xe9 ", 6);
    DatabaseContents rec;
    for (uint32_t i = 0; i < 3000; ++i) {
        std::string name(random() % 3 * 7, 'x'); // shared prefixes of whole words
        for (size_t n = random() % 17; n > 0; --n) {
            name += alphabet[random() % alphabet.size()];
        }
        int row = rec.keys.append();
        uint32_t number = random() % 4 ? static_cast<uint32_t>(random()) : random() % 8;
        replace(rec, row, number, name);
    }
    for (int column : {0, 1, 0, 1}) {
        std::vector<const KeyRecord*> expected;
        for (int i = 0; i < rec.keys.size(); ++i) {
            expected.push_back(rec.keys.row(i));
        }
        std::stable_sort(expected.begin(), expected.end(),
                         [&](auto* a, auto* b) { return compare_key_rows(*a, *b, column) < 0; });
        rec.keys.sort(column);
        for (int i = 0; i < rec.keys.size(); ++i) {
            ASSERT_EQ(rec.keys.row(i), expected[static_cast<size_t>(i)]) << column << " " << i;
        }
    }
}

TEST(KeyListSort, CompareByNumberIsConsistentForWideNumbers) {
    KeyRecord low, high;
    low.id.number = 1;
    high.id.number = 0x90000000u; // a wrapped 32-bit difference would say "less"
    EXPECT_LT(compare_key_rows(low, high, 0), 0);
    EXPECT_GT(compare_key_rows(high, low, 0), 0);
    EXPECT_EQ(compare_key_rows(low, low, 0), 0);
}

namespace {

DatabaseContents list_of(const std::vector<KeyId>& ids) {
    DatabaseContents rec;
    for (const KeyId& id : ids) {
        int row = rec.keys.append();
        rec.keys.replace(row, id, {}, {}, {});
    }
    return rec;
}

// The nested scan the result order is defined by.
void reference_difference(std::vector<KeyId>& a, std::vector<KeyId>& b) {
    size_t ca = a.size(), cb = b.size();
    for (size_t c = 0; c < ca;) {
        bool found = false;
        for (size_t j = 0; j < cb;) {
            if (b[j] == a[c]) {
                b[j] = b[--cb];
                found = true;
            } else {
                ++j;
            }
        }
        if (found) {
            a[c] = a[--ca];
        } else {
            ++c;
        }
    }
    a.resize(ca);
    b.resize(cb);
}

std::vector<uint32_t> numbers(const KeyId* ids, int n) {
    std::vector<uint32_t> out;
    for (int i = 0; i < n; ++i) {
        out.push_back(ids[i].number);
    }
    return out;
}

} // namespace

TEST(KeyListDifference, RemovesWhatBothHold) {
    DatabaseContents a = list_of({key(1), key(2), key(3)});
    DatabaseContents b = list_of({key(3), key(4)});
    KeyId array_a[3], array_b[2];
    int count_a = a.keys.size(), count_b = b.keys.size();
    key_list_difference(a.keys, b.keys, array_a, array_b, &count_a, &count_b);
    ASSERT_EQ(count_a, 2);
    ASSERT_EQ(count_b, 1);
    auto left = numbers(array_a, count_a);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(array_b[0].number, 4u);
}

TEST(KeyListDifference, ComparesAllThreeWordsAndRemovesEveryCopy) {
    DatabaseContents a = list_of({KeyId{0, 5, 0}, key(6)});
    DatabaseContents b = list_of({KeyId{1, 5, 0}, key(6), key(6), KeyId{0, 5, 2}, key(6)});
    KeyId array_a[2], array_b[5];
    int count_a = 2, count_b = 5;
    key_list_difference(a.keys, b.keys, array_a, array_b, &count_a, &count_b);
    EXPECT_EQ(count_a, 1);
    EXPECT_EQ(array_a[0], (KeyId{0, 5, 0}));
    ASSERT_EQ(count_b, 2);
    std::vector<KeyId> rest(array_b, array_b + 2);
    EXPECT_NE(std::find(rest.begin(), rest.end(), KeyId{1, 5, 0}), rest.end());
    EXPECT_NE(std::find(rest.begin(), rest.end(), KeyId{0, 5, 2}), rest.end());
}

TEST(KeyListDifference, EmptyLists) {
    DatabaseContents a = list_of({});
    DatabaseContents b = list_of({key(1)});
    KeyId array_b[1];
    int count_a = 0, count_b = 1;
    key_list_difference(a.keys, b.keys, nullptr, array_b, &count_a, &count_b);
    EXPECT_EQ(count_a, 0);
    EXPECT_EQ(count_b, 1);
    key_list_difference(b.keys, a.keys, array_b, nullptr, &count_b, &count_a);
    EXPECT_EQ(count_b, 1);
    EXPECT_EQ(count_a, 0);
}

TEST(KeyListDifference, MatchesTheNestedScanOrderExactly) {
    std::mt19937 rng(777);
    for (int round = 0; round < 300; ++round) {
        std::vector<KeyId> ids_a, ids_b;
        uint32_t range = 2 + rng() % 30;
        size_t na = rng() % 40, nb = rng() % 40;
        for (size_t i = 0; i < na; ++i) {
            ids_a.push_back(KeyId{rng() % 2 ? 0u : 1u, static_cast<uint32_t>(rng() % range), 0});
        }
        for (size_t i = 0; i < nb; ++i) {
            ids_b.push_back(KeyId{rng() % 2 ? 0u : 1u, static_cast<uint32_t>(rng() % range), 0});
        }
        DatabaseContents a = list_of(ids_a);
        DatabaseContents b = list_of(ids_b);
        std::vector<KeyId> array_a(na + 1), array_b(nb + 1);
        int count_a = static_cast<int>(na), count_b = static_cast<int>(nb);
        key_list_difference(a.keys, b.keys, array_a.data(), array_b.data(), &count_a, &count_b);
        reference_difference(ids_a, ids_b);
        array_a.resize(static_cast<size_t>(count_a));
        array_b.resize(static_cast<size_t>(count_b));
        ASSERT_EQ(array_a, ids_a) << "round " << round;
        ASSERT_EQ(array_b, ids_b) << "round " << round;
    }
}

TEST(KeyList, AKeyIsValidFromItsFirstThroughItsLastDay) {
    const Day from = *parse_day("2026-03-01"), until = *parse_day("2026-03-14");
    struct Case {
        std::optional<Day> from, until;
        int32_t offset_from_first; // the day asked about, relative to `from`
        bool valid;
    } cases[] = {
        {std::nullopt, std::nullopt, -100000, true},
        {from, std::nullopt, -1, false},
        {from, std::nullopt, 0, true},
        {from, until, 13, true},
        {from, until, 14, false},
        {std::nullopt, until, -100000, true},
    };
    for (const Case& c : cases) {
        KeyRecord k;
        k.valid_from = c.from;
        k.valid_until = c.until;
        EXPECT_EQ(key_valid_on(k, Day{from.number + c.offset_from_first}), c.valid)
            << c.offset_from_first;
    }
}
