#include "database/tsy_file.h"

#include "support/fake_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const expected_warning =
    "This '.TSY' file was created by an older version of Tessary.\n"
    "Tessary will now try to read the file.\n\n"
    "However, if you save the file in this program, older\n"
    "versions of Tessary may not be able to load it any more.";

const std::string header = ";              === Tessary 2.0 key list ===\r\n"
                           ";   === It is not recommended to edit this file manually! ===\r\n"
                           ";\r\n";

const std::string worked_example = header + "COM\t1\r\n"
                                            "BOOL1\t1f\r\n"
                                            "WINDOW\t120\t80\t920\t680\r\n"
                                            "COLUMNSLOG\t55\t450\t110\r\n"
                                            "COLUMNSKEY\t55\t150\t205\t205\r\n"
                                            "SCREENLOGLINES\t1000\r\n"
                                            "LOGFILESIZE\t710\r\n"
                                            "KEY\t00a3f1\tCaretaker\tNight shift\tRoom 12\r\n"
                                            "KEY\t0104bc\tVisitor\t\t\r\n";

class TsyFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tsy_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name = "db.TSY") const { return (dir_ / name).string(); }

    void put_file(const std::string& bytes) { std::ofstream(path(), std::ios::binary) << bytes; }

    std::string file_bytes() const {
        std::ifstream in(path(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    void read(const std::string& bytes, bool import_only = false) {
        put_file(bytes);
        File f = File::open_read(path());
        ASSERT_TRUE(f.is_open());
        last_read = read_database(rec, f, import_only, host);
    }

    std::string write() {
        File f = File::create(path());
        EXPECT_TRUE(f.is_open());
        EXPECT_TRUE(write_database(rec.keys, rec.log, rec.layout, f));
        f.close();
        return file_bytes();
    }

    void add(uint32_t number, const std::string& name, const std::string& memo,
             const std::string& free) {
        rec.keys.add(KeyId{0, number, 0}, name, memo, free);
    }

    struct Row {
        std::string number, name, memo, free;
        friend bool operator==(const Row&, const Row&) = default;
        friend std::ostream& operator<<(std::ostream& o, const Row& r) {
            return o << r.number << "|" << r.name << "|" << r.memo << "|" << r.free;
        }
    };
    std::vector<Row> rows() const {
        std::vector<Row> out;
        for (int i = 0; i < rec.keys.size(); ++i) {
            out.push_back({rec.keys.cell_text(i, 0), rec.keys.cell_text(i, 1),
                           rec.keys.cell_text(i, 2), rec.keys.cell_text(i, 3)});
        }
        return out;
    }

    fs::path dir_;
    DatabaseContents rec;
    FakeHost host;
    ReadResult last_read;
};

void expect_warning_once(const FakeHost& host) {
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "Tessary - Loading database");
    EXPECT_EQ(host.boxes[0].text, expected_warning);
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::Warning);
    EXPECT_EQ(host.boxes[0].buttons, MsgButtons::Ok);
}

} // namespace

// ---- Writing ------------------------------------------------------------------------------

TEST_F(TsyFile, WorkedExampleIsWrittenByteForByte) {
    rec.log.com_port = 1;
    rec.layout.window_rect = WindowRect{120, 80, 920, 680};
    add(0xa3f1, "Caretaker", "Night shift", "Room 12");
    add(0x104bc, "Visitor", "", "");
    EXPECT_EQ(write(), worked_example);
}

TEST_F(TsyFile, WindowPropertiesAreLeftOutWhenNotSaved) {
    rec.layout.save_window_properties = false;
    rec.layout.window_rect = WindowRect{1, 2, 3, 4};
    rec.layout.log_widths[0] = 99;
    EXPECT_EQ(write(),
              header + "COM\t0\r\nBOOL1\t0f\r\nSCREENLOGLINES\t1000\r\nLOGFILESIZE\t710\r\n");

    // Read back into a reset record: the rectangle and widths keep their defaults.
    rec.reset();
    read(file_bytes());
    EXPECT_FALSE(rec.layout.save_window_properties);
    EXPECT_FALSE(rec.layout.rect_present);
    EXPECT_FALSE(rec.layout.log_widths_present);
    EXPECT_FALSE(rec.layout.key_widths_present);
    EXPECT_EQ(rec.layout.window_rect, WindowRect{});
    EXPECT_EQ(rec.layout.log_widths[0], 55);
}

