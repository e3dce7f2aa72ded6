// The window's way to start and stop the link of its session.
#pragma once

#include <cstdint>

struct App;

void start_link(App& app, uint32_t port);
void stop_link(App& app);
