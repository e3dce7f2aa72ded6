#include "cli/linked_controller.h"

#include "cli/cli_host.h"
#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "cli/service_route.h"
#include "controller/link.h"
#include "core/text_encoding.h"
#include "events/log_file.h"
#include "events/logger.h"
#include "platform/file_lock.h"
#include "platform/port_map.h"
#include "platform/tcp_port.h"
#include "session/controller_session.h"
#include "sync/synchronize.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// Prints every line the screen log takes: the same texts the window's log shows.
class EventPrinter final : public SessionObserver {
  public:
    EventPrinter(std::ostream& out, bool json) : out_(out), json_(json) {}
    void report(const LogRow& r) override {
        std::string key = utf8_from_key_text(r.key_text);
        std::string event = utf8_from_key_text(r.event_text);
        if (json_) {
            out_ << "{\"time\": " << json_string(r.time_text) << ", \"key\": " << json_string(key)
                 << ", \"event\": " << json_string(event)
                 << ", \"highlight\": " << (r.highlight ? "true" : "false") << "}\n";
        } else {
            out_ << r.time_text << '\t' << terminal_text(key) << '\t' << terminal_text(event)
                 << '\n';
        }
        out_.flush();
    }

  private:
    std::ostream& out_;
    bool json_;
};

// The signals that end `listen`, taken by sigwait rather than a handler: blocked in every thread
// of the run (the comm thread inherits the mask), and unblocked again afterwards for a caller
// that runs more than one command in its process.
class ListenSignals {
  public:
    ListenSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
    }
    ~ListenSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    ListenSignals(const ListenSignals&) = delete;
    ListenSignals& operator=(const ListenSignals&) = delete;
    void wait() const {
        int signal = 0;
        sigwait(&set_, &signal);
    }

  private:
    sigset_t set_;
    sigset_t old_;
};

// Everything one run talks to the controller with: the controller session, holding the
// database loaded for the run, and the host that turns its boxes into lines.
struct Session {
    Session(KeyDatabase* database, std::ostream& out, std::ostream& err)
        : host(out, err), core(host, system_clock()) {
        if (database) {
            core.database() = std::move(*database);
        }
    }
    ~Session() {
        core.shut_down();
        core.logger().end_log();
    }

    CliHost host;
    ControllerSession core;
};

// Waits until the link's change count moves or ms have passed. Bytes that end no message (an
// echo) move no count, so callers that wait for bytes look again at least every 20 ms.
void wait_link(Link& link, uint64_t seen, uint32_t ms) {
    link.wait_change(seen, std::min<uint32_t>(ms, 20));
}

std::string key_number(const KeyId& id) {
    return key_number_text(id.number & key_number_mask);
}

std::string name_of(const KeyDatabase& db, const KeyId& id) {
    const KeyRecord* k = db.keys.row(db.keys.find(id));
    return k ? utf8_from_key_text(k->name) : std::string();
}

void print_keys(std::ostream& out, const char* what, const std::vector<KeyId>& keys,
                const KeyDatabase& db, const KeyId& master) {
    for (const KeyId& k : keys) {
        std::string name = name_of(db, k);
        if (name.empty() && k == master) {
            name = "(master key)";
        }
        out << what << '\t' << key_number(k) << '\t' << terminal_text(name) << '\n';
    }
}

std::string key_numbers(const std::vector<KeyId>& keys) {
    std::string text;
    for (size_t i = 0; i < keys.size() && i < sync_verify_listed_keys; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += key_number(keys[i]);
    }
    if (keys.size() > sync_verify_listed_keys) {
        text += " and " + std::to_string(keys.size() - sync_verify_listed_keys) + " more";
    }
    return text;
}

std::string extras_refusal(const KeyDifference& diff) {
    return "the controller holds " + std::to_string(diff.extra.size()) +
           (diff.extra.size() == 1 ? " key" : " keys") + " the database lacks (" +
           key_numbers(diff.extra) +
           "); give --keep-extras to keep such keys in the controller or --delete-extras to "
           "delete them from it. Nothing was sent.";
}