TEST_F(TsyFile, KeysAreWrittenInDisplayOrder) {
    add(0x30, "c", "", "");
    add(0x10, "a", "", "");
    add(0x20, "b", "", "");
    rec.keys.sort(0);
    std::string out = write();
    EXPECT_NE(out.find("KEY\t000010\ta\t\t\r\nKEY\t000020\tb\t\t\r\nKEY\t000030\tc\t\t\r\n"),
              std::string::npos);
}

TEST_F(TsyFile, KeyNumberIsWrittenAsItsLowSixDigits) {
    rec.keys.append();
    rec.keys.replace(0, KeyId{0, 0x12abcdef, 0}, {}, {}, {});
    EXPECT_NE(write().find("KEY\tabcdef\t\t\t\r\n"), std::string::npos);
}

TEST_F(TsyFile, FullLengthTextsKeepTheirSeparators) {
    std::string longest(2000, 'n');
    add(1, longest, longest, longest);
    std::string out = write();
    EXPECT_NE(out.find("KEY\t000001\t" + longest + "\t" + longest + "\t" + longest + "\r\n"),
              std::string::npos);
    rec.reset();
    read(out);
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0], (Row{"000001", longest, longest, longest}));
}

TEST_F(TsyFile, FailedWritesAreReported) {
    add(1, "a", "b", "c");
    // A disk that is full from the first byte on.
    File full = File::create("/dev/full");
    if (full.is_open()) {
        EXPECT_FALSE(write_database(rec.keys, rec.log, rec.layout, full));
    }
    // A file opened only for reading refuses every write.
    put_file("");
    File read_only = File::open_read(path());
    ASSERT_TRUE(read_only.is_open());
    EXPECT_FALSE(write_database(rec.keys, rec.log, rec.layout, read_only));
    File closed;
    EXPECT_FALSE(write_database(rec.keys, rec.log, rec.layout, closed));
}

TEST_F(TsyFile, LargeDatabaseWritesCompletely) {
    // More than one output chunk: every key arrives, in order.
    for (uint32_t i = 0; i < 5000; ++i) {
        add(i, "name " + std::to_string(i), "memo", "free");
    }
    std::string out = write();
    DatabaseContents back;
    File f = File::open_read(path());
    read_database(back, f, false, host);
    ASSERT_EQ(back.keys.size(), 5000);
    for (int i = 0; i < 5000; i += 499) {
        EXPECT_EQ(back.keys.cell_text(i, 1), "name " + std::to_string(i));
    }
}

// A load on another thread hears how far the read is, and ends it when told to: the keys read
// until then stay, the rest is not read.
TEST_F(TsyFile, ProgressIsReportedPerChunkAndCanEndTheRead) {
    for (uint32_t i = 0; i < 5000; ++i) {
        add(i, "name " + std::to_string(i), "memo", "free");
    }
    const int64_t size = static_cast<int64_t>(write().size());
    for (bool go_on : {true, false}) {
        DatabaseContents back;
        File f = File::open_read(path());
        std::vector<int64_t> reported;
        read_database(back, f, false, host, true, [&](int64_t done, int64_t total) {
            EXPECT_EQ(total, size);
            reported.push_back(done);
            return go_on;
        });
        if (go_on) {
            EXPECT_GT(reported.size(), 1u);
            EXPECT_EQ(reported.back(), size);
            EXPECT_EQ(back.keys.size(), 5000);
        } else {
            EXPECT_EQ(reported.size(), 1u);
            EXPECT_EQ(back.keys.size(), 0);
        }
    }
}

// ---- Reading the current format -----------------------------------------------------------

TEST_F(TsyFile, WorkedExampleReadsBackAndWritesAgainUnchanged) {
    read(worked_example);
    EXPECT_EQ(rec.log.com_port, 1u);
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{true, true, true, true}));
    EXPECT_TRUE(rec.layout.save_window_properties);
    EXPECT_FALSE(rec.log.rename_full_logs);
    EXPECT_EQ(rec.layout.window_rect, (WindowRect{120, 80, 920, 680}));
    EXPECT_TRUE(rec.layout.rect_present);
    EXPECT_TRUE(rec.layout.log_widths_present);
    EXPECT_TRUE(rec.layout.key_widths_present);
    EXPECT_EQ(rec.log.screen_log_lines, 1000);
    EXPECT_EQ(rec.log.log_file_size, 710);
    EXPECT_EQ(rows(), (std::vector<Row>{{"00a3f1", "Caretaker", "Night shift", "Room 12"},
                                        {"0104bc", "Visitor", "", ""}}));
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(write(), worked_example);
}

