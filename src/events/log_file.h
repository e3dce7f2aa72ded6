// The log file's names and line layout. The file follows the database: same path with ".log",
// fixed-width text lines, moved aside or deleted when it reaches its size limit.
#pragma once

#include "platform/clock.h"

#include <string>
#include <string_view>

constexpr size_t log_time_width = 18;
constexpr size_t log_key_width = 8;
constexpr size_t log_event_width = 53;
// A file counts as full when one more line of the usual length would reach the limit.
constexpr int64_t log_line_reserve = 82;

// "2003/7/4 9:05": only the minute is padded.
std::string log_time_text(const LocalTime& t);
// The database path cut at the last "." of its last component, then ".log"; a last component
// without "." keeps the whole path.
std::string log_file_name(std::string_view database_path);
// The highest number a rotated name carries within one minute: "-9999" still keeps what follows
// the cut within 29 characters.
constexpr int max_rotated_log_number = 9999;
// The same cut, then "-upto-YYYYMMDD-HhMM.log". Later rotations in the same minute take the
// numbers from 2 on: "-upto-YYYYMMDD-HhMM-2.log".
std::string rotated_log_file_name(std::string_view database_path, const LocalTime& t,
                                  int number = 1);
// One file line: each field padded with spaces to its width (never cut), then CR LF.
std::string log_file_line(std::string_view time_text, std::string_view key_text,
                          std::string_view event_text);
