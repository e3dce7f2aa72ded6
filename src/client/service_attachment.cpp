#include "client/service_attachment.h"

#include "events/log_file.h"
#include "sync/synchronize.h"

#include <algorithm>
#include <cstdlib>

namespace {

// How long a desk waits for the service's answer to a question it answers at once; a service
// that takes longer is as good as gone.
constexpr int answer_timeout_ms = 5000;

const char* const link_caption = "Tessary - Serial communications";

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// "2026-12-09T16:09:20+00:00" as the screen log writes its time, "2026/12/9 16:09".
std::string log_time_of(const std::string& iso) {
    LocalTime t;
    if (std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d", &t.year, &t.month, &t.day, &t.hour, &t.minute) !=
        5) {
        return {};
    }
    return log_time_text(t);
}

std::optional<SyncResult> result_of(const JsonValue& answer) {
    return parse_sync_result_name(json_text_of(answer, "code"));
}

} // namespace

LogRow log_row_of_event(const JsonValue& event) {
    LogRow row;
    const std::string text = json_text_of(event, "text");
    // A memo line carries its key in the history, but not on the screen.
    if (text.rfind("Memo: \"", 0) != 0) {
        row.key_text = json_text_of(event, "key");
    }
    if (json_text_of(event, "kind") == "log" && row.key_text.empty()) {
        row.key_text = " - "; // as the log's start and end are written
    }
    row.event_text = text;
    row.time_text = log_time_of(json_text_of(event, "time"));
    const JsonValue* highlight = event.member("highlight");
    row.highlight = highlight && highlight->type == JsonValue::Type::Bool && highlight->boolean;
    return row;
}

std::vector<KeyId> keys_of_answer(const JsonValue& answer, const std::string& member) {
    std::vector<KeyId> keys;
    if (const JsonValue* list = answer.member(member)) {
        for (const JsonValue& item : list->items) {
            const int32_t number = parse_key_number(item.text);
            if (item.type == JsonValue::Type::String && number >= 0) {
                keys.push_back(KeyId{0, static_cast<uint32_t>(number), 0});
            }
        }
    }
    return keys;
}

ServiceAttachment::ServiceAttachment(AttachedDesk desk, std::string database)
    : desk_(std::move(desk)), database_(std::move(database)) {}

ServiceAttachment::~ServiceAttachment() {
    *alive_ = false;
}

std::unique_ptr<ServiceAttachment> ServiceAttachment::attach(const std::string& socket_path,
                                                             const std::string& database_path,
                                                             size_t backlog, AttachedDesk desk) {
    std::unique_ptr<ServiceAttachment> a(new ServiceAttachment(std::move(desk), {}));
    if (database_path.empty() || !a->client_.connect(socket_path)) {
        return nullptr;
    }
    const std::optional<std::vector<ServedEntry>> served = a->client_.list(answer_timeout_ms);
    const ServedEntry* entry = served ? served_database(*served, database_path) : nullptr;
    // A database the service cannot read, or whose port it cannot open, is not held by it:
    // the window may do better with the port itself.
    if (!entry || entry->state == "none") {
        return nullptr;
    }
    a->database_ = entry->database;
    a->port_name_ = entry->port ? "COM" + std::to_string(entry->port) : std::string();
    a->state_ = entry->state == "connected" ? LinkState::Connected
                : entry->state == "lost"    ? LinkState::Lost
                                            : LinkState::None;
    const std::optional<JsonValue> subscribed =
        a->client_.request("\"op\": \"subscribe\", \"database\": " + json_quoted(a->database_) +
                               ", \"backlog\": " + std::to_string(backlog),
                           answer_timeout_ms);
    if (!subscribed || !json_ok(*subscribed)) {
        return nullptr;
    }
    return a;
}

bool ServiceAttachment::take_in() {
    const bool open = client_.take_available();
    const std::shared_ptr<bool> alive = alive_;
    while (*alive) {
        std::optional<JsonValue> line = client_.ready();
        if (!line) {
            break;
        }
        handle(*line);
    }
    return open;
}

void ServiceAttachment::add_observer(SessionObserver* observer) {
    observers_.push_back(observer);
}