TEST_F(TsyFile, EverySettingIsRead) {
    read(header + "COM\t12\nBOOL1\t2a\nWINDOW\t1\t2\t3\t4\nCOLUMNSLOG\t5\t6\t7\n"
                  "COLUMNSKEY\t8\t9\t10\t11\nSCREENLOGLINES\t250\nLOGFILESIZE\t64\n");
    EXPECT_EQ(rec.log.com_port, 12u);
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{false, true, false, true}));
    EXPECT_FALSE(rec.layout.save_window_properties);
    EXPECT_TRUE(rec.log.rename_full_logs);
    EXPECT_EQ(rec.layout.window_rect, (WindowRect{1, 2, 3, 4}));
    EXPECT_EQ(std::vector<int>(rec.layout.log_widths, rec.layout.log_widths + 3),
              (std::vector<int>{5, 6, 7}));
    EXPECT_EQ(std::vector<int>(rec.layout.key_widths, rec.layout.key_widths + 4),
              (std::vector<int>{8, 9, 10, 11}));
    EXPECT_EQ(rec.log.screen_log_lines, 250);
    EXPECT_EQ(rec.log.log_file_size, 64);
}

TEST_F(TsyFile, CommentLinesOnlyChangeNothing) {
    rec.log.com_port = 9;
    rec.log.screen_log_lines = 3;
    rec.layout.stored_view.toolbar = false;
    read(header);
    EXPECT_EQ(rec.keys.size(), 0);
    EXPECT_EQ(rec.log.com_port, 9u);
    EXPECT_EQ(rec.log.screen_log_lines, 3);
    EXPECT_FALSE(rec.layout.stored_view.toolbar);
    EXPECT_FALSE(rec.layout.rect_present);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(TsyFile, NoHeaderIsNeeded) {
    read("KEY\t000001\ta\tb\tc\nKEY\t000002\td\te\tf\n");
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "a", "b", "c"}, {"000002", "d", "e", "f"}}));
}

TEST_F(TsyFile, KeyNumberFieldUsesItsFirstSixCharacters) {
    read(header + "KEY\t12\ta\t\t\nKEY\tABCDEF12\tb\t\t\nKEY\t\tc\t\t\n");
    EXPECT_EQ(rows(),
              (std::vector<Row>{
                  {"000012", "a", "", ""}, {"abcdef", "b", "", ""}, {"000000", "c", "", ""}}));
}

TEST_F(TsyFile, NonHexadecimalKeyNumberSkipsTheLine) {
    // Such a line used to become key ffffff; it is passed over and reading goes on.
    read(header + "KEY\t12x456\tbad\t\t\nKEY\t-1\tbad too\t\t\nKEY\t000001\tgood\t\t\n");
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "good", "", ""}}));
    EXPECT_EQ(rec.keys.find(KeyId{0, 0xffffff, 0}), -1);
}

TEST_F(TsyFile, KeyLineWithThreeFieldsBorrowsFromTheNextLine) {
    read(header + "KEY\t000001\tname\tmemo\nfree\trest\tof\tline\nKEY\t000002\tn2\tm2\tf2\n");
    EXPECT_EQ(rows(),
              (std::vector<Row>{{"000001", "name", "memo", "free"}, {"000002", "n2", "m2", "f2"}}));
}

TEST_F(TsyFile, ExtraFieldsAreSkipped) {
    read(header + "KEY\t000001\ta\tb\tc\textra\tmore\nCOM\t4\textra\n");
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "a", "b", "c"}}));
    EXPECT_EQ(rec.log.com_port, 4u);
}

TEST_F(TsyFile, KeywordsMatchAsPrefixes) {
    read(header + "KEYS\t000001\ta\tb\tc\nCOMx\t5\nBOOL1X\t00\nSCREENLOGLINESS\t7\n");
    EXPECT_EQ(rec.keys.size(), 1);
    EXPECT_EQ(rec.log.com_port, 5u);
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{false, false, false, false}));
    EXPECT_EQ(rec.log.screen_log_lines, 7);
}

TEST_F(TsyFile, UnknownCommentAndEmptyLinesArePassedOver) {
    read(header + "\n\nUNKNOWN\t1\t2\n;COM\t5\nkey\t000001\tx\t\t\n com\t3\nCOM\t2\n");
    EXPECT_EQ(rec.keys.size(), 0);
    EXPECT_EQ(rec.log.com_port, 2u);
}

TEST_F(TsyFile, SameKeyNumberTwiceKeepsTheFirst) {
    read(header + "KEY\t000001\tfirst\t\t\nKEY\t000001\tsecond\t\t\n");
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "first", "", ""}}));
}

