// A window's controller while tessaryd serves its database: the service holds the port, writes
// the log file and the history, and the window follows it over the socket. Its screen log takes
// the service's reports; one-shot commands, Synchronize and Compare are asked of the service
// and end with the same questions, boxes, progress and observers' calls as on a link of the
// window's own.
#pragma once

#include "client/service_client.h"
#include "database/key_database.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "session/controller_access.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the attachment needs of the window it serves.
struct AttachedDesk {
    Host& host;
    Clock& clock;
    // Keys kept by a Synchronize run join it, as they join the window's own database.
    KeyDatabase& database;
    // Shows a line the service logged on the screen log, without writing it anywhere.
    std::function<void(LogRow)> show_line;
};

class ServiceAttachment final : public ControllerAccess {
  public:
    // Attached when the service at socket_path answers and holds the link of the database at
    // database_path (connected or lost, not none); then the last `backlog` events of its history
    // are on the way. Null when no service serves it.
    static std::unique_ptr<ServiceAttachment> attach(const std::string& socket_path,
                                                     const std::string& database_path,
                                                     size_t backlog, AttachedDesk desk);
    ~ServiceAttachment() override;

    // The connection, for the caller's wait for input; take_in when it is readable.
    int fd() const { return client_.fd(); }
    // Handles every line that has come; false once the service has closed the connection.
    bool take_in();
    // The served controller's port as the service names it ("COM1").
    const std::string& port_name() const { return port_name_; }

    void add_observer(SessionObserver* observer) override;
    void remove_observer(SessionObserver* observer) override;
    // The service keeps the link: starting and stopping are its own.
    void start(uint32_t) override {}
    void stop() override {}
    LinkState link_state() const override { return state_; }
    bool send(ControllerCommand command) override;
    bool synchronize(const SyncOptions& options) override;
    bool compare() override;

  private:
    ServiceAttachment(AttachedDesk desk, std::string database);
    void handle(const JsonValue& line);
    void show_event(const JsonValue& event);
    void progress(const JsonValue& progress);
    void finish(const JsonValue& answer);
    void finish_sync(const JsonValue& answer, SyncResult result);
    bool start_run(const std::string& fields, bool sync);
    bool start_sync(const SyncOptions& options);
    template <typename F> void tell(F f) {
        // A copy: an observer may go while it is told.
        for (SessionObserver* o : std::vector<SessionObserver*>(observers_)) {
            f(*o);
        }
    }

    AttachedDesk desk_;
    std::string database_; // as the service names it
    std::string port_name_;
    ServiceClient client_;
    LinkState state_ = LinkState::None;
    std::vector<SessionObserver*> observers_;
    // The run asked of the service and not yet answered.
    std::optional<uint64_t> run_id_;
    bool run_is_sync_ = false;
    SyncOptions run_options_;
    // False once destroyed: a box shown from a handler runs the event loop, in which the window
    // may drop the attachment.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// A history event as the service sends it, as the screen log's line it came from.
LogRow log_row_of_event(const JsonValue& event);
// The keys of an answer's member ("lacking", "extra"), as six hex digits each.
std::vector<KeyId> keys_of_answer(const JsonValue& answer, const std::string& member);
