#include "database/csv.h"

#include "database/key_database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace {

struct CsvTest : ::testing::Test {
    CsvTest() {}
    int add(uint32_t number, const std::string& name, const std::string& memo = "",
            const std::string& free = "") {
        return db.keys.add(KeyId{0, number, 0}, name, memo, free);
    }
    std::vector<std::string> bad_rows(const CsvImportPlan& plan) {
        std::vector<std::string> out;
        for (const CsvBadRow& b : plan.bad_rows) {
            out.push_back(std::to_string(b.line) + ": " + csv_bad_reason_text(b.reason));
        }
        return out;
    }
    DatabaseContents db;
    DatabaseContents back;
};

} // namespace

// Every text goes out as UTF-8 and comes back as the same text: Windows-1252 bytes come back as
// their UTF-8 reading. The days of validity come back too.
TEST_F(CsvTest, AwkwardTextsAndDaysSurviveExportAndImport) {
    struct Case {
        std::string stored, imported;
    } cases[] = {
        {"plain", "plain"},
        {"Smith, John", "Smith, John"},
        {"the \"night\" man", "the \"night\" man"},
        {"\",\"", "\",\""},
        {" padded ", " padded "},
        {"Zo\xc3\xab \xe2\x9c\x93 \xf0\x9f\x94\x91", "Zo\xc3\xab \xe2\x9c\x93 \xf0\x9f\x94\x91"},
        {"caf\xe9 \x80 \x93", "caf\xc3\xa9 \xe2\x82\xac \xe2\x80\x9c"},
        {"", ""},
    };
    uint32_t number = 1;
    for (const Case& c : cases) {
        add(number++, c.stored, c.stored, c.stored);
    }
    db.keys.set_validity(1, parse_day("2026-03-01"), parse_day("2026-03-14"));
    CsvImportPlan plan = plan_csv_import(keys_to_csv(db.keys), back.keys);
    EXPECT_TRUE(plan.bad_rows.empty());
    ASSERT_EQ(apply_csv_import(back.keys, plan, false), static_cast<int>(std::size(cases)));
    for (int row = 0; row < back.keys.size(); ++row) {
        for (int column = 1; column <= 3; ++column) {
            EXPECT_EQ(back.keys.cell_text(row, column), cases[row].imported) << row;
        }
        EXPECT_EQ(back.keys.row(row)->valid_from, db.keys.row(row)->valid_from) << row;
        EXPECT_EQ(back.keys.row(row)->valid_until, db.keys.row(row)->valid_until) << row;
    }
}

TEST_F(CsvTest, ExportQuotesOnlyWhatNeedsIt) {
    add(0xa3f1, "Smith, \"J\"", "", "x");
    std::vector<int> rows = {0};
    EXPECT_EQ(keys_to_csv(db.keys, &rows), "key,name,memo,free,valid_from,valid_until\r\n"
                                           "00a3f1,\"Smith, \"\"J\"\"\",,x,,\r\n");
}