TEST_F(TsyFile, CarriageReturnsAreIgnoredAnywhere) {
    read(header + "KEY\t00\r00\r01\tna\rme\tmemo\r\r\tfree\r\n\rCOM\t\r7\r\n");
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "name", "memo", "free"}}));
    EXPECT_EQ(rec.log.com_port, 7u);
}

TEST_F(TsyFile, Bool1Fifteen) {
    read(header + "BOOL1\t15\n");
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{true, false, true, false}));
    EXPECT_TRUE(rec.layout.save_window_properties);
    EXPECT_FALSE(rec.log.rename_full_logs);
    EXPECT_NE(write().find("BOOL1\t15\r\n"), std::string::npos);
}

TEST_F(TsyFile, Bool1Variants) {
    rec.layout.stored_view = ViewFlags{false, false, false, false};
    rec.layout.save_window_properties = false;
    read(header + "BOOL1\tzz\n"); // not hexadecimal: all bits set
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{true, true, true, true}));
    EXPECT_TRUE(rec.layout.save_window_properties);
    EXPECT_TRUE(rec.log.rename_full_logs);
    read(header + "BOOL1\t1\n"); // short field: toolbar only
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{true, false, false, false}));
    EXPECT_FALSE(rec.layout.save_window_properties);
    EXPECT_FALSE(rec.log.rename_full_logs);
    read(header + "BOOL1\tff\n"); // bits 6 and 7 are ignored, and written back as 0
    EXPECT_NE(write().find("BOOL1\t3f\r\n"), std::string::npos);
    read(header + "BOOL1\t\n"); // empty field: all off
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{false, false, false, false}));
}

TEST_F(TsyFile, DecimalFieldsStopAtTheFirstNonDigit) {
    read(header + "SCREENLOGLINES\t12abc\nLOGFILESIZE\t-5\nCOM\tx9\n");
    EXPECT_EQ(rec.log.screen_log_lines, 12);
    EXPECT_EQ(rec.log.log_file_size, 0);
    EXPECT_EQ(rec.log.com_port, 0u);
}

TEST_F(TsyFile, WindowEdgesKeepTheirSign) {
    rec.layout.window_rect = WindowRect{-8, -2147483647 - 1, 2147483647, 0};
    std::string out = write();
    EXPECT_NE(out.find("WINDOW\t-8\t-2147483648\t2147483647\t0\r\n"), std::string::npos);
    rec.reset();
    read(out);
    EXPECT_EQ(rec.layout.window_rect, (WindowRect{-8, -2147483647 - 1, 2147483647, 0}));
}

TEST_F(TsyFile, WindowEdgesWithoutSignReadAsBefore) {
    read(header + "WINDOW\t8\t-\t-x\t7y\n");
    EXPECT_EQ(rec.layout.window_rect, (WindowRect{8, 0, 0, 7}));
    EXPECT_TRUE(rec.layout.rect_present);
}

TEST_F(TsyFile, ImportTakesOnlyKeys) {
    rec.log.com_port = 1;
    add(0x10, "already", "", "");
    read(header + "COM\t3\nBOOL1\t00\nWINDOW\t1\t2\t3\t4\nCOLUMNSLOG\t1\t1\t1\n"
                  "COLUMNSKEY\t1\t1\t1\t1\nSCREENLOGLINES\t1\nLOGFILESIZE\t1\n"
                  "KEY\t000010\tdup\t\t\nKEY\t000011\tnew\t\t\n",
         true);
    EXPECT_EQ(rec.log.com_port, 1u);
    EXPECT_EQ(rec.layout.stored_view, (ViewFlags{true, true, true, true}));
    EXPECT_TRUE(rec.layout.save_window_properties);
    EXPECT_FALSE(rec.layout.rect_present);
    EXPECT_FALSE(rec.layout.log_widths_present);
    EXPECT_FALSE(rec.layout.key_widths_present);
    EXPECT_EQ(rec.layout.window_rect, WindowRect{});
    EXPECT_EQ(rec.layout.log_widths[0], 55);
    EXPECT_EQ(rec.layout.key_widths[0], 55);
    EXPECT_EQ(rec.log.screen_log_lines, 1000);
    EXPECT_EQ(rec.log.log_file_size, 710);
    EXPECT_EQ(rows(), (std::vector<Row>{{"000010", "already", "", ""}, {"000011", "new", "", ""}}));
}

