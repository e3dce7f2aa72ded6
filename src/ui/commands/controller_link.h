// The window's way to start and stop the link of its database's controller: its own, or the
// service's when tessaryd serves the database.
#pragma once

#include <cstdint>

struct App;

constexpr const char* service_stopped_caption = "Tessary - Serial communications";
// Followed by the port's name and " itself."
constexpr const char* service_stopped_text =
    "The Tessary service stopped serving this controller. Tessary now opens ";

constexpr const char* service_unsaved_text =
    "The Tessary service works with the database as it is saved, and this database has "
    "unsaved changes.\n\nDo you want to save the changes first?";

// Attaches to the service when it serves the open database, else opens COM port `port`.
void start_link(App& app, uint32_t port);
void stop_link(App& app);

// Before a run the service makes from the saved file: true when the database has no unsaved
// changes, or the user saved them when asked; false when the run should not start.
bool saved_for_service(App& app, const char* caption);