int open_failure_status(const PortOpenResult& opened) {
    if (opened.held_elsewhere()) {
        return ExitUnavailable;
    }
    if (opened.stage == PortOpenResult::SettingsFailed) {
        return ExitIoError;
    }
    if (opened.stage == PortOpenResult::MalformedEntry) {
        return ExitDataError; // the port folder's file, not the controller, needs mending
    }
    const std::error_code& e = opened.error;
    if (e == std::errc::permission_denied || e == std::errc::operation_not_permitted) {
        return ExitNoPermission;
    }
    if (e == std::errc::io_error) {
        return ExitIoError;
    }
    return ExitUnavailable; // missing, unplugged, refused: no controller there
}

// How long the unit must have been silent before its answer counts as complete.
constexpr uint32_t answer_quiet_ms = 150;

// Waits until the unit has answered the reset the comm thread sends when it opens the port,
// and its identification has been taken in (a short quiet after the last byte).
bool await_answer(Link& link, uint32_t bytes_before, uint32_t timeout_ms) {
    Clock& clock = link.clock;
    const uint32_t start = clock.tick_ms();
    for (;;) {
        const uint64_t seen = link.changes();
        if (link.bytes_received() != bytes_before) {
            break;
        }
        const uint32_t waited = clock.tick_ms() - start;
        if (waited >= timeout_ms || !link.active()) {
            return false;
        }
        wait_link(link, seen, timeout_ms - waited);
    }
    uint32_t bytes = link.bytes_received();
    uint32_t quiet_since = clock.tick_ms();
    for (;;) {
        const uint64_t seen = link.changes();
        if (link.bytes_received() != bytes) {
            bytes = link.bytes_received();
            quiet_since = clock.tick_ms();
        }
        const uint32_t quiet = clock.tick_ms() - quiet_since;
        if (quiet >= answer_quiet_ms) {
            return true;
        }
        wait_link(link, seen, answer_quiet_ms - quiet);
    }
}

class Runner {
  public:
    Runner(const CliRequest& req, KeyDatabase* database, std::ostream& out, std::ostream& err)
        : req_(req), database_(database), out_(out), err_(err) {}
    ~Runner() {
        // "Log ended" goes to the file, not to the events printed.
        if (session_ && printer_) {
            session_->host.run_on_ui([&] { session_->core.remove_observer(printer_.get()); });
        }
    }
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    int run() {
        if (database_) {
            // The log file follows the database's name, as in the window.
            database_->file_name = req_.database;
            size_t slash = req_.database.rfind('/');
            database_->file_name_offset =
                slash == std::string::npos ? 0 : static_cast<uint32_t>(slash + 1);
            if (int status = take_lock()) {
                return status;
            }
        }
        if (int status = resolve_port()) {
            return status;
        }
        // A controller the service holds is driven through it rather than refused as in use.
        if (device_.empty()) {
            if (std::optional<int> status =
                    run_through_service(req_, database_, port_, out_, err_)) {
                return *status;
            }
        }
        if (int status = probe_port()) {
            return status;
        }
        if (req_.command == CliCommand::Listen) {
            // Before the session's threads exist, so that they inherit the mask.
            signals_.emplace();
        }
        session_ = std::make_unique<Session>(database_, out_, err_);
        ControllerSession& s = session_->core;
        if (database_) {
            s.keep_history(true);
        }
        s.logger().start_log();
        if (req_.command == CliCommand::Listen) {
            printer_ = std::make_unique<EventPrinter>(out_, req_.json);
            session_->host.run_on_ui([&] { s.add_observer(printer_.get()); });
        }
        if (!device_.empty()) {
            s.link().port_path = [this](uint32_t) { return device_; };
            // A device given by path has no COM number the user knows it by.
            s.link().port_name = [this](uint32_t) { return device_; };
        }
        s.start(port_);
        if (!await_answer(s.link(), 0, no_response_ms)) {
            return no_answer();
        }
        return command();
    }

