// Commands whose features come in their own files later. Each does nothing yet; delete its
// entry here when the real one lands.
#include "ui/app.h"
#include "ui/commands.h"
#include "ui/document.h"

void import_database(App&) {}

void settings_dialog(App&) {}

void open_database(App&) {}

bool save_database(App&, const std::string&) {
    return false;
}

bool save_database_as(App&) {
    return false;
}