void ServiceAttachment::remove_observer(SessionObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void ServiceAttachment::handle(const JsonValue& line) {
    if (const JsonValue* event = line.member("event")) {
        show_event(*event);
        return;
    }
    const JsonValue* id = line.member("id");
    if (!id || !run_id_ || id->text != std::to_string(*run_id_)) {
        return; // the answer to a request already given up on
    }
    if (const JsonValue* status = line.member("status")) {
        desk_.host.set_status_text(status->text);
    } else if (const JsonValue* p = line.member("progress")) {
        const JsonValue* done = p->member("done");
        const JsonValue* total = p->member("total");
        if (done && total) {
            const int d = std::atoi(done->text.c_str());
            const int t = std::atoi(total->text.c_str());
            tell([d, t](SessionObserver& o) { o.sync_progress(d, t); });
        }
    } else if (line.member("ok")) {
        finish(line);
    }
}

void ServiceAttachment::show_event(const JsonValue& event) {
    LogRow row = log_row_of_event(event);
    if (json_text_of(event, "kind") == "link") {
        if (ends_with(row.event_text, " lost")) {
            state_ = LinkState::Lost;
        } else if (ends_with(row.event_text, " restored")) {
            state_ = LinkState::Connected;
        }
    }
    desk_.show_line(row);
    tell([&row](SessionObserver& o) { o.report(row); });
}

bool ServiceAttachment::send(ControllerCommand command) {
    std::string fields;
    switch (command) {
    case ControllerCommand::Reset:
        fields = "\"op\": \"reset\"";
        break;
    case ControllerCommand::OpenDoorA:
    case ControllerCommand::OpenDoorB:
        fields = std::string("\"op\": \"door\", \"door\": ") +
                 (command == ControllerCommand::OpenDoorA ? "\"A\"" : "\"B\"");
        break;
    case ControllerCommand::ClearMemory:
        fields = "\"op\": \"clear\", \"confirm\": true";
        break;
    }
    fields += ", \"database\": " + json_quoted(database_);
    const std::shared_ptr<bool> alive = alive_;
    const std::optional<JsonValue> answer =
        client_.request(fields, answer_timeout_ms, [this, alive](const JsonValue& other) {
            if (*alive) {
                handle(other);
            }
        });
    if (!*alive || !answer) {
        return false; // the service went away: the window hears it from take_in
    }
    if (!json_ok(*answer)) {
        desk_.host.message_box(link_caption, json_text_of(*answer, "error"), MsgIcon::Error);
        return false;
    }
    return true;
}

bool ServiceAttachment::start_run(const std::string& fields, bool sync) {
    if (run_id_) {
        return false;
    }
    run_id_ = client_.send(fields + ", \"database\": " + json_quoted(database_));
    if (!run_id_) {
        return false;
    }
    run_is_sync_ = sync;
    return true;
}

bool ServiceAttachment::start_sync(const SyncOptions& options) {
    std::string fields = "\"op\": \"sync\"";
    if (options.extra_keys == ExtraKeys::Keep || options.extra_keys == ExtraKeys::Delete) {
        fields += std::string(", \"extras\": ") +
                  (options.extra_keys == ExtraKeys::Keep ? "\"keep\"" : "\"delete\"");
    }
    // Without "extras" the service stops before sending anything when the controller holds
    // keys the database lacks; the question is then asked here, and the run asked again.
    fields += options.verify ? ", \"verify\": true" : "";
    if (!start_run(fields, true)) {
        return false;
    }
    run_options_ = options;
    return true;
}

bool ServiceAttachment::synchronize(const SyncOptions& options) {
    if (!start_sync(options)) {
        return false;
    }
    desk_.host.set_status_text(sync_status_checking);
    tell([](SessionObserver& o) { o.sync_running(true); });
    return true;
}

bool ServiceAttachment::compare() {
    return start_run("\"op\": \"compare\"", false);
}

void ServiceAttachment::finish(const JsonValue& answer) {
    run_id_.reset();
    const std::optional<SyncResult> result = result_of(answer);
    const std::shared_ptr<bool> alive = alive_;
    if (!result) {
        // Refused before it ran (another desk's run holds the controller): the service's words.
        desk_.host.message_box(run_is_sync_ ? sync_caption : compare_caption,
                               json_text_of(answer, "error"), MsgIcon::Error);
    }
    if (!*alive) {
        return;
    }
    if (run_is_sync_) {
        finish_sync(answer, result.value_or(SyncResult::NoPort));
        return;
    }
    KeyDifference diff;
    diff.to_add = keys_of_answer(answer, "lacking");
    diff.extra = keys_of_answer(answer, "extra");
    diff.expired = keys_of_answer(answer, "expired");
    const std::vector<KeyId> master = keys_of_answer(answer, "master");
    diff.master = master.empty() ? KeyId{} : master.front();
    const SyncResult r = result.value_or(SyncResult::NoPort);
    tell([r, &diff](SessionObserver& o) { o.compare_finished(r, diff); });
}

void ServiceAttachment::finish_sync(const JsonValue& answer, SyncResult result) {
    const std::shared_ptr<bool> alive = alive_;
    if (result == SyncResult::ExtrasRefused && run_options_.extra_keys == ExtraKeys::Ask) {
        const MsgAnswer a =
            desk_.host.message_box(sync_caption, sync_text_extra_keys, MsgIcon::Question,
                                   MsgButtons::YesNoCancel, MsgAnswer::No);
        if (!*alive) {
            return;
        }
        SyncOptions again = run_options_;
        if (a == MsgAnswer::Yes) {
            KeyDifference kept;
            kept.extra = keys_of_answer(answer, "extra");
            const std::vector<KeyId> master = keys_of_answer(answer, "master");
            kept.master = master.empty() ? KeyId{} : master.front();
            add_kept_keys(desk_.database.keys, kept, log_time_text(desk_.clock.local_time()));
            tell([](SessionObserver& o) { o.database_changed(); });
            again.extra_keys = ExtraKeys::Keep;
        } else if (a == MsgAnswer::No) {
            again.extra_keys = ExtraKeys::Delete;
        }
        if (a != MsgAnswer::Cancel && start_sync(again)) {
            return;
        }
        result = a == MsgAnswer::Cancel ? SyncResult::Cancelled : SyncResult::NoPort;
    } else if (const JsonValue* boxes = answer.member("boxes")) {
        for (const JsonValue& box : boxes->items) {
            desk_.host.message_box(json_text_of(box, "caption"), json_text_of(box, "text"),
                                   parse_msg_icon(json_text_of(box, "icon")));
            if (!*alive) {
                return;
            }
        }
    }
    desk_.host.set_status_text(sync_status_ready);
    tell([](SessionObserver& o) {
        o.sync_progress(0, -1);
        o.sync_running(false);
    });
    tell([result](SessionObserver& o) { o.sync_finished(result); });
}