  private:
    int take_lock() {
        bool writes = req_.command == CliCommand::Sync && !req_.dry_run;
        if (!writes) {
            return ExitOk;
        }
        // A sync never writes the file, so a window that has it open does not stop it; the
        // lock, when free, is held so that a window opening the file meanwhile says who has it.
        if (lock_.acquire(req_.database) == FileLock::Outcome::HeldElsewhere) {
            err_ << "tessary-cli: " << req_.database << " is open in "
                 << describe_holder(lock_.holder())
                 << "; the controller is synchronized with the file as last saved\n";
        }
        return ExitOk;
    }

    int resolve_port() {
        if (!req_.device.empty()) {
            device_ = req_.device;
            port_ = 1;
            name_ = device_;
            return ExitOk;
        }
        port_ = req_.port ? *req_.port : (database_ ? database_->log.com_port : 0);
        if (port_ == 0) {
            err_ << "tessary-cli: " << req_.database
                 << " names no COM port; give --port N or --device PATH\n";
            return ExitUsage;
        }
        name_ = "COM" + std::to_string(port_);
        return ExitOk;
    }

    // The port is opened once before the comm thread is started, so that a port held by another
    // program, a missing device or a refused permission gives its own status; the open is
    // exclusive, so a port in use is never taken from its holder.
    int probe_port() {
        std::string path = device_.empty() ? com_port_path(port_) : device_;
        PortOpenResult opened;
        std::unique_ptr<FdChannel> channel = open_port_entry(path, &opened);
        if (channel) {
            return ExitOk;
        }
        if (opened.held_elsewhere()) {
            err_ << "tessary-cli: " << name_
                 << " is in use by another program (a Tessary window, say); it is left to it "
                    "and nothing was sent\n";
        } else {
            err_ << "tessary-cli: " << name_ << ": " << one_line(port_open_message(opened)) << "\n";
        }
        // diff keeps to 0 equal, 1 different, 2 trouble, so that a script can test it as it
        // tests diff(1).
        return req_.command == CliCommand::Diff ? ExitTrouble : open_failure_status(opened);
    }

    int no_answer() {
        err_ << "tessary-cli: " << name_ << ": the key controller does not answer"
             << (req_.command == CliCommand::Listen ? "" : "; nothing was sent") << "\n";
        return req_.command == CliCommand::Diff ? ExitTrouble : ExitUnavailable;
    }

    int command() {
        switch (req_.command) {
        case CliCommand::Diff:
            return diff();
        case CliCommand::Sync:
            return req_.dry_run ? dry_run() : sync();
        case CliCommand::Door:
            return one_shot(req_.door == 'B' ? ControllerCommand::OpenDoorB
                                             : ControllerCommand::OpenDoorA);
        case CliCommand::Reset:
            return one_shot(ControllerCommand::Reset);
        case CliCommand::Clear:
            return one_shot(ControllerCommand::ClearMemory);
        case CliCommand::Listen:
            return listen();
        default:
            return ExitUsage;
        }
    }

    // Sends one command and waits for the unit's answer to it.
    int one_shot(ControllerCommand command) {
        Link& link = session_->core.link();
        uint32_t before = link.bytes_received();
        if (!session_->core.send(command)) {
            return ExitUnavailable;
        }
        const uint32_t bit = request_bit(command);
        const uint32_t start = link.clock.tick_ms();
        for (;;) {
            const uint64_t seen = link.changes();
            if (!(link.pending_requests() & bit)) {
                break;
            }
            const uint32_t waited = link.clock.tick_ms() - start;
            if (waited >= no_response_ms || !link.active()) {
                err_ << "tessary-cli: " << name_ << ": the command could not be sent\n";
                return ExitIoError;
            }
            wait_link(link, seen, no_response_ms - waited);
        }
        if (!await_answer(link, before, no_response_ms)) {
            err_ << "tessary-cli: " << name_ << ": the key controller did not answer the command\n";
            return ExitUnavailable;
        }
        return ExitOk;
    }

    // The read-out and its comparison; a status when it could not be had.
    int compare(KeyDifference& diff, int trouble) {
        SyncResult r = session_->core.compare_here(diff);
        if (r == SyncResult::Done) {
            return ExitOk;
        }
        err_ << "tessary-cli: " << name_ << ": "
             << (r == SyncResult::NoAnswer || r == SyncResult::NoPort ||
                         r == SyncResult::CommStopped
                     ? "the key controller did not answer the read-out"
                     : "the read-out of the controller's keys failed")
             << "\n";
        return trouble;
    }

