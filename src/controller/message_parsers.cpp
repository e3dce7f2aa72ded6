// The four parsers of controller messages. Each reads the gathered message from its read
// position; a malformed message ends its parse at the first unexpected byte.
#include "controller/comm_engine.h"

void CommEngine::decode_only(void (*set)(EventRecord&)) {
    EventRecord rec;
    set(rec);
    decode_event(decoder_, rec, c_.readout_key_id, KeyId{});
}

namespace {

// The key identifier up to and including its "+"; false when the report ends before it. Each
// word goes into line_key as soon as it is parsed, a failed one (-1) too.
bool parse_key_fields(CommState& c, Buffer* m) {
    int32_t family = buffer_parse_hex(m, 2);
    c.line_key.first = static_cast<uint32_t>(family);
    if (family == -1 || buffer_next(m) != '.') {
        return false;
    }
    int32_t serial = buffer_parse_hex(m, 12);
    c.line_key.number = static_cast<uint32_t>(serial);
    if (serial == -1 || buffer_next(m) != '.') {
        return false;
    }
    int32_t check = buffer_parse_hex(m, 2);
    c.line_key.last = static_cast<uint32_t>(check);
    return check != -1 && buffer_next(m) == '+';
}

// What the master key did at the unit, after its "M".
void parse_master_operation(EventRecord& rec, Buffer* m) {
    switch (buffer_next(m)) {
    case 'D':
        rec.manual_delete = true;
        break;
    case 'N':
        rec.manual_add = true;
        if (buffer_peek(m) == 'F') {
            rec.page_full = true;
        }
        break;
    case 'R':
        rec.memory_cleared = true;
        break;
    default:
        break;
    }
}

// The controller's verdict on the key, after the "+".
void parse_key_result(CommState& c, Buffer* m) {
    EventRecord& rec = c.line_record;
    if (buffer_matches(m, "PW")) {
        rec.key_master = true;
        rec.master_initialized = true;
        return;
    }
    switch (buffer_next(m)) {
    case 'K':
        rec.key_valid = true;
        if (buffer_peek(m) == 'x') {
            c.remembered_key = c.line_key;
        }
        break;
    case 'M':
        rec.key_valid = true;
        rec.key_master = true;
        parse_master_operation(rec, m);
        break;
    case 'U':
        switch (buffer_peek(m)) {
        case 'W':
            rec.penalty = true;
            break;
        case 'x':
            c.remembered_key = c.line_key;
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
}

} // namespace

void CommEngine::parse_plain_line(Buffer* m) {
    CommState& c = c_;
    if (buffer_matches(m, "RD")) {
        if (buffer_matches(m, "RD-0x") || buffer_matches(m, "RD-03")) {
            c.rd04_mode = false;
        } else if (buffer_matches(m, "RD-04")) {
            c.rd04_mode = true;
        }
        c.ident_line = true;
        c.ident_text = buffer_string(m);
        return;
    }
    if (buffer_remaining(m) == 6) {
        int32_t value = buffer_parse_hex(m, 6);
        c.readout_key_id = KeyId{0, static_cast<uint32_t>(value), 0};
        if (value == -1) {
            return;
        }
        c.readout_active = true;
        decode_only([](EventRecord& r) { r.readout_key = true; });
        return;
    }
    if (c.readout_active) {
        c.readout_active = false;
        decode_only([](EventRecord& r) { r.readout_end = true; });
    }
}

void CommEngine::parse_reply(Buffer* m) {
    for (;;) {
        if (buffer_remaining(m) == 0) {
            return;
        }
        uint32_t before = buffer_remaining(m);
        int32_t first = buffer_peek(m);
        if (first == 'c') {
            if (buffer_remaining(m) == 1) {
                return;
            }
            int32_t next = buffer_peek_at(m, 1);
            if (next == '!') {
                buffer_skip(m, 2);
                decode_only([](EventRecord& r) { r.memory_cleared = true; });
            } else if (next == '?') {
                buffer_skip(m, 2);
            } else {
                buffer_skip(m, 1);
            }
        } else if (first == 'd' || first == 'n') {
            if (buffer_remaining(m) == 1) {
                return;
            }
            bool found = false;
            for (uint32_t offset = 1; offset <= 7; ++offset) {
                int32_t b = buffer_peek_at(m, offset);
                if (b == '!' || b == '?') {
                    if (b == '!') {
                        link_.count_acknowledgement();
                    }
                    buffer_skip(m, offset + 1);
                    found = true;
                    break;
                }
            }
            if (!found) {
                return;
            }
        } else {
            buffer_skip(m, 1);
        }
        if (buffer_remaining(m) == before) {
            return;
        }
    }
}

void CommEngine::parse_key_report(Buffer* m) {
    CommState& c = c_;
    EventRecord& rec = c.line_record;
    if (buffer_last(m) == 'B') {
        buffer_pop_last(m);
        rec.door_b = true;
    }
    if (buffer_peek(m) == 'S') {
        rec.contact_shorted = true;
    }
    if (!parse_key_fields(c, m)) {
        return;
    }
    rec.key_event = true;
    if (buffer_remaining(m) == 0) {
        return;
    }
    parse_key_result(c, m);
}

void CommEngine::parse_door_report(Buffer* m) {
    EventRecord& rec = c_.line_record;
    if (buffer_last(m) == 'B') {
        buffer_pop_last(m);
        rec.door_b = true;
    }
    switch (buffer_next(m)) {
    case 'C':
        rec.door_closed = true;
        break;
    case 'O':
        rec.door_open = true;
        break;
    default:
        break;
    }
}
