// One database the service serves: its controller session, kept linked around the clock, its
// log file and event history written, and what happens told to the service as notices that the
// service thread hands on to its clients.
#pragma once

#include "cli/cli_host.h"
#include "history/event_kind.h"
#include "session/controller_session.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// What a controller's threads tell the service thread.
struct Notice {
    enum class Kind { Event, Message, Status, Progress, SyncDone, CompareDone, Link, Door };
    Kind kind = Kind::Event;
    uint64_t controller = 0; // ServedController::serial()
    std::string json;        // an event: its object, with its database
    int64_t time_ms = 0;     // an event's time, as the history keeps it
    EventKind event_kind = EventKind::Log;
    std::string text;    // an event's text as UTF-8, or a message's
    std::string caption; // a message's
    // Message and Status: text is the box's text or the status text.
    MsgIcon icon = MsgIcon::Information;
    int done = 0;
    int total = 0;
    SyncResult result = SyncResult::Done;
    KeyDifference diff;
    LinkState link = LinkState::None;
    char door = 'A'; // a door command that came over MQTT
};

class ServedController final : private SessionObserver {
  public:
    // tell: called on the controller's threads, never while the service thread waits for them.
    ServedController(std::string database_path, std::function<void(Notice)> tell);
    ~ServedController() override;
    ServedController(const ServedController&) = delete;
    ServedController& operator=(const ServedController&) = delete;

    const std::string& database_path() const { return path_; }
    uint64_t serial() const { return serial_; }
    // Whether a request's "database" names this one: its path as the site file gives it, or
    // its bare file name.
    bool named_by(const std::string& name) const;

    // Reads the database and starts the link on its COM port; false, with the reason kept for
    // `list`, when the database cannot be read or names no port. A link that could not be
    // opened is tried again by the next call.
    bool start();
    // Takes in the database as saved since (by the window or tessary-cli) without dropping the
    // link, unless its COM port changed; a file that cannot be read leaves the keys served as
    // they were.
    void reload_database();
    // Whether the link runs (connected or lost): one that does not is started again now and
    // then.
    bool running() const { return session_ && session_->link_state() != LinkState::None; }
    bool readable() const { return readable_; }

    // The fields of this controller in a `list` answer.
    std::string list_json() const;

    ControllerSession* session() { return session_.get(); }
    // What a Synchronize run found before it sent anything, on the run's thread: its result's
    // answer names the extra keys a refused run stopped at.
    void compared(const KeyDifference& diff);
    CliHost& host() { return host_; }

  private:
    void event(const StoredEvent& e);
    void opened();
    void link_state(LinkState state) override;
    void sync_progress(int done, int total) override;
    void sync_finished(SyncResult result) override;
    void compare_finished(SyncResult result, const KeyDifference& diff) override;
    void set_reason(const std::string& reason);
    std::string reason() const;

    std::string path_;
    uint64_t serial_;
    std::function<void(Notice)> tell_;
    CliHost host_;
    std::unique_ptr<ControllerSession> session_;
    bool readable_ = false;
    uint32_t port_ = 0;
    mutable std::mutex reason_mutex_;
    std::string reason_;     // why the controller is not linked, when it is not
    KeyDifference compared_; // under reason_mutex_ too
    bool opening_ = false;   // started, and nothing heard since that says the port is open
    std::string said_;       // the last reason the port could not be opened, as printed
};

// The report text of a run's result, for its answer.
const char* sync_result_text(SyncResult result);