    int diff() {
        KeyDifference d;
        if (int status = compare(d, ExitTrouble)) {
            return status;
        }
        const KeyDatabase& db = session_->core.database();
        print_keys(out_, "add", d.to_add, db, d.master);
        print_keys(out_, "extra", d.extra, db, d.master);
        print_keys(out_, "expired", d.expired, db, d.master);
        if (d.readout_incomplete) {
            err_ << "tessary-cli: " << name_
                 << ": the read-out reported a data problem; the difference may be incomplete\n";
            return ExitTrouble;
        }
        return d.empty() ? ExitOk : ExitDifferent;
    }

    // What a run would send, in the order it would send it.
    void print_plan(const KeyDifference& d) {
        const KeyDatabase& db = session_->core.database();
        print_keys(out_, "delete", d.expired, db, d.master);
        if (req_.delete_extras) {
            print_keys(out_, "delete", d.extra, db, d.master);
        }
        print_keys(out_, "add", d.to_add, db, d.master);
        if (req_.keep_extras) {
            print_keys(out_, "keep", d.extra, db, d.master);
        }
        out_.flush();
    }

    bool refuses(const KeyDifference& d) const {
        return !d.extra.empty() && !req_.keep_extras && !req_.delete_extras;
    }

    int dry_run() {
        KeyDifference d;
        if (int status = compare(d, ExitUnavailable)) {
            return status;
        }
        if (d.readout_incomplete) {
            err_ << "tessary-cli: " << name_
                 << ": the read-out reported a data problem; a run would stop here\n";
            return ExitIoError;
        }
        if (refuses(d)) {
            err_ << "tessary-cli: " << extras_refusal(d) << "\n";
            return ExitDifferent;
        }
        print_plan(d);
        out_ << (d.empty() ? sync_text_already_up_to_date : "Nothing was sent (--dry-run).")
             << "\n";
        return ExitOk;
    }

    int sync() {
        SyncOptions options;
        options.extra_keys = req_.keep_extras     ? ExtraKeys::Keep
                             : req_.delete_extras ? ExtraKeys::Delete
                                                  : ExtraKeys::Refuse;
        options.verify = req_.verify;
        KeyDifference found;
        options.on_compared = [&](const KeyDifference& d) {
            found = d;
            if (!refuses(d)) {
                print_plan(d);
            }
        };
        SyncResult r = session_->core.synchronize_here(options);
        switch (r) {
        case SyncResult::UpToDate:
        case SyncResult::Done:
            return ExitOk;
        case SyncResult::ExtrasRefused:
            err_ << "tessary-cli: " << extras_refusal(found) << "\n";
            return ExitDifferent;
        case SyncResult::NoPort:
        case SyncResult::NoAnswer:
        case SyncResult::CommStopped:
        case SyncResult::Shutdown:
            err_ << "tessary-cli: " << name_
                 << ": the key controller did not answer the read-out; nothing was sent\n";
            return ExitUnavailable;
        case SyncResult::ReadoutAbandoned:
            err_ << "tessary-cli: nothing was sent\n";
            return ExitIoError;
        case SyncResult::Cancelled:
        case SyncResult::ConnectionLost:
        case SyncResult::ReadoutMissing:
        case SyncResult::NoRoom:
        case SyncResult::DataError:
        case SyncResult::VerifyFailed:
            return ExitIoError; // the report said why
        }
        return ExitIoError;
    }

    int listen() {
        signals_->wait();
        return ExitOk;
    }

    const CliRequest& req_;
    KeyDatabase* database_;
    std::ostream& out_;
    std::ostream& err_;
    FileLock lock_;
    std::string device_;
    uint32_t port_ = 0;
    std::string name_;
    std::unique_ptr<EventPrinter> printer_;
    std::optional<ListenSignals> signals_;
    std::unique_ptr<Session> session_; // last: ended before the printer and the lock
};

} // namespace

int LinkedController::run(const CliRequest& request, KeyDatabase* database, std::ostream& out,
                          std::ostream& err) {
    return Runner(request, database, out, err).run();
}
