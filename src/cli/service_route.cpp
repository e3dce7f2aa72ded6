#include "cli/service_route.h"

#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "client/service_client.h"
#include "core/text_encoding.h"
#include "sync/synchronize.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// How long a one-shot request or the list may take before the service counts as gone.
constexpr int answer_ms = 10000;

struct Route {
    const CliRequest& req;
    const KeyDatabase* db;
    ServiceClient& service;
    const ServedEntry& served;
    std::ostream& out;
    std::ostream& err;

    std::string name() const { return "COM" + std::to_string(served.port); }
    std::string database_field() const { return "\"database\": " + json_quoted(served.database); }

    // An answer that did not come: the service went away meanwhile.
    int gone() const {
        err << "tessary-cli: " << name() << ": the service (tessaryd) stopped answering\n";
        return ExitUnavailable;
    }
    int refused(const JsonValue& answer, int status) const {
        err << "tessary-cli: " << name() << ": " << json_text_of(answer, "error") << "\n";
        return status;
    }

    int one_shot(const std::string& fields) const {
        std::optional<JsonValue> a = service.request(fields + ", " + database_field(), answer_ms);
        if (!a) {
            return gone();
        }
        return json_ok(*a) ? ExitOk : refused(*a, ExitUnavailable);
    }

    std::string name_of(uint32_t number) const {
        if (db) {
            for (const KeyRecord& k : db->keys) {
                if ((k.id.number & key_number_mask) == number) {
                    return utf8_from_key_text(k.name);
                }
            }
        }
        return {};
    }
    void print_keys(const char* what, const JsonValue* keys) const {
        for (const JsonValue& k : keys ? keys->items : std::vector<JsonValue>{}) {
            const uint32_t number =
                static_cast<uint32_t>(std::strtoul(k.text.c_str(), nullptr, 16));
            out << what << '\t' << key_number_text(number) << '\t' << terminal_text(name_of(number))
                << '\n';
        }
    }
    // The read-out and its comparison, as the service answers it; none, with the status in
    // *status, when it could not be had.
    std::optional<JsonValue> compare(int trouble, int* status) const {
        std::optional<JsonValue> a =
            service.request("\"op\": \"compare\", " + database_field(), -1);
        if (!a) {
            *status = gone();
            return std::nullopt;
        }
        if (!json_ok(*a)) {
            *status = refused(*a, trouble);
            return std::nullopt;
        }
        return a;
    }
    static size_t count(const JsonValue& a, const char* member) {
        const JsonValue* m = a.member(member);
        return m ? m->items.size() : 0;
    }

    int diff() const {
        int status = ExitOk;
        std::optional<JsonValue> a = compare(ExitTrouble, &status);
        if (!a) {
            return status;
        }
        print_keys("add", a->member("lacking"));
        print_keys("extra", a->member("extra"));
        print_keys("expired", a->member("expired"));
        return count(*a, "lacking") + count(*a, "extra") + count(*a, "expired") == 0
                   ? ExitOk
                   : ExitDifferent;
    }

    int extras_refusal(const JsonValue& a) const {
        const JsonValue* extra = a.member("extra");
        std::string numbers;
        for (size_t i = 0; i < extra->items.size() && i < sync_verify_listed_keys; ++i) {
            numbers += (i ? " " : "") + extra->items[i].text;
        }
        if (extra->items.size() > sync_verify_listed_keys) {
            numbers +=
                " and " + std::to_string(extra->items.size() - sync_verify_listed_keys) + " more";
        }
        err << "tessary-cli: the controller holds " << extra->items.size()
            << (extra->items.size() == 1 ? " key" : " keys") << " the database lacks (" << numbers
            << "); give --keep-extras to keep such keys in the controller or --delete-extras to "
               "delete them from it. Nothing was sent.\n";
        return ExitDifferent;
    }

    void print_plan(const JsonValue& a) const {
        print_keys("delete", a.member("expired"));
        if (req.delete_extras) {
            print_keys("delete", a.member("extra"));
        }
        print_keys("add", a.member("lacking"));
        if (req.keep_extras) {
            print_keys("keep", a.member("extra"));
        }
        out.flush();
    }

    int sync() const;
    int listen() const;
};

// The service's report of a failed run, turned into today's statuses.
int sync_failure(const Route& r, const JsonValue& a) {
    const std::string error = json_text_of(a, "error");
    const std::string report = json_text_of(a, "report");
    if (!report.empty()) {
        r.err << report << "\n";
    }
    if (error == "no link to the controller" ||
        error == "the key controller did not answer the read-out" ||
        error == "the link stopped during the read-out" || error == "the service is stopping") {
        r.err << "tessary-cli: " << r.name()
              << ": the key controller did not answer the read-out; nothing was sent\n";
        return ExitUnavailable;
    }
    if (error == "the read-out was incomplete; nothing was sent") {
        r.err << "tessary-cli: nothing was sent\n";
        return ExitIoError;
    }
    if (!a.member("result")) {
        return r.refused(a, ExitTempFail); // a run of another client holds the controller
    }
    r.err << "tessary-cli: " << r.name() << ": " << error << "\n";
    return ExitIoError;
}

