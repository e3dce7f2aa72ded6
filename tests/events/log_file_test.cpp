#include "events/log_file.h"

#include <gtest/gtest.h>

TEST(LogTimeText, PadsOnlyTheMinute) {
    EXPECT_EQ(log_time_text({2003, 7, 4, 9, 5, 41}), "2003/7/4 9:05");
    EXPECT_EQ(log_time_text({2024, 12, 31, 23, 59, 0}), "2024/12/31 23:59");
    EXPECT_EQ(log_time_text({2010, 1, 1, 0, 0, 0}), "2010/1/1 0:00");
}

TEST(LogFileName, ReplacesTheExtension) {
    EXPECT_EQ(log_file_name("/keys/Office.tsy"), "/keys/Office.log");
    EXPECT_EQ(log_file_name("/keys/Office.TSY"), "/keys/Office.log");
    EXPECT_EQ(log_file_name("/keys/a.b.tsy"), "/keys/a.b.log");
    EXPECT_EQ(log_file_name("Office.tsy"), "Office.log");
}

TEST(LogFileName, LastComponentWithoutDotKeepsTheWholePath) {
    // Not a log named after the folder ("/keys.d.log" or "/keys.log").
    EXPECT_EQ(log_file_name("/keys/Office"), "/keys/Office.log");
    EXPECT_EQ(log_file_name("/keys.d/Office"), "/keys.d/Office.log");
    EXPECT_EQ(rotated_log_file_name("/keys.d/Office", {2003, 7, 4, 9, 5, 0}),
              "/keys.d/Office-upto-20030704-9h05.log");
}

TEST(LogFileName, RotatedNameCarriesDateAndTime) {
    EXPECT_EQ(rotated_log_file_name("/keys/Office.tsy", {2003, 7, 4, 9, 5, 0}),
              "/keys/Office-upto-20030704-9h05.log");
    EXPECT_EQ(rotated_log_file_name("/keys/Office.tsy", {2024, 11, 30, 23, 0, 59}),
              "/keys/Office-upto-20241130-23h00.log");
    EXPECT_EQ(rotated_log_file_name("/keys/Office.tsy", {2003, 7, 4, 9, 5, 0}, 2),
              "/keys/Office-upto-20030704-9h05-2.log");
    EXPECT_EQ(rotated_log_file_name("/keys/Office.tsy", {2024, 11, 30, 23, 0, 0}, 9999),
              "/keys/Office-upto-20241130-23h00-9999.log");
}

TEST(LogFileLine, PadsEachFieldToItsWidth) {
    std::string line = log_file_line("2003/7/4 9:05", "00a3f1", "Valid key: Caretaker.");
    ASSERT_EQ(line.size(), 18u + 8u + 53u + 2u);
    EXPECT_EQ(line.substr(0, 18), "2003/7/4 9:05     ");
    // A six-digit key text is followed by two spaces.
    EXPECT_EQ(line.substr(18, 8), "00a3f1  ");
    EXPECT_EQ(line.substr(26, 53), "Valid key: Caretaker." + std::string(32, ' '));
    EXPECT_EQ(line.substr(79), "\r\n");
}

TEST(LogFileLine, LongFieldsAreWrittenWholeWithoutPadding) {
    std::string event(60, 'e');
    std::string line = log_file_line("2003/7/4 9:05", " - ", event);
    EXPECT_EQ(line, "2003/7/4 9:05      -      " + event + "\r\n");
    std::string exact(53, 'x');
    EXPECT_EQ(log_file_line(std::string(18, 't'), std::string(8, 'k'), exact),
              std::string(18, 't') + std::string(8, 'k') + exact + "\r\n");
}

TEST(LogFileLine, EmptyFieldsAreAllPadding) {
    EXPECT_EQ(log_file_line("", "", ""), std::string(79, ' ') + "\r\n");
}