TEST_F(TsyFile, ReadingStartsAtTheFilesCurrentPosition) {
    put_file("JUNK\tKEY\t000009\tfrom here\t\t\n" + header + "KEY\t000001\tkept\t\t\n");
    File f = File::open_read(path());
    char junk[5];
    ASSERT_EQ(f.read(junk, 5), 5);
    read_database(rec, f, false, host);
    EXPECT_EQ(rows(),
              (std::vector<Row>{{"000009", "from here", "", ""}, {"000001", "kept", "", ""}}));
}

// ---- The mended line break ----------------------------------------------------------------

TEST_F(TsyFile, LineBreaksTypedIntoTextsSurviveASaveAndLoad) {
    add(1, "first\r\nline", "memo\nwith\nbreaks", "free\rfield");
    add(2, "next", "key", "intact");
    std::string out = write();
    rec.reset();
    read(out);
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "first  line", "memo with breaks", "free field"},
                                        {"000002", "next", "key", "intact"}}));
}

// ---- End of file in the middle of things --------------------------------------------------

TEST_F(TsyFile, LastLineWithoutLineFeed) {
    read(header + "KEY\t000001\ta\tb\tc\nKEY\t000002\ta\tb\tc");
    EXPECT_EQ(rec.keys.size(), 1);

    read(header + "WINDOW\t1\t2\t3\t4");
    EXPECT_FALSE(rec.layout.rect_present);
    EXPECT_EQ(rec.layout.window_rect, WindowRect{});

    read(header + "SCREENLOGLINES\t5");
    EXPECT_EQ(rec.log.screen_log_lines, 1000);

    read(header + "COLUMNSLOG\t1\t2\t3");
    EXPECT_TRUE(rec.layout.log_widths_present);
    EXPECT_EQ(std::vector<int>(rec.layout.log_widths, rec.layout.log_widths + 3),
              (std::vector<int>{1, 2, 110}));

    read(header + "COLUMNSKEY\t9");
    EXPECT_TRUE(rec.layout.key_widths_present);
    EXPECT_EQ(std::vector<int>(rec.layout.key_widths, rec.layout.key_widths + 4),
              (std::vector<int>{55, 150, 205, 205}));
}

TEST_F(TsyFile, CutOffMidRecordKeepsWhatCameBefore) {
    std::string full = worked_example;
    // Every cut point: no crash, settings and keys before the cut stay.
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        DatabaseContents r;
        put_file(full.substr(0, cut));
        File f = File::open_read(path());
        read_database(r, f, false, host);
        if (cut >= full.find("BOOL1")) {
            EXPECT_EQ(r.log.com_port, 1u) << cut;
        }
        if (cut >= full.find("KEY\t0104bc")) {
            ASSERT_GE(r.keys.size(), 1) << cut;
            EXPECT_EQ(r.keys.cell_text(0, 1), "Caretaker");
        }
        EXPECT_LE(r.keys.size(), 2);
    }
    EXPECT_TRUE(host.boxes.empty());
}

// ---- Bad input ----------------------------------------------------------------------------

TEST_F(TsyFile, LongKeywordIsCutAndTheLinePassedOver) {
    read(header + std::string(600, 'K') + "\t1\t2\nCOM\t6\n" + "KEY" + std::string(597, 'x') +
         "\t000001\ta\tb\tc\n");
    EXPECT_EQ(rec.log.com_port, 6u);
    // The keyword still begins with KEY after being cut at 500 bytes.
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "a", "b", "c"}}));
}

TEST_F(TsyFile, LongFieldsAreCutAt2000Bytes) {
    std::string big(5000, 'y');
    read(header + "KEY\t000001\t" + big + "\t" + big + "x\tend\nCOM\t3\n");
    ASSERT_EQ(rec.keys.size(), 1);
    EXPECT_EQ(rec.keys.cell_text(0, 1), std::string(2000, 'y'));
    EXPECT_EQ(rec.keys.cell_text(0, 2), std::string(2000, 'y'));
    EXPECT_EQ(rec.keys.cell_text(0, 3), "end");
    EXPECT_EQ(rec.log.com_port, 3u);
}

TEST_F(TsyFile, TenMegabyteLine) {
    std::string line(10 * 1024 * 1024, 'z');
    read(header + "COM\t2\n" + line + "\nKEY\t000001\t" + line + "\t\t\n" + line + "\tCOM\t9\n" +
         "LOGFILESIZE\t5\n");
    EXPECT_EQ(rec.log.com_port, 2u);
    ASSERT_EQ(rec.keys.size(), 1);
    EXPECT_EQ(rec.keys.cell_text(0, 1).size(), 2000u);
    EXPECT_EQ(rec.log.log_file_size, 5);
}

