// One controller served: the database whose keys it should hold, the keys read back from it,
// the screen log and the log file, the decoder of its reports, the link to it and the thread
// that synchronizes it. The window, tessary-cli and the service hold one per controller and
// wire none of these parts themselves; what happens is told to the session's observers.
#pragma once

#include "controller/link.h"
#include "database/key_list.h"
#include "events/event_decoder.h"
#include "events/logger.h"
#include "events/screen_log.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "session/controller_access.h"
#include "session/history_recorder.h"
#include "session/session_observer.h"
#include "sync/sync_thread.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// The status text while a new event history is filled from the log files.
std::string history_filling_text(int percent);

// The link's request bit for a command: what a caller waits to see taken.
uint32_t request_bit(ControllerCommand command);

class ControllerSession final : public ControllerAccess, private SyncObserver {
  public:
    ControllerSession(Host& host, Clock& clock);
    // Shuts down: nothing of the session runs once it is gone.
    ~ControllerSession() override;
    ControllerSession(const ControllerSession&) = delete;
    ControllerSession& operator=(const ControllerSession&) = delete;

    Host& host() { return host_; }
    Clock& clock() { return clock_; }
    // The database being served. Its keys are what Synchronize makes the controller hold; its
    // file name is what the log file follows.
    KeyDatabase& database() { return database_; }
    // The keys the last read-out found in the controller.
    KeyList& controller_keys() { return controller_keys_; }
    ScreenLog& screen_log() { return screen_log_; }
    Logger& logger() { return logger_; }
    DecoderContext& decoder() { return decoder_; }
    Link& link() { return link_; }
    SyncThread& sync() { return sync_; }

    // ControllerAccess; Synchronize and a comparison run on the session's synchronize thread.
    void add_observer(SessionObserver* observer) override;
    void remove_observer(SessionObserver* observer) override;
    void start(uint32_t port) override;
    void stop() override;
    LinkState link_state() const override;
    bool send(ControllerCommand command) override;
    bool synchronize(const SyncOptions& options) override;
    bool compare() override;

    // User-interface thread: ends a running Synchronize and then the link, waiting however long
    // it takes while serving their calls: for the owner's end, while its window still exists.
    void shut_down();

    // Keeps every line of the screen log in the event history beside the database (from now
    // until it is turned off), as long as the database has a file.
    void keep_history(bool on);
    // User-interface thread: told of each event the history keeps, as it is kept (a History
    // window's live rows); an empty function stops it.
    void watch_history(std::function<void(const StoredEvent&)> watcher);
    // The same on the calling thread, which waits for the end: never the user-interface thread
    // of a window. The observers hear running and progress, and the result is returned.
    SyncResult synchronize_here(const SyncOptions& options);
    SyncResult compare_here(KeyDifference& diff);

  private:
    void sync_running(bool running) override;
    void sync_progress(int done, int total) override;
    void keys_kept() override;
    // The link logs a line with every change of its state, so each line is the moment to look.
    void look_at_link();
    void tell(const std::function<void(SessionObserver&)>& call);
    // Runs call on the user-interface thread later, unless the session is gone by then.
    void tell_later(std::function<void(SessionObserver&)> call);

    Host& host_;
    Clock& clock_;
    KeyDatabase database_;
    KeyList controller_keys_;
    ScreenLog screen_log_;
    Logger logger_;
    DecoderContext decoder_;
    Link link_;
    SyncThread sync_;
    std::unique_ptr<HistoryRecorder> history_;
    std::function<void(const StoredEvent&)> history_watcher_;
    std::vector<SessionObserver*> observers_;
    LinkState told_state_ = LinkState::None;
    // Shared with the calls posted for later: they do nothing once it is false.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};
