#include "history/event_kind.h"

#include "database/key_list.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::array<const char*, event_kind_count> kind_names = {
    "valid-key", "master-key", "invalid-key", "door", "penalty", "alarm",
    "manual",    "memory",     "link",        "log",  "sync"};

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The lines whose beginning alone tells their kind, in the order they are tried.
struct Prefix {
    std::string_view text;
    EventKind kind;
};
constexpr Prefix prefixes[] = {
    {"Key added manually", EventKind::Manual},
    {"Key deleted manually", EventKind::Manual},
    {"Attempt to add key manually failed", EventKind::Memory},
    {"The key controller is being initialized", EventKind::Memory},
    {"The key controller's memory", EventKind::Memory},
    {"Connection to ", EventKind::Link},
    {"Log started", EventKind::Log},
    {"Log ended", EventKind::Log},
    {"Performed synchronization", EventKind::Sync},
    {"Compared the keys", EventKind::Sync},
};

char door_in(std::string_view text) {
    if (contains(text, "Door A ")) {
        return 'A';
    }
    if (contains(text, "Door B ")) {
        return 'B';
    }
    return 0;
}

// "Door A is open closed contact shorted temporarily blocked as penalty ": the gravest part
// gives the kind.
EventKind door_line_kind(std::string_view text) {
    if (contains(text, "contact shorted")) {
        return EventKind::Alarm;
    }
    if (contains(text, "blocked as penalty")) {
        return EventKind::Penalty;
    }
    return EventKind::Door;
}

} // namespace

std::string event_key_text(const std::optional<uint32_t>& key) {
    if (!key) {
        return {};
    }
    char text[8];
    std::snprintf(text, sizeof text, "%06x", *key & 0xffffffu);
    return text;
}

std::string event_door_text(char door) {
    return door ? std::string(1, door) : std::string();
}

std::optional<uint32_t> key_of_line(std::string_view key_text) {
    const int32_t number = key_text.empty() ? -1 : parse_key_number(key_text);
    return number < 0 ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(number));
}

const char* event_kind_name(EventKind kind) {
    return kind_names[static_cast<size_t>(kind)];
}

std::optional<EventKind> parse_event_kind(std::string_view name) {
    for (size_t i = 0; i < kind_names.size(); ++i) {
        if (name == kind_names[i]) {
            return static_cast<EventKind>(i);
        }
    }
    return std::nullopt;
}

LineMeaning LineClassifier::classify(std::string_view text) {
    if (starts_with(text, "Memo: \"")) {
        return last_key_;
    }
    for (const Prefix& p : prefixes) {
        if (starts_with(text, p.text)) {
            return {p.kind, 0};
        }
    }
    if (starts_with(text, "Door A ") || starts_with(text, "Door B ")) {
        return {door_line_kind(text), door_in(text)};
    }
    EventKind kind;
    if (starts_with(text, "Master key")) {
        kind = EventKind::MasterKey;
    } else if (starts_with(text, "Valid key")) {
        kind = EventKind::ValidKey;
    } else if (starts_with(text, "Invalid key")) {
        kind = EventKind::InvalidKey;
    } else {
        return {EventKind::Log, 0}; // a line of this program's own, not the controller's
    }
    // A key line may end with the door it opened: "...  Door B is open."
    last_key_ = {kind, door_in(text)};
    return last_key_;
}
