// The event history's store and the kinds of the screen log's lines.
#include "history/event_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>

namespace {

// Every line the decoder, the link and the logger write, with the kind and door it stands for.
TEST(EventKind, EachLineOfTheScreenLogHasItsKindAndDoor) {
    struct Case {
        const char* text;
        EventKind kind;
        char door;
    };
    const Case cases[] = {
        {"Valid key. Name: \"Ann\".", EventKind::ValidKey, 0},
        {"Valid key.  Door B is open.", EventKind::ValidKey, 'B'},
        {"Memo: \"night shift\"", EventKind::ValidKey, 'B'}, // belongs to the line before
        {"Master key.  Door A is open.", EventKind::MasterKey, 'A'},
        {"Invalid key detected.", EventKind::InvalidKey, 0},
        {"Memo: \"lost in May\"", EventKind::InvalidKey, 0},
        {"Door A is open ", EventKind::Door, 'A'},
        {"Door B closed ", EventKind::Door, 'B'},
        {"Door B is open contact shorted ", EventKind::Alarm, 'B'},
        {"Door A temporarily blocked as penalty ", EventKind::Penalty, 'A'},
        {"Key added manually", EventKind::Manual, 0},
        {"Key deleted manually", EventKind::Manual, 0},
        {"Attempt to add key manually failed: EEPROM key memory page is full", EventKind::Memory,
         0},
        {"The key controller is being initialized with a new master key", EventKind::Memory, 0},
        {"The key controller's memory was cleared, including the master", EventKind::Memory, 0},
        {"Connection to COM3 lost", EventKind::Link, 0},
        {"Connection to COM3 restored", EventKind::Link, 0},
        {"Log started", EventKind::Log, 0},
        {"Log ended", EventKind::Log, 0},
        {"Performed synchronization with RD-unit.", EventKind::Sync, 0},
        {"Compared the keys with RD-unit.", EventKind::Sync, 0},
    };
    LineClassifier classifier;
    for (const Case& c : cases) {
        const LineMeaning m = classifier.classify(c.text);
        EXPECT_EQ(event_kind_name(m.kind), std::string(event_kind_name(c.kind))) << c.text;
        EXPECT_EQ(m.door, c.door) << c.text;
    }
    for (int k = 0; k < event_kind_count; ++k) {
        const EventKind kind = static_cast<EventKind>(k);
        EXPECT_EQ(parse_event_kind(event_kind_name(kind)), kind);
    }
    EXPECT_EQ(parse_event_kind("doors"), std::nullopt);
}

struct StoreTest : ::testing::Test {
    StoreTest() {
        char name[] = "/tmp/tessary-history-XXXXXX";
        dir = mkdtemp(name);
        database = dir + "/office.tsy";
    }
    ~StoreTest() override { std::filesystem::remove_all(dir); }
    std::unique_ptr<EventStore> open(bool create = true) {
        std::string error;
        auto store = EventStore::open(history_path(database), create, database, &error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    static StoredEvent event(int64_t time_ms, std::optional<uint32_t> key, EventKind kind,
                             char door = 0, std::string name = {}) {
        StoredEvent e;
        e.time_ms = time_ms;
        e.key = key;
        e.kind = kind;
        e.door = door;
        e.name = std::move(name);
        e.text = "line at " + std::to_string(time_ms);
        return e;
    }
    static std::vector<int64_t> times(const std::vector<StoredEvent>& events) {
        std::vector<int64_t> out;
        for (const StoredEvent& e : events) {
            out.push_back(e.time_ms);
        }
        return out;
    }
    std::string dir;
    std::string database;
};

TEST_F(StoreTest, LivesBesideTheDatabaseNoWiderThanIt) {
    EXPECT_EQ(history_path("/a/office.tsy"), "/a/office.events.sqlite");
    EXPECT_EQ(history_path("/a.b/office"), "/a.b/office.events.sqlite");
    std::ofstream(database) << "";
    chmod(database.c_str(), 0600);
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->read_only()) << store->read_only_reason();
    struct stat st {};
    ASSERT_EQ(stat(history_path(database).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(StoreTest, FiltersCombineAndPagesFollowOneAnother) {
    auto store = open();
    std::vector<StoredEvent> events = {
        event(1000, 0x10, EventKind::ValidKey, 'A', "Ann Smith"),
        event(2000, 0x11, EventKind::ValidKey, 'B', "Bob"),
        event(3000, 0x10, EventKind::InvalidKey, 0),
        event(4000, std::nullopt, EventKind::Door, 'B'),
        event(4000, 0x12, EventKind::ValidKey, 'B', "50%_off"),
    };
    std::string error;
    ASSERT_TRUE(store->append(events, &error)) << error;
    EventFilter all;
    EXPECT_EQ(times(store->page(all, 10)), (std::vector<int64_t>{4000, 4000, 3000, 2000, 1000}));
    EXPECT_EQ(store->page(all, 10)[0].id, events[4].id) << "equal times: the later stored first";

    EventFilter f;
    f.since_ms = 2000;
    f.until_ms = 4000; // the end is not included
    EXPECT_EQ(times(store->page(f, 10)), (std::vector<int64_t>{3000, 2000}));
    f = {};
    f.door = 'B';
    f.kinds = {EventKind::ValidKey};
    EXPECT_EQ(store->count(f), 2);
    f = {};
    f.key = 0x10;
    EXPECT_EQ(times(store->page(f, 10, std::nullopt, true)), (std::vector<int64_t>{1000, 3000}));
    f = {};
    f.text = "SMITH"; // the case of A-Z does not matter
    EXPECT_EQ(times(store->page(f, 10)), (std::vector<int64_t>{1000}));
    f.text = "000011"; // the key number as the key list shows it
    EXPECT_EQ(times(store->page(f, 10)), (std::vector<int64_t>{2000}));
    f.text = "%_"; // taken as text, not as a pattern
    EXPECT_EQ(times(store->page(f, 10)), (std::vector<int64_t>{4000}));

    std::vector<StoredEvent> first = store->page(all, 2);
    EventCursor after{first.back().time_ms, first.back().id};
    EXPECT_EQ(times(store->page(all, 2, after)), (std::vector<int64_t>{3000, 2000}));
    EXPECT_TRUE(store->contains(3000, 0x10, "line at 3000"));
    EXPECT_FALSE(store->contains(3000, std::nullopt, "line at 3000"));

    EXPECT_EQ(store->prune_before(2500, &error), 2);
    EXPECT_EQ(store->count(all), 3);
}

// A text is looked for among the keys that had it, a set of rare kinds a kind at a time: the
// pages come out as one scan in time order would give them, a key's name as it was then.
TEST_F(StoreTest, PagesOfATextOrOfRareKindsFollowTimeOrderAcrossTheirParts) {
    auto store = open();
    const char* names[] = {"Ann X", "Zed", "Ann Y", "Bob"};
    const EventKind kinds[] = {EventKind::Alarm, EventKind::ValidKey, EventKind::Link};
    std::vector<StoredEvent> events;
    for (int i = 0; i < 40; ++i) {
        // Key 1 is Ann X first and Zed later; times repeat, so ids break the ties.
        const int k = i % 4;
        events.push_back(event(1000 * (i / 3), k == 1 ? 1 : k, kinds[i % 3], 0,
                               k == 0 && i > 20 ? "Zed" : names[k]));
    }
    std::string error;
    ASSERT_TRUE(store->append(events, &error)) << error;
    EventFilter text;
    text.text = "ann";
    EventFilter digits; // a part of key 2's number "000002"
    digits.text = "02";
    EventFilter rare;
    rare.kinds = {EventKind::Link, EventKind::Alarm};
    for (const EventFilter& f : {text, digits, rare}) {
        for (bool oldest_first : {false, true}) {
            std::vector<int64_t> expected;
            for (const StoredEvent& e : events) {
                const bool kind_ok =
                    f.kinds.empty() || e.kind == EventKind::Alarm || e.kind == EventKind::Link;
                const bool text_ok =
                    f.text.empty() || (f.text == "02" ? e.key == 2u : e.name.rfind("Ann", 0) == 0);
                if (kind_ok && text_ok) {
                    expected.push_back(e.id);
                }
            }
            if (!oldest_first) {
                std::reverse(expected.begin(), expected.end());
            }
            std::vector<int64_t> got;
            std::optional<EventCursor> after;
            for (std::vector<StoredEvent> p; !(p = store->page(f, 3, after, oldest_first)).empty();
                 after = EventCursor{p.back().time_ms, p.back().id}) {
                for (const StoredEvent& e : p) {
                    got.push_back(e.id);
                }
            }
            EXPECT_EQ(got, expected) << f.text << " oldest first " << oldest_first;
            EXPECT_EQ(store->count(f), static_cast<int64_t>(expected.size())) << f.text;
        }
    }
    text.text = "nobody";
    EXPECT_TRUE(store->page(text, 3).empty());
    EXPECT_EQ(store->count(text), 0);
}

// A store of the first version gets the table of key texts its text searches now start from.
TEST_F(StoreTest, AStoreOfTheFirstVersionIsUpgraded) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(history_path(database).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE events (id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL,"
                           " key INTEGER, name TEXT NOT NULL DEFAULT '', memo TEXT NOT NULL "
                           "DEFAULT '', kind INTEGER NOT NULL, door INTEGER NOT NULL DEFAULT 0,"
                           " highlight INTEGER NOT NULL DEFAULT 0, text TEXT NOT NULL);"
                           "CREATE INDEX events_by_key ON events(key, time_ms, id);"
                           "INSERT INTO events(time_ms, key, name, kind, text) VALUES(5, 16, "
                           "'Ann', 0, 'Valid key.');"
                           "PRAGMA user_version=1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto store = open(false);
    ASSERT_FALSE(store->read_only()) << store->read_only_reason();
    EventFilter f;
    f.text = "ann";
    EXPECT_EQ(times(store->page(f, 10)), (std::vector<int64_t>{5}));
}

// A key's uses are counted from the index of keys alone: at millions of events, reading each
// event for its kind took most of a minute. An earlier version's index did not hold the kind.
TEST_F(StoreTest, AnEarlierVersionsIndexOfKeysIsReplacedByOneThatCoversAKeysUses) {
    const char* const earlier[] = {
        "CREATE INDEX events_by_key ON events(key, time_ms, id); PRAGMA user_version=1;",
        "CREATE INDEX events_by_key ON events(key, time_ms, id) WHERE key IS NOT NULL;"
        "PRAGMA user_version=2;",
    };
    for (const char* index : earlier) {
        std::filesystem::remove(history_path(database));
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(history_path(database).c_str(), &db), SQLITE_OK);
        const std::string sql = "CREATE TABLE events (id INTEGER PRIMARY KEY, time_ms INTEGER NOT "
                                "NULL, key INTEGER, name TEXT NOT NULL DEFAULT '', memo TEXT NOT "
                                "NULL DEFAULT '', kind INTEGER NOT NULL, door INTEGER NOT NULL "
                                "DEFAULT 0, highlight INTEGER NOT NULL DEFAULT 0, text TEXT NOT "
                                "NULL); INSERT INTO events(time_ms, key, kind, door, text) "
                                "VALUES(5, 16, 0, 66, 'Valid key.');" +
                                std::string(index);
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << index;
        sqlite3_close(db);
        ASSERT_FALSE(open(false)->read_only()) << index;
        ASSERT_EQ(sqlite3_open(history_path(database).c_str(), &db), SQLITE_OK);
        sqlite3_stmt* plan = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     "EXPLAIN QUERY PLAN SELECT count(*), max(door) FROM events "
                                     "WHERE key = 16 AND time_ms >= 0 AND kind IN (0, 1)",
                                     -1, &plan, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_step(plan), SQLITE_ROW);
        EXPECT_NE(std::string(reinterpret_cast<const char*>(sqlite3_column_text(plan, 3)))
                      .find("COVERING INDEX events_by_key"),
                  std::string::npos)
            << index;
        sqlite3_finalize(plan);
        sqlite3_close(db);
        const std::vector<KeyUsage> usage = open(false)->key_usage(std::nullopt);
        ASSERT_EQ(usage.size(), 1u) << index;
        EXPECT_EQ(usage[0].last_door, 'B');
        EXPECT_EQ(usage[0].uses, 1);
    }
}

TEST(Retention, TheCutoffIsTheSameTimeOfDayWholeCalendarMonthsBefore) {
    struct Case {
        const char* now;
        int months;
        const char* cutoff;
    } cases[] = {
        {"2026-12-09 17:30:00", 1, "2026-11-09 17:30:00"},
        {"2026-12-09 17:30:00", 12, "2025-12-09 17:30:00"},
        {"2026-03-31 06:00:00", 1, "2026-02-28 06:00:00"}, // February has no 31st
        {"2028-03-31 06:00:00", 1, "2028-02-29 06:00:00"},
        {"2027-01-15 00:00:00", 2, "2026-11-15 00:00:00"},
    };
    auto ms = [](const char* text) {
        std::tm tm{};
        EXPECT_TRUE(strptime(text, "%Y-%m-%d %H:%M:%S", &tm)) << text;
        return int64_t{timegm(&tm)} * 1000;
    };
    for (const Case& c : cases) {
        EXPECT_EQ(retention_cutoff_ms(ms(c.now), c.months), ms(c.cutoff)) << c.now;
    }
}

TEST_F(StoreTest, RetentionKeptInTheStorePrunesOnceADayAndAtOnceWhenShortened) {
    constexpr int64_t day = 24LL * 3600 * 1000;
    const int64_t now = int64_t{1796800000} * 1000;
    auto store = open();
    std::vector<StoredEvent> events = {event(now - 400 * day, 1, EventKind::ValidKey),
                                       event(now - 100 * day, 2, EventKind::ValidKey),
                                       event(now - 10 * day, 3, EventKind::ValidKey)};
    std::string error;
    ASSERT_TRUE(store->append(events, &error)) << error;
    EXPECT_EQ(store->retention_months(), 0);
    EXPECT_EQ(store->apply_retention(now, &error), 0) << "0 keeps all";
    EXPECT_FALSE(store->set_retention_months(-1, &error));
    ASSERT_TRUE(store->set_retention_months(12, &error)) << error;
    EXPECT_EQ(store->apply_retention(now, &error), 1);
    EXPECT_EQ(store->last_pruned_ms(), now);

    ASSERT_TRUE(store->append(events, &error)) << error; // as if written by another program
    EXPECT_EQ(store->apply_retention(now + day - 1, &error), 0) << "once a day";
    EXPECT_EQ(store->apply_retention(now + day, &error), 1);
    ASSERT_TRUE(store->set_retention_months(1, &error)) << error;
    EXPECT_EQ(open(false)->retention_months(), 1) << "another connection sees it";
    EXPECT_EQ(store->apply_retention(now + day + 1, &error), 2) << "shortened: pruned at once";
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_EQ(store->count({}), 2);
}

TEST_F(StoreTest, ADamagedOrNewerStoreOpensReadOnlyWithTheReason) {
    std::ofstream(history_path(database)) << std::string(4096, 'x');
    auto damaged = open(false);
    ASSERT_TRUE(damaged);
    EXPECT_TRUE(damaged->read_only());
    EXPECT_NE(damaged->read_only_reason().find("damaged"), std::string::npos);
    std::vector<StoredEvent> one = {event(1, 1, EventKind::ValidKey)};
    std::string error;
    EXPECT_FALSE(damaged->append(one, &error));
    damaged.reset();

    std::filesystem::remove(history_path(database));
    open().reset();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(history_path(database).c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw, "PRAGMA user_version=9", nullptr, nullptr, nullptr); // a later version's
    sqlite3_close(raw);
    auto newer = open(false);
    ASSERT_TRUE(newer);
    EXPECT_EQ(newer->read_only_reason(), "it was written by a newer version of Tessary");
    EXPECT_FALSE(newer->append(one, &error));
}

TEST_F(StoreTest, ALinkInItsPlaceIsNotFollowed) {
    const std::string elsewhere = dir + "/elsewhere";
    std::ofstream(elsewhere) << "";
    std::filesystem::create_symlink(elsewhere, history_path(database));
    std::string error;
    EXPECT_FALSE(EventStore::open(history_path(database), true, database, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(std::filesystem::file_size(elsewhere), 0u);
}

} // namespace
