#include "service/served_controller.h"

#include "cli/database_input.h"
#include "cli/events_commands.h"
#include "cli/json_text.h"
#include "controller/controller_probe.h"
#include "core/text_encoding.h"

#include <atomic>
#include <iostream>
#include <optional>
#include <sstream>
#include <utility>

namespace {

std::atomic<uint64_t> next_serial{1};

} // namespace

const char* sync_result_text(SyncResult result) {
    switch (result) {
    case SyncResult::NoPort:
        return "no link to the controller";
    case SyncResult::NoAnswer:
        return "the key controller did not answer the read-out";
    case SyncResult::CommStopped:
        return "the link stopped during the read-out";
    case SyncResult::ConnectionLost:
        return "the connection was lost during the read-out";
    case SyncResult::ReadoutMissing:
        return "the controller sent no read-out";
    case SyncResult::ReadoutAbandoned:
        return "the read-out was incomplete; nothing was sent";
    case SyncResult::UpToDate:
        return "up to date";
    case SyncResult::Cancelled:
        return "cancelled";
    case SyncResult::Done:
        return "done";
    case SyncResult::NoRoom:
        return "the controller's key memory is full";
    case SyncResult::DataError:
        return "a transfer was not acknowledged";
    case SyncResult::Shutdown:
        return "the service is stopping";
    case SyncResult::VerifyFailed:
        return "the read-back differs from the database";
    case SyncResult::ExtrasRefused:
        return "the controller holds keys the database lacks; give \"extras\": \"keep\" or "
               "\"delete\". Nothing was sent.";
    }
    return "failed";
}

ServedController::ServedController(std::string database_path, std::function<void(Notice)> tell)
    : path_(std::move(database_path)), serial_(next_serial++), tell_(std::move(tell)),
      host_(std::cerr, std::cerr, "tessaryd: " + path_ + ": ") {
    host_.told = [this](const std::string& caption, const std::string& text, MsgIcon icon) {
        bool print = true;
        if (icon != MsgIcon::Information) {
            const std::string line = one_line(text);
            set_reason(line);
            // A port that cannot be opened is tried again and again: the journal hears why
            // once, and again when the reason changes or after the link has run.
            std::lock_guard lock(reason_mutex_);
            if (opening_) {
                print = line != said_;
                said_ = line;
            }
        }
        // A box says how a run went: its text joins the run's report.
        Notice n;
        n.kind = Notice::Kind::Message;
        n.controller = serial_;
        n.caption = caption;
        n.text = text;
        n.icon = icon;
        tell_(std::move(n));
        return print;
    };
    host_.status_told = [this](const std::string& text) {
        Notice n;
        n.kind = Notice::Kind::Status;
        n.controller = serial_;
        n.text = text;
        tell_(std::move(n));
    };
}

ServedController::~ServedController() {
    if (session_) {
        session_->remove_observer(this);
        session_->shut_down();
        session_->logger().end_log();
        session_.reset();
    }
}

bool ServedController::named_by(const std::string& name) const {
    if (name == path_) {
        return true;
    }
    const size_t slash = path_.rfind('/');
    return slash != std::string::npos && path_.compare(slash + 1, std::string::npos, name) == 0;
}

namespace {

// The database file's contents; none, with the reason as one line, when it cannot be read.
std::optional<DatabaseContents> load(const std::string& path, std::string* reason) {
    DatabaseContents contents;
    std::ostringstream why;
    if (load_database_file(contents, path, why) == 0) {
        return contents;
    }
    std::string text = why.str();
    const std::string prefix = "tessary-cli: ";
    if (text.rfind(prefix, 0) == 0) {
        text.erase(0, prefix.size());
    }
    *reason = one_line(text.substr(0, text.find_last_not_of('\n') + 1));
    return std::nullopt;
}

} // namespace