TEST_F(TsyFile, NulBytesAreOrdinaryBytes) {
    std::string nul(1, '\0');
    read(header + "KEY\t000001\ta" + nul + "b\t" + nul + "\t\n" + nul + "COM\t4\nCOM" + nul +
         "\t5\n");
    ASSERT_EQ(rec.keys.size(), 1);
    EXPECT_EQ(rec.keys.cell_text(0, 1), "a" + nul + "b");
    EXPECT_EQ(rec.keys.cell_text(0, 2), nul);
    EXPECT_EQ(rec.log.com_port, 5u);
    // And they survive a save.
    std::string out = write();
    rec.reset();
    read(out);
    EXPECT_EQ(rec.keys.cell_text(0, 1), "a" + nul + "b");
}

TEST_F(TsyFile, RandomBytesNeverBreakTheReader) {
    std::mt19937 rng(4242);
    const std::string alphabet = "\t\n\r;#KEYCOMBOLWINDSRGF0123456789abcdefx-\x80\xff";
    for (int round = 0; round < 200; ++round) {
        std::string bytes;
        size_t n = rng() % 3000;
        for (size_t i = 0; i < n; ++i) {
            bytes.push_back(rng() % 4 == 0 ? static_cast<char>(rng())
                                           : alphabet[rng() % alphabet.size()]);
        }
        add(0x777777, "before", "", "");
        put_file(bytes);
        File f = File::open_read(path());
        read_database(rec, f, round % 2 == 1, host);
        ASSERT_EQ(rec.keys.cell_text(0, 1), "before");
        for (int i = 0; i < rec.keys.size(); ++i) {
            for (int col = 1; col < 4; ++col) {
                std::string t = rec.keys.cell_text(i, col);
                ASSERT_LE(t.size(), 2000u);
                ASSERT_EQ(t.find_first_of("\t\r\n"), std::string::npos);
            }
        }
        rec.keys.clear();
    }
}

TEST_F(TsyFile, EmptyFile) {
    read("");
    EXPECT_EQ(rec.keys.size(), 0);
    EXPECT_TRUE(host.boxes.empty());
}

// ---- The older format ---------------------------------------------------------------------

TEST_F(TsyFile, OldFormatLineBecomesAKey) {
    read("# old key list\n00a3f1\tfirst\tsecond\tCaretaker\tDept 4\n");
    expect_warning_once(host);
    EXPECT_EQ(rows(), (std::vector<Row>{{"00a3f1", "Caretaker", "", "second   first   Dept 4"}}));
}

TEST_F(TsyFile, OldFormatAfterCurrentKeys) {
    read(header + "COM\t2\nKEY\t000001\tnew\t\t\n#old\n;comment\n\n#another\n"
                  "000002\ta\tb\tc\td\n000003\te\tf\tg\th\n");
    expect_warning_once(host);
    EXPECT_EQ(rec.log.com_port, 2u);
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "new", "", ""},
                                        {"000002", "c", "", "b   a   d"},
                                        {"000003", "g", "", "f   e   h"}}));
}

TEST_F(TsyFile, OldFormatIsRecognisedBySemicolonHash) {
    read(header + ";# old\n000002\ta\tb\tc\td\n");
    expect_warning_once(host);
    EXPECT_EQ(rec.keys.size(), 1);
}

TEST_F(TsyFile, OldFormatIsRecognisedInImportMode) {
    rec.log.com_port = 8;
    read(header + "#\nCOM\t3\tx\ty\tz\n", true);
    expect_warning_once(host);
    EXPECT_EQ(rec.log.com_port, 8u);
    // In the old format "COM" is just a key number field that is not hexadecimal.
    EXPECT_EQ(rec.keys.size(), 0);
}

TEST_F(TsyFile, OldFormatFreeFieldIsCutAt2000Bytes) {
    std::string big(1990, 'f');
    read("#\n000001\tsecond\t" + big + "\tname\tfifth\n");
    ASSERT_EQ(rec.keys.size(), 1);
    EXPECT_EQ(rec.keys.cell_text(0, 3), big + "   second ");
}

TEST_F(TsyFile, OldFormatCutShortOrBad) {
    read("#\n000001\ta\tb\tc\td\nzzzzzz\ta\tb\tc\td\n000002\ta\tb\tc\td\n000003\ta\tb");
    expect_warning_once(host);
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "c", "", "b   a   d"},
                                        {"000002", "c", "", "b   a   d"}}));
}

// ---- Days of validity -----------------------------------------------------------------------

