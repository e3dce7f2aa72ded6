// The window's way to the controller link: start and stop the comm thread, post a one-shot
// command.
#pragma once

#include <cstdint>

struct App;

void start_link(App& app, uint32_t port);
void stop_link(App& app);
// False when nothing was posted (no comm thread is active; the link says so itself).
bool post_controller_request(App& app, uint32_t bit);