bool ServedController::start() {
    if (!session_) {
        std::string why;
        std::optional<DatabaseContents> contents = load(path_, &why);
        if (!contents) {
            if (why != reason()) {
                std::cerr << "tessaryd: " << why << "\n";
            }
            set_reason(why);
            return false;
        }
        readable_ = true;
        port_ = contents->log.com_port;
        session_ = std::make_unique<ControllerSession>(host_, system_clock());
        KeyDatabase& db = session_->database();
        db.keys = std::move(contents->keys);
        db.log = contents->log;
        db.file_name = path_;
        const size_t slash = path_.rfind('/');
        db.file_name_offset = slash == std::string::npos ? 0 : static_cast<uint32_t>(slash + 1);
        session_->keep_history(true);
        // The event as the history keeps it, so that a subscriber's backlog and live events
        // are the same events.
        session_->watch_history([this](const StoredEvent& e) { event(e); });
        session_->add_observer(this);
        session_->logger().start_log();
    }
    if (port_ == 0) {
        set_reason(path_ + " names no COM port");
        return false;
    }
    set_reason({});
    {
        std::lock_guard lock(reason_mutex_);
        opening_ = true;
    }
    session_->start(port_);
    return running();
}

void ServedController::reload_database() {
    if (!session_) {
        start();
        return;
    }
    std::string why;
    std::optional<DatabaseContents> contents = load(path_, &why);
    if (!contents) {
        std::cerr << "tessaryd: " << why << "; its keys are served as before\n";
        return;
    }
    const uint32_t port = contents->log.com_port;
    int keys = 0;
    host_.run_on_ui([&] {
        KeyDatabase& db = session_->database();
        db.keys = std::move(contents->keys);
        db.log = contents->log;
        keys = db.keys.size();
    });
    std::cerr << "tessaryd: took in " << path_ << " as saved (" << keys << " keys)\n";
    if (port != port_) {
        // Outside the lock: the old link's thread may need it to end.
        port_ = port;
        session_->stop();
        start();
    }
}

void ServedController::set_reason(const std::string& reason) {
    std::lock_guard lock(reason_mutex_);
    reason_ = reason;
}

std::string ServedController::reason() const {
    std::lock_guard lock(reason_mutex_);
    return reason_;
}

std::string ServedController::list_json() const {
    const LinkState state = session_ ? session_->link_state() : LinkState::None;
    std::string model;
    if (session_ && state == LinkState::Connected) {
        model = controller_model(session_->link().identification().line);
    }
    std::string fields = "{\"database\": " + json_string(path_) + ", \"port\": " +
                         (port_ ? json_string("COM" + std::to_string(port_)) : "null") +
                         ", \"state\": " + json_string(link_state_name(state)) +
                         ", \"model\": " + (model.empty() ? "null" : json_string(model));
    if (state == LinkState::None) {
        fields += ", \"reason\": " + json_string(reason());
    }
    return fields + "}";
}

void ServedController::opened() {
    std::lock_guard lock(reason_mutex_);
    opening_ = false;
    said_.clear();
}

void ServedController::event(const StoredEvent& e) {
    // A line heard: the port is open.
    opened();
    Notice n;
    n.controller = serial_;
    n.json = event_json(e, ", \"database\": " + json_string(path_));
    n.time_ms = e.time_ms;
    n.event_kind = e.kind;
    n.text = utf8_from_key_text(e.text);
    tell_(std::move(n));
}

void ServedController::link_state(LinkState state) {
    // Told "connected" as soon as the port is being opened: only a lost link had it open.
    if (state == LinkState::Lost) {
        opened();
    }
    Notice n;
    n.kind = Notice::Kind::Link;
    n.controller = serial_;
    n.link = state;
    tell_(std::move(n));
}

void ServedController::sync_progress(int done, int total) {
    if (total < 0) {
        return; // the transfers ended: the result follows
    }
    Notice n;
    n.kind = Notice::Kind::Progress;
    n.controller = serial_;
    n.done = done;
    n.total = total;
    tell_(std::move(n));
}

void ServedController::compared(const KeyDifference& diff) {
    std::lock_guard lock(reason_mutex_);
    compared_ = diff;
}

void ServedController::sync_finished(SyncResult result) {
    Notice n;
    n.kind = Notice::Kind::SyncDone;
    n.controller = serial_;
    n.result = result;
    {
        std::lock_guard lock(reason_mutex_);
        n.diff = std::exchange(compared_, KeyDifference{});
    }
    tell_(std::move(n));
}

void ServedController::compare_finished(SyncResult result, const KeyDifference& diff) {
    Notice n;
    n.kind = Notice::Kind::CompareDone;
    n.controller = serial_;
    n.result = result;
    n.diff = diff;
    tell_(std::move(n));
}
