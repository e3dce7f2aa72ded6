// The screen log's rows as CSV, for the window's export and the command line.
#pragma once

#include "events/screen_log.h"

#include <string>
#include <vector>

// A header row "key,event,time" and one row per log row (the given rows in their order, or all
// when `rows` is null), in UTF-8.
std::string screen_log_to_csv(const ScreenLog& log, const std::vector<int>* rows = nullptr);