// The plan (or the refusal) comes from a comparison first, so that it is printed, as on the
// link, before anything is sent.
int Route::sync() const {
    int status = ExitOk;
    std::optional<JsonValue> a = compare(ExitUnavailable, &status);
    if (!a) {
        return status;
    }
    const bool extras = count(*a, "extra") > 0;
    if (extras && !req.keep_extras && !req.delete_extras) {
        return extras_refusal(*a);
    }
    print_plan(*a);
    const bool empty = !extras && count(*a, "lacking") + count(*a, "expired") == 0;
    if (req.dry_run) {
        out << (empty ? sync_text_already_up_to_date : "Nothing was sent (--dry-run).") << "\n";
        return ExitOk;
    }
    std::string fields = "\"op\": \"sync\", " + database_field();
    if (req.keep_extras || req.delete_extras) {
        fields += std::string(", \"extras\": ") + (req.keep_extras ? "\"keep\"" : "\"delete\"");
    }
    fields += req.verify ? ", \"verify\": true" : "";
    std::optional<JsonValue> done = service.request(fields, -1);
    if (!done) {
        return gone();
    }
    if (!json_ok(*done)) {
        return sync_failure(*this, *done);
    }
    const std::string report = json_text_of(*done, "report");
    if (!report.empty()) {
        out << report << "\n";
    }
    return ExitOk;
}

void print_event(std::ostream& out, const JsonValue& e, bool json) {
    const std::string key = json_text_of(e, "key");
    const std::string time = json_text_of(e, "time");
    const std::string text = json_text_of(e, "text");
    const JsonValue* highlight = e.member("highlight");
    if (json) {
        out << "{\"time\": " << json_string(time) << ", \"key\": " << json_string(key)
            << ", \"event\": " << json_string(text)
            << ", \"highlight\": " << (highlight && highlight->boolean ? "true" : "false") << "}\n";
    } else {
        out << time << '\t' << terminal_text(key) << '\t' << terminal_text(text) << '\n';
    }
    out.flush();
}

// Until SIGINT or SIGTERM, taken from a signalfd beside the socket.
int Route::listen() const {
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    const int signals = signalfd(-1, &set, SFD_CLOEXEC);
    int status = ExitOk;
    std::optional<JsonValue> a = service.request("\"op\": \"subscribe\", " + database_field(),
                                                 answer_ms, [&](const JsonValue&) {});
    if (!a) {
        status = gone();
    } else if (!json_ok(*a)) {
        status = refused(*a, ExitUnavailable);
    }
    auto print_ready = [&] {
        while (std::optional<JsonValue> line = service.ready()) {
            if (const JsonValue* e = line->member("event")) {
                print_event(out, *e, req.json);
            }
        }
    };
    while (status == ExitOk) {
        print_ready();
        pollfd p[2] = {{signals, POLLIN, 0}, {service.fd(), POLLIN, 0}};
        if (::poll(p, 2, -1) > 0 && (p[0].revents & POLLIN)) {
            // Taken, so that unblocking it afterwards does not deliver it again.
            signalfd_siginfo taken;
            [[maybe_unused]] ssize_t n = ::read(signals, &taken, sizeof taken);
            break;
        }
        if (!service.take_available()) {
            print_ready();
            status = gone();
        }
    }
    ::close(signals);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return status;
}

const ServedEntry* entry_for(const std::vector<ServedEntry>& served, const CliRequest& req,
                             unsigned port) {
    if (!req.database.empty()) {
        const ServedEntry* e = served_database(served, req.database);
        return e && (!req.port || e->port == port) ? e : nullptr;
    }
    return served_port(served, port);
}

} // namespace

std::optional<int> run_through_service(const CliRequest& req, const KeyDatabase* database,
                                       unsigned port, std::ostream& out, std::ostream& err) {
    ServiceClient service;
    if (!service.connect(default_socket_path())) {
        return std::nullopt;
    }
    std::optional<std::vector<ServedEntry>> served = service.list(answer_ms);
    const ServedEntry* entry = served ? entry_for(*served, req, port) : nullptr;
    if (!entry) {
        return std::nullopt;
    }
    const Route route{req, database, service, *entry, out, err};
    switch (req.command) {
    case CliCommand::Door:
        return route.one_shot(std::string("\"op\": \"door\", \"door\": \"") + req.door + "\"");
    case CliCommand::Reset:
        return route.one_shot("\"op\": \"reset\"");
    case CliCommand::Clear:
        return route.one_shot("\"op\": \"clear\", \"confirm\": true");
    case CliCommand::Diff:
        return route.diff();
    case CliCommand::Sync:
        return route.sync();
    case CliCommand::Listen:
        return route.listen();
    default:
        return std::nullopt;
    }
}

int run_status(const CliRequest& req, std::ostream& out, std::ostream& err) {
    const std::string path = default_socket_path();
    ServiceClient service;
    std::optional<std::vector<ServedEntry>> served;
    if (service.connect(path)) {
        served = service.list(answer_ms);
    }
    if (!served) {
        err << "tessary-cli: no service runs"
            << (path.empty() ? "" : " (no tessaryd at " + path + ")") << "\n";
        return ExitUnavailable;
    }
    if (req.json) {
        out << "{\"socket\": " << json_string(path) << ", \"controllers\": [";
        for (size_t i = 0; i < served->size(); ++i) {
            const ServedEntry& e = (*served)[i];
            out << (i ? ", " : "") << "{\"database\": " << json_string(e.database)
                << ", \"port\": " << (e.port ? json_string("COM" + std::to_string(e.port)) : "null")
                << ", \"state\": " << json_string(e.state)
                << ", \"model\": " << (e.model.empty() ? "null" : json_string(e.model))
                << ", \"reason\": " << (e.reason.empty() ? "null" : json_string(e.reason)) << "}";
        }
        out << "]}\n";
        return ExitOk;
    }
    for (const ServedEntry& e : *served) {
        out << e.database << '\t' << (e.port ? "COM" + std::to_string(e.port) : "-") << '\t'
            << e.state << '\t' << (e.model.empty() ? "-" : e.model)
            << (e.reason.empty() ? "" : "\t" + e.reason) << '\n';
    }
    return ExitOk;
}