namespace {

std::string dates(const DatabaseContents& rec, int row) {
    const KeyRecord* k = rec.keys.row(row);
    return (k->valid_from ? day_text(*k->valid_from) : "") + "/" +
           (k->valid_until ? day_text(*k->valid_until) : "");
}

const std::string dated_keys = "KEY\t000001\tA\t\t\r\n"
                               "KEY\t000002\tB\t\t\r\n"
                               "KEY\t000003\tC\t\t\r\n"
                               "VALID\t000001\t2026-03-01\t2026-03-14\r\n"
                               "VALID\t000003\t\t2026-12-31\r\n";

} // namespace

TEST_F(TsyFile, ValidLinesFollowTheKeysAndReadBack) {
    read(header + dated_keys);
    std::string written = write();
    EXPECT_NE(written.find("LOGFILESIZE\t710\r\n" + dated_keys), std::string::npos) << written;
    rec.reset();
    read(written);
    EXPECT_EQ(dates(rec, 0), "2026-03-01/2026-03-14");
    EXPECT_EQ(dates(rec, 1), "/");
    EXPECT_EQ(dates(rec, 2), "/2026-12-31");
}

// A reader that predates VALID passes those lines over like any unknown keyword: every key stays,
// also one that follows a VALID line.
TEST_F(TsyFile, ValidLinesAreSkippedByTheReadingRulesWithoutThem) {
    put_file(header + dated_keys + "KEY\t000004\tD\t\t\r\n");
    File f = File::open_read(path());
    read_database(rec, f, false, host, false);
    ASSERT_EQ(rec.keys.size(), 4);
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(dates(rec, row), "/");
    }
}

TEST_F(TsyFile, ValidLinesForUnknownKeysOrWithBadDatesArePassedOver) {
    read(header + "KEY\t000001\tA\t\t\r\nKEY\t000002\tB\t\t\r\nKEY\t000003\tC\t\t\r\n"
                  "VALID\t000009\t2026-01-01\t\r\n"
                  "VALID\t000001\t2026-02-30\t\r\n"
                  "VALID\t000002\t2026-1-5\t\r\n"
                  "VALID\tzz0003\t2026-01-01\t\r\n"
                  "VALID\t000003\t2026-01-01\t2026-01-02\r\n");
    EXPECT_EQ(dates(rec, 0), "/");
    EXPECT_EQ(dates(rec, 1), "/");
    EXPECT_EQ(dates(rec, 2), "2026-01-01/2026-01-02");
}

// Import database takes the dates of the keys it adds, never of the keys already there.
TEST_F(TsyFile, ImportAppliesValidLinesOnlyToTheKeysItAdds) {
    add(1, "kept", "", "");
    read(header + dated_keys, true);
    ASSERT_EQ(rec.keys.size(), 3);
    EXPECT_EQ(dates(rec, 0), "/");
    EXPECT_EQ(dates(rec, 2), "/2026-12-31");
}

namespace {

struct CountingObserver : KeyListObserver {
    int resets = 0, inserts = 0, rows_at_reset = -1;
    const DatabaseContents* rec = nullptr;
    void rows_about_to_be_reset() override { rows_at_reset = rec->keys.size(); }
    void rows_reset() override { ++resets; }
    void rows_inserted(int, int) override { ++inserts; }
    void rows_removed(int, int) override {}
    void row_changed(int) override {}
    void rows_reordered() override {}
};

// A view would follow a load of a million keys row by row: a load is one reset, told before
// the first key is read; an import adds rows to what the view shows, one by one.
TEST_F(TsyFile, ALoadIsOneResetForTheViewAndAnImportInsertsRows) {
    CountingObserver observer;
    observer.rec = &rec;
    rec.keys.set_observer(&observer);
    observer.resets = 0;
    read(worked_example);
    EXPECT_EQ(observer.resets, 1);
    EXPECT_EQ(observer.rows_at_reset, 0);
    EXPECT_EQ(observer.inserts, 0);
    EXPECT_EQ(rec.keys.size(), 2);
    EXPECT_EQ(rec.keys.observer(), &observer);
    rec.reset();
    observer.resets = 0;
    read(worked_example, true);
    EXPECT_EQ(observer.resets, 0);
    EXPECT_EQ(observer.inserts, 2);
    rec.keys.set_observer(nullptr);
}

} // namespace

// ---- What cannot be read is said ------------------------------------------------------------

