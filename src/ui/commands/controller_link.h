// The window's way to start and stop the link of its database's controller: its own, or the
// service's when tessaryd serves the database.
#pragma once

#include <cstdint>

struct App;

constexpr const char* service_stopped_caption = "Tessary - Serial communications";
// Followed by the port's name and " itself."
constexpr const char* service_stopped_text =
    "The Tessary service stopped serving this controller. Tessary now opens ";

// Attaches to the service when it serves the open database, else opens COM port `port`.
void start_link(App& app, uint32_t port);
void stop_link(App& app);
