#include "session/controller_session.h"

#include <algorithm>

const char* const history_caption = "Tessary - Event history";

std::string history_filling_text(int percent) {
    return "Filling the event history from the log files: " + std::to_string(percent) + " %";
}

const char* link_state_name(LinkState state) {
    switch (state) {
    case LinkState::Connected:
        return "connected";
    case LinkState::Lost:
        return "lost";
    case LinkState::None:
        break;
    }
    return "none";
}

ControllerSession::ControllerSession(Host& host, Clock& clock)
    : host_(host), clock_(clock), logger_(database_, screen_log_, host, clock),
      decoder_(host, clock, logger_, database_, controller_keys_), link_(host, clock, decoder_),
      sync_(link_, database_, controller_keys_, this) {
    logger_.on_line = [this](const LogRow& row) {
        look_at_link();
        tell([&row](SessionObserver& o) { o.report(row); });
    };
}

ControllerSession::~ControllerSession() {
    alive_->store(false);
    observers_.clear();
    shut_down();
    // After the link: its last lines ("Log ended" comes from the owner) are kept too.
    history_.reset();
    logger_.on_line = nullptr;
}

void ControllerSession::keep_history(bool on) {
    if (!on) {
        remove_observer(history_.get());
        history_.reset();
        return;
    }
    if (history_) {
        return;
    }
    history_ = std::make_unique<HistoryRecorder>(
        [this] { return database_.file_name; },
        [this](uint32_t key) {
            KeyTexts texts;
            if (const KeyRecord* k = database_.keys.row(database_.keys.find(KeyId{0, key, 0}))) {
                texts.name = k->name;
                texts.memo = k->memo;
            }
            return texts;
        },
        [this](const std::string& path, const std::string& reason) {
            host_.notify(history_caption,
                         "The event history " + path + " can't be written: " + reason +
                             ".\nThe screen log and the log file go on as before.",
                         MsgIcon::Warning);
        },
        [this](std::function<void()> call) { host_.post_to_ui(std::move(call)); },
        [this](int percent) {
            if (percent < 100) {
                host_.set_status_text(history_filling_text(percent));
                host_.set_progress(percent, 100);
            } else {
                host_.hide_progress();
                host_.set_status_text("Ready");
            }
        });
    history_->on_event = [this](const StoredEvent& e) {
        if (history_watcher_) {
            history_watcher_(e);
        }
    };
    add_observer(history_.get());
}

void ControllerSession::watch_history(std::function<void(const StoredEvent&)> watcher) {
    history_watcher_ = std::move(watcher);
}

// The observers and the state told belong to the user-interface thread; a caller without a
// window (tessary-cli's main thread) reaches them, like the link's threads, through run_on_ui.
void ControllerSession::add_observer(SessionObserver* observer) {
    host_.run_on_ui([&] {
        if (observer &&
            std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
            observers_.push_back(observer);
        }
    });
}

void ControllerSession::remove_observer(SessionObserver* observer) {
    host_.run_on_ui([&] {
        observers_.erase(std::remove(observers_.begin(), observers_.end(), observer),
                         observers_.end());
    });
}

void ControllerSession::start(uint32_t port) {
    link_.start(port);
    host_.run_on_ui([this] { look_at_link(); });
}

void ControllerSession::stop() {
    link_.stop();
    host_.run_on_ui([this] { look_at_link(); });
}

void ControllerSession::shut_down() {
    // A running Synchronize waits on the link and may be showing a box: it ends first.
    sync_.shut_down();
    link_.shut_down();
    host_.run_on_ui([this] { look_at_link(); });
}

LinkState ControllerSession::link_state() const {
    if (!link_.active()) {
        return LinkState::None;
    }
    return link_.lost() ? LinkState::Lost : LinkState::Connected;
}

uint32_t request_bit(ControllerCommand command) {
    switch (command) {
    case ControllerCommand::Reset:
        return request_reset;
    case ControllerCommand::OpenDoorA:
        return request_open_door_a;
    case ControllerCommand::OpenDoorB:
        return request_open_door_b;
    case ControllerCommand::ClearMemory:
        return request_clear_memory;
    }
    return 0;
}

bool ControllerSession::send(ControllerCommand command) {
    return link_.post(request_bit(command));
}

bool ControllerSession::synchronize(const SyncOptions& options) {
    // The context is the thread's only while a run goes; between runs it takes the options.
    if (sync_.running()) {
        return false;
    }
    SyncContext& ctx = sync_.context();
    ctx.extra_keys = options.extra_keys;
    ctx.verify = options.verify;
    ctx.on_compared = options.on_compared;
    return sync_.start([this](SyncResult result) {
        tell_later([result](SessionObserver& o) { o.sync_finished(result); });
    });
}

bool ControllerSession::compare() {
    return sync_.start_compare([this](SyncResult result, const KeyDifference& diff) {
        tell_later([result, diff](SessionObserver& o) { o.compare_finished(result, diff); });
    });
}

SyncResult ControllerSession::synchronize_here(const SyncOptions& options) {
    SyncContext ctx(link_, database_, controller_keys_, this);
    ctx.extra_keys = options.extra_keys;
    ctx.verify = options.verify;
    ctx.on_compared = options.on_compared;
    return synchronize_keys(ctx);
}

SyncResult ControllerSession::compare_here(KeyDifference& diff) {
    SyncContext ctx(link_, database_, controller_keys_, this);
    return compare_with_controller(ctx, diff);
}

void ControllerSession::sync_running(bool running) {
    tell([running](SessionObserver& o) { o.sync_running(running); });
}

void ControllerSession::sync_progress(int done, int total) {
    tell([done, total](SessionObserver& o) { o.sync_progress(done, total); });
}

void ControllerSession::keys_kept() {
    tell([](SessionObserver& o) { o.database_changed(); });
}

void ControllerSession::look_at_link() {
    const LinkState now = link_state();
    if (now != told_state_) {
        told_state_ = now;
        tell([now](SessionObserver& o) { o.link_state(now); });
    }
}

void ControllerSession::tell(const std::function<void(SessionObserver&)>& call) {
    // A copy: an observer may remove itself (or another) while being told.
    const std::vector<SessionObserver*> observers = observers_;
    for (SessionObserver* o : observers) {
        if (std::find(observers_.begin(), observers_.end(), o) != observers_.end()) {
            call(*o);
        }
    }
}

void ControllerSession::tell_later(std::function<void(SessionObserver&)> call) {
    host_.post_to_ui([this, alive = alive_, call = std::move(call)] {
        if (alive->load()) {
            tell(call);
        }
    });
}
