// events list and events last-use: the database's event history, read without a window.
#pragma once

#include "cli/command_line.h"

#include "history/event_store.h"

#include <ostream>

int run_events_command(const CliRequest& request, std::ostream& out, std::ostream& err);

// A time of the history as ISO 8601 in local time with its offset: "2026-12-09T21:07:03+01:00".
std::string iso_local_time(int64_t utc_ms);

// An event as one JSON object, the fields of `events list --json`; more: further members,
// already JSON, each after a comma (", \"database\": \"office.tsy\"").
std::string event_json(const StoredEvent& event, const std::string& more = {});
