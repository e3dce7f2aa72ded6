// Keys > Synchronize (40035): starts the synchronize thread and returns at once. The thread
// greys the command itself; start() refuses while a run is still going, for a click that came
// before the greying.
#include "ui/commands/commands.h"
#include "ui/window/app.h"

void synchronize(App& app) {
    // The context is the thread's only while a run goes; between runs it takes the option.
    if (!app.sync.running()) {
        app.sync.context().verify = verify_after_sync(app);
    }
    app.sync.start();
}
