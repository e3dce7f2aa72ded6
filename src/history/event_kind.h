// What a line of the screen log tells, for the event history: its kind and its door, taken from
// the line's text as the decoder, the link and the logger write it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

enum class EventKind {
    ValidKey,
    MasterKey,
    InvalidKey,
    Door,    // a door opened or closed
    Penalty, // a door blocked after repeated invalid keys
    Alarm,   // a shorted contact
    Manual,  // a key added or deleted at the controller
    Memory,  // the controller's key memory: new master, cleared, page full
    Link,    // the connection lost or restored
    Log,     // the log started or ended
    Sync,    // a synchronization or comparison
};

constexpr int event_kind_count = 11;

// "valid-key", "master-key", ... as the command line and the exports write them.
const char* event_kind_name(EventKind kind);
std::optional<EventKind> parse_event_kind(std::string_view name);

// The key number of a screen log line's key text ("00a3f1"), or none (" - ", empty).
std::optional<uint32_t> key_of_line(std::string_view key_text);
// An event's key as the history shows it, six hex digits ("" without one), and its door ("A",
// "B" or "").
std::string event_key_text(const std::optional<uint32_t>& key);
std::string event_door_text(char door);

struct LineMeaning {
    EventKind kind = EventKind::Log;
    char door = 0; // 'A', 'B' or 0 for none
};

// Classifies lines in the order the screen log took them: a memo line belongs to the key line
// before it, so the classifier remembers that line's meaning.
class LineClassifier {
  public:
    LineMeaning classify(std::string_view event_text);

  private:
    LineMeaning last_key_{EventKind::InvalidKey, 0};
};
