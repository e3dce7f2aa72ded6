// One controller report as flags plus the key identifiers it concerns. Every producer starts
// from a cleared record and sets only the flags it means.
#pragma once

struct EventRecord {
    bool door_b = false; // clear: door A
    bool key_event = false;
    bool key_valid = false;
    bool key_master = false;
    bool master_programming = false;
    bool master_initialized = false;
    bool memory_cleared = false;
    bool manual_add = false;
    bool page_full = false;
    bool manual_delete = false;
    bool penalty = false;
    bool door_open = false;
    bool door_closed = false;
    bool contact_shorted = false;
    bool readout_key = false;
    bool readout_end = false;
    bool no_response = false;
    bool readout_incomplete = false; // no parser raises it yet; see DecoderState::readout_failed
};

void clear_event(EventRecord& record);

// True when any flag is set: a record without one produces nothing and changes nothing.
bool event_has_flags(const EventRecord& record);
