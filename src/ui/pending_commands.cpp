// Commands whose features come in their own files later. Each does nothing yet; delete its
// entry here when the real one lands.
#include "ui/app.h"
#include "ui/commands.h"
#include "ui/document.h"

void settings_dialog(App&) {}
