#include "events/event_record.h"

void clear_event(EventRecord& record) {
    record = EventRecord{};
}

bool event_has_flags(const EventRecord& r) {
    return r.door_b || r.key_event || r.key_valid || r.key_master || r.master_programming ||
           r.master_initialized || r.memory_cleared || r.manual_add || r.page_full ||
           r.manual_delete || r.penalty || r.door_open || r.door_closed || r.contact_shorted ||
           r.readout_key || r.readout_end || r.no_response || r.readout_incomplete;
}