// A spreadsheet shows the text rather than running it; import takes off only the apostrophe
// that export put there.
TEST_F(CsvTest, FormulaCellsGoOutBehindAnApostrophe) {
    struct Case {
        std::string text, field;
    } cases[] = {
        {"=1+2", "'=1+2"}, {"+49", "'+49"},     {"-5", "'-5"},     {"@x", "'@x"},
        {"\tx", "'\tx"},   {"\rx", "\"'\rx\""}, {"''-5", "'''-5"}, {"'Brien", "'Brien"},
        {"a=b", "a=b"},    {"'", "'"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(csv_field(c.text), c.field) << c.text;
        if (c.text.find('\r') != std::string::npos) {
            continue; // only the screen log's texts can hold one; key texts cannot
        }
        CsvImportPlan plan = plan_csv_import("key,name\n1," + c.field + "\n", back.keys);
        ASSERT_EQ(plan.rows.size(), 1u) << c.field;
        EXPECT_EQ(plan.rows[0].name, c.text) << c.field;
    }
}

// The header decides the columns; a byte-order mark, the case of the names and extra columns
// change nothing else.
TEST_F(CsvTest, HeaderOrderAndByteOrderMark) {
    for (std::string bom : {std::string(), std::string(utf8_bom)}) {
        CsvImportPlan plan =
            plan_csv_import(bom + "Free,room,KEY,name\r\nf,12,00A3F1,Caretaker\n", back.keys);
        ASSERT_EQ(plan.header_error, "");
        EXPECT_THAT(plan.extra_columns, ElementsAre("room"));
        ASSERT_EQ(plan.rows.size(), 1u);
        EXPECT_EQ(plan.rows[0].id.number, 0xa3f1u);
        EXPECT_EQ(plan.rows[0].name, "Caretaker");
        EXPECT_EQ(plan.rows[0].memo, "");
        EXPECT_EQ(plan.rows[0].free_field, "f");
    }
    EXPECT_EQ(plan_csv_import("name,memo\r\nx,y\r\n", back.keys).header_error,
              "The header row has no column named key.");
}

TEST_F(CsvTest, EveryBadRowIsReportedWithItsLine) {
    std::string too_long(key_text_capacity + 1, 'x');
    CsvImportPlan plan = plan_csv_import("key,name\n"
                                         "1,good\n"
                                         "12g4,a\n"
                                         ",empty key\n"
                                         "1234567,b\n"
                                         "2,\"two\nlines\"\n"
                                         "3," +
                                             too_long +
                                             "\n"
                                             " 4 ,padded key\n"
                                             "1,again\n"
                                             "\n"
                                             "5,\"open\n"
                                             "6,after\n",
                                         back.keys);
    EXPECT_THAT(bad_rows(plan),
                ElementsAre("3: the key number is not hexadecimal",
                            "4: the key number is not hexadecimal",
                            "5: the key number has more than six digits",
                            "6: a field holds a line break", "8: a text is longer than 2000 bytes",
                            "10: the key number is on an earlier row too",
                            "12: a quoted field is not closed"));
    ASSERT_EQ(plan.rows.size(), 3u);
    EXPECT_EQ(plan.rows[1].id.number, 4u);
    EXPECT_EQ(plan.rows[1].line, 9);
    EXPECT_EQ(plan.rows[2].line, 13); // read again after the quote that never closed
}

TEST_F(CsvTest, ExistingKeysAreKeptOrUpdatedWhenAsked) {
    add(1, "old");
    db.keys.set_validity(0, parse_day("2026-01-01"), std::nullopt);
    const std::string csv = "key,name\n000001,new\n000002,other\n";
    for (bool update : {false, true}) {
        CsvImportPlan plan = plan_csv_import(csv, db.keys);
        EXPECT_EQ(plan.new_keys, update ? 0 : 1);
        EXPECT_EQ(plan.existing_keys, update ? 2 : 1);
        EXPECT_EQ(apply_csv_import(db.keys, plan, update), update ? 2 : 1);
        EXPECT_EQ(db.keys.cell_text(0, 1), update ? "new" : "old");
    }
    EXPECT_EQ(db.keys.size(), 2);
    EXPECT_TRUE(db.keys.row(0)->valid_from);
}

TEST_F(CsvTest, DateColumnsSetTheDaysOfValidity) {
    add(2, "dated");
    db.keys.set_validity(0, parse_day("2026-01-01"), std::nullopt);
    CsvImportPlan plan = plan_csv_import("key,valid_until,valid_from\n"
                                         "1,2026-03-14,2026-03-01\n"
                                         "2,,\n"
                                         "3,14.03.2026,\n",
                                         db.keys);
    EXPECT_THAT(bad_rows(plan), ElementsAre("4: a date is not YYYY-MM-DD"));
    apply_csv_import(db.keys, plan, true);
    EXPECT_EQ(db.keys.row(0)->valid_from, std::nullopt);
    EXPECT_EQ(db.keys.row(1)->valid_from, parse_day("2026-03-01"));
    EXPECT_EQ(db.keys.row(1)->valid_until, parse_day("2026-03-14"));
}
