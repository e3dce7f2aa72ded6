// Keys > Synchronize (40035): starts the session's synchronize thread and returns at once. The
// window greys the command when the run says it is running; the session refuses a second run
// while one is still going, for a click that came before the greying.
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"

void synchronize(App& app) {
    if (!saved_for_service(app, sync_caption)) {
        return;
    }
    SyncOptions options;
    options.verify = verify_after_sync(app);
    app.controller.synchronize(options);
}
