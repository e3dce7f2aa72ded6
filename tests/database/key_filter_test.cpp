#include "database/key_filter.h"

#include "database/key_database.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

int add(DatabaseContents& rec, uint32_t number, const std::string& name,
        const std::string& memo = "", const std::string& free = "") {
    return rec.keys.add(KeyId{0, number, 0}, name, memo, free);
}

class KeyFilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        add(rec, 0x00abcd, "Anna M\xc3\xbcller", "Day shift", "Room 12"); // 0, UTF-8
        add(rec, 0x123456,
            "J\xdcRGEN STRA\xdf"
            "E",
            "", "Garage");                                                        // 1, Windows-1252
        add(rec, 0x0000ff, "\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd", "NIGHT SHIFT");    // 2, Cyrillic
        add(rec, 0x00cdef, "\xc5\x93uvre \xc5\xa0imon", "", "\xc3\xa9t\xc3\xa9"); // 3
    }
    DatabaseContents rec;
};

TEST_F(KeyFilterTest, MatchesTextsAsShownIgnoringCase) {
    const struct {
        const char* query;
        std::vector<int> rows;
    } cases[] = {
        {"", {0, 1, 2, 3}},
        {"ABCD", {0}}, // number, as the six hex digits
        {"00ab", {0}},
        {"12", {0, 1}},                            // a number and a free field
        {"m\xc3\x9cLLER", {0}},                    // name, UTF-8, case of a non-ASCII letter
        {"j\xc3\xbcrgen stra\xc3\x9f", {1}},       // Windows-1252 bytes read as shown
        {"STRASSE", {}},                           // no expansion of the sharp s
        {"\xd0\x98\xd0\x92\xd0\x90\xd0\x9d", {2}}, // Cyrillic capitals
        {"night shift", {2}},                      // memo
        {"shift", {0, 2}},
        {"garage", {1}},                // free field
        {"\xc3\x89T\xc3\x89", {3}},     // free field, Latin-1 capitals
        {"\xc5\x92UVRE \xc5\xa0", {3}}, // Windows-1252 extras: oe ligature, S caron
        {"shift\troom", {}},            // no field holds a tab
        {"12\nday", {}},                // nor spans two fields
        {"zebra", {}},
    };
    KeyFilter filter(rec.keys);
    for (const auto& c : cases) {
        filter.set_query(c.query);
        EXPECT_EQ(filter.matching_rows(), c.rows) << c.query;
        EXPECT_EQ(filter.match_count(), static_cast<int>(c.rows.size())) << c.query;
        EXPECT_EQ(filter.active(), *c.query != '\0');
    }
}

struct Recorder : KeyListObserver {
    std::vector<std::string> events;
    const KeyFilter* filter = nullptr;
    void rows_inserted(int f, int) override { log("insert", f); }
    void rows_removed(int f, int) override { log("remove", f); }
    void row_changed(int r) override { log("change", r); }
    void rows_reordered() override { log("sort", 0); }
    void rows_reset() override { log("reset", 0); }
    // What the view's model would see: the filter already up to date.
    void log(const char* what, int row) {
        events.push_back(std::string(what) + " " + std::to_string(row) + " " +
                         std::to_string(filter->match_count()));
    }
};

// The filter follows the list through inserts, edits, deletions, sorts and resets, and through
// a query typed and erased, always agreeing with one built afresh.
TEST_F(KeyFilterTest, FollowsEveryChangeOfTheList) {
    Recorder next;
    KeyFilter filter(rec.keys, &next);
    next.filter = &filter;
    rec.keys.set_observer(&filter);
    std::mt19937 random(3);
    const std::string query = "ann";
    const char* const names[] = {"Anna", "hANNes", "Bob", "joANN", "Zed"};
    for (int step = 0; step < 400; ++step) {
        const int rows = rec.keys.size();
        switch (random() % 6) {
        case 0:
            add(rec, static_cast<uint32_t>(random()), names[random() % 5]);
            break;
        case 1:
            if (rows > 0) {
                const int row = static_cast<int>(random() % static_cast<uint32_t>(rows));
                rec.keys.replace(row, rec.keys.row(row)->id, names[random() % 5], {}, {});
            }
            break;
        case 2:
            rec.keys.remove(rows > 0 ? static_cast<int>(random() % rows) : 0);
            break;
        case 3:
            rec.keys.sort(static_cast<int>(random() % 2));
            break;
        case 4:
            filter.set_query(query.substr(0, random() % (query.size() + 1)));
            break;
        default:
            if (random() % 20 == 0) {
                rec.keys.clear();
            }
            break;
        }
        KeyFilter fresh(rec.keys);
        fresh.set_query(filter.query());
        ASSERT_EQ(filter.matching_rows(), fresh.matching_rows()) << "step " << step;
        for (int row = 0; row < rec.keys.size(); ++row) {
            ASSERT_EQ(filter.row_matches(row), fresh.row_matches(row));
        }
    }
    // Passed on after the filter updated itself: add_key appends an empty row, then fills it.
    next.events.clear();
    filter.set_query("zed");
    const int before = filter.match_count();
    const std::string row = std::to_string(add(rec, 0xfffffe, "zed"));
    EXPECT_EQ(next.events,
              (std::vector<std::string>{"insert " + row + " " + std::to_string(before),
                                        "change " + row + " " + std::to_string(before + 1)}));
    rec.keys.set_observer(nullptr);
}

} // namespace

// Last valid days around a fixed today, with the find text on top: the filter keeps the keys
// that stop opening within the 14 days from today, neither those already expired nor those
// without a last day.
TEST_F(KeyFilterTest, ExpiringFilterKeepsKeysWhoseLastDayIsWithinFourteenDays) {
    const Day today = *day_from_date(2026, 12, 9);
    const struct {
        std::optional<int32_t> last_day; // days after today; none: no last day
        bool expiring;
    } cases[] = {{-1, false}, {0, true}, {13, true}, {14, false}, {std::nullopt, false}};
    DatabaseContents keys;
    for (const auto& c : cases) {
        const int row = add(keys, static_cast<uint32_t>(keys.keys.size() + 1), "Tenant");
        if (c.last_day) {
            keys.keys.set_validity(row, std::nullopt, Day{today.number + *c.last_day});
        }
        EXPECT_EQ(expires_within_window(*keys.keys.row(row), today), c.expiring) << row;
    }
    add(keys, 0x0000aa, "Contractor");
    keys.keys.set_validity(keys.keys.size() - 1, today, today);

    KeyFilter filter(keys.keys);
    filter.set_expiring_from(today);
    EXPECT_EQ(filter.matching_rows(), (std::vector<int>{1, 2, 5}));
    EXPECT_TRUE(filter.active());
    filter.set_query("tenant");
    EXPECT_EQ(filter.matching_rows(), (std::vector<int>{1, 2}));
    // A last day moved out of the window takes the key out at once.
    keys.keys.set_validity(1, std::nullopt, Day{today.number + 20});
    filter.row_changed(1);
    EXPECT_EQ(filter.matching_rows(), (std::vector<int>{2}));
    filter.set_expiring_from(std::nullopt);
    EXPECT_EQ(filter.match_count(), 5);
}
