#pragma once

struct App;

// Shows or hides the toolbar, status bar, screen log and key list as the view flags say (never
// both panes hidden), sets the menu checks and toolbar buttons to match, and lays out the panes.
void apply_view_flags(App& app);