TEST_F(TsyFile, FilesWithoutAnyRecordAreNoDatabase) {
    std::mt19937 rng(18);
    std::string random(256 * 1024, '\0');
    for (char& c : random) {
        c = static_cast<char>(rng());
    }
    const struct {
        const char* what;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"NUL bytes", std::string(4096, '\0'), "it contains binary data"},
        {"random bytes", random, "it contains binary data"},
        {"no keyword line", "hello\nworld; KEY\tCOM\n", "none of its lines is a key or a setting"},
        {"comments only", header, "none of its lines is a key or a setting"},
        {"nothing", "", "it is empty"},
    };
    for (const auto& c : cases) {
        host.boxes.clear();
        rec.keys.clear();
        read(c.bytes);
        EXPECT_EQ(last_read.not_a_database, c.reason) << c.what;
        EXPECT_EQ(last_read.problem_count, 0) << c.what;
        EXPECT_EQ(rec.keys.size(), 0) << c.what;
        EXPECT_TRUE(host.boxes.empty()) << c.what;
    }
}

TEST_F(TsyFile, BadLinesAreLeftOutAndNumbersKeptInRange) {
    const struct {
        std::string line;
        const char* reason;
    } cases[] = {
        {"KEY\tzzzzzz\tbad\t\t", "key number 'zzzzzz' is not hexadecimal; the line is left out."},
        {"KEY\t-1\tbad\t\t", "key number '-1' is not hexadecimal; the line is left out."},
        {"KEY\t000001\tagain\t\t", "key 000001 is also on an earlier line; this one is left out."},
        {"VALID\t000001\t2026-13-01\t",
         "'2026-13-01' is not a day written YYYY-MM-DD; the line is left out."},
        {"VALID\t000009\t2026-01-01\t",
         "there is no key 000009 for these days; the line is left out."},
        {"VALID\t000001\t2026-03-02\t2026-03-01",
         "the first day 2026-03-02 is after the last day 2026-03-01; the line is left out."},
        {"VALID\t0001\t2026-03-02\t",
         "key number '0001' is not six hexadecimal digits; the line is left out."},
        {"COM\t4294967297", "COM port 4294967297 is out of range (0 to 255); 255 is used instead."},
        {"LOGFILESIZE\t4294967295",
         "log file size 4294967295 is out of range (0 to 2147483647); 2147483647 is used instead."},
        {"SCREENLOGLINES\t12abc", "screen log size '12abc' is not a number; 12 is used instead."},
        {"key\t000002\tlower case", "unknown keyword 'key'; the line is left out."},
        {"\tno keyword", "the line has no keyword; it is left out."},
        {std::string("K\0Y\t1", 5), "the line contains binary data; it is left out."},
        {"KEY\t000003\tcut", "the line is cut short by the end of the file; it is left out."},
    };
    std::string file = header + "KEY\t000001\tgood\t\t\n\n";
    for (const auto& c : cases) {
        file += c.line + "\n";
    }
    file.pop_back(); // the last line has no line feed: cut short
    read(file);
    EXPECT_TRUE(last_read.is_database());
    ASSERT_EQ(last_read.problems.size(), std::size(cases));
    EXPECT_EQ(last_read.problem_count, static_cast<int64_t>(std::size(cases)));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(last_read.problems[i].line, static_cast<int64_t>(6 + i)) << cases[i].line;
        EXPECT_EQ(last_read.problems[i].reason, cases[i].reason) << cases[i].line;
    }
    EXPECT_EQ(rows(), (std::vector<Row>{{"000001", "good", "", ""}}));
    EXPECT_EQ(dates(rec, 0), "/");
    EXPECT_EQ(rec.log.com_port, 255u);
    EXPECT_EQ(rec.log.log_file_size, 2147483647);
    EXPECT_EQ(rec.log.screen_log_lines, 12);
}

TEST_F(TsyFile, ProblemsAreListedTenAtMostWithWhatASaveDoes) {
    std::string file = header + "COM\t300\n";
    for (int i = 0; i < 12; ++i) {
        file += "KEY\tzzzzzz\t\t\t\n";
    }
    read(file);
    std::string listed = "Line 4: COM port 300 is out of range (0 to 255); 255 is used instead.\n";
    for (int line = 5; line < 14; ++line) {
        listed += "Line " + std::to_string(line) +
                  ": key number 'zzzzzz' is not hexadecimal; the line is left out.\n";
    }
    const std::string intro = "Some lines of this database couldn't be read as they are:\n\n";
    EXPECT_EQ(read_problems_text(last_read, false),
              intro + listed +
                  "and 3 more\n\nThe database was opened without the lines left out. "
                  "Saving it will remove them from the file and store the values "
                  "used instead.");
    EXPECT_EQ(read_problems_text(last_read, true),
              intro + listed + "and 3 more\n\nThe lines left out were not imported.");
    read(worked_example);
    EXPECT_EQ(read_problems_text(last_read, false), "");
}
