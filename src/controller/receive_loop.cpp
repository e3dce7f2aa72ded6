// Controller to computer: the receive loop cuts the byte stream into messages at its delimiters
// and hands each to the parser of the type its opening delimiter gave it.
#include "controller/comm_engine.h"

namespace {

constexpr uint8_t byte_cr = 13;
constexpr uint8_t byte_lf = 10;
constexpr uint8_t byte_xon = 17;
constexpr uint8_t byte_xoff = 19;

// The words after an identification are not parsed, but a waiter for the identification wants
// the whole line; as much of it as a message holds, however long the noise before the CR.
void add_ident_word(CommState& c, const Buffer* m) {
    if (buffer_remaining(m) > 0 && c.ident_text.size() < message_capacity) {
        c.ident_text += ' ';
        c.ident_text += buffer_view(m);
    }
}

void set_ready(CommState& c) {
    c.may_send = true;
    c.echo_seen = true;
}

} // namespace

void CommEngine::begin_receive() {
    CommState& c = c_;
    c.message = make_buffer(message_capacity);
    c.rd04_mode = false;
    c.last_tx_time = clock_.tick_ms();
    // "No byte yet" must read as before the start whatever the tick: a plain 0 would count as
    // a byte received after the start once the tick is in the upper half of its range, and the
    // watchdog would then never report a silent controller.
    c.last_rx_time = c.last_tx_time - 1;
    c.command[0] = 0;
    c.send_pos = 0;
    c.may_send = true;
    c.echo_seen = true;
    c.readout_active = false;
    c.ident_line = false;
    c.message_type = msg_plain;
}

void CommEngine::end_receive() {
    c_.message.reset();
}

void CommEngine::watchdog_step() {
    CommState& c = c_;
    if (static_cast<int32_t>(c.last_rx_time - c.last_tx_time) >= 0) {
        return;
    }
    if (clock_.tick_ms() - c.last_tx_time <= no_response_ms) {
        return;
    }
    c.last_rx_time = c.last_tx_time; // once per load or reset
    c.waiters_may_care = true;
    EventRecord rec;
    rec.no_response = true;
    decode_event(decoder_, rec, c.readout_key_id, KeyId{});
}

void CommEngine::dispatch_message(int type, Buffer* message) {
    c_.waiters_may_care = true;
    switch (type) {
    case msg_plain:
        parse_plain_line(message);
        break;
    case msg_reply:
        parse_reply(message);
        break;
    case msg_key_report:
        parse_key_report(message);
        break;
    case msg_door_report:
        parse_door_report(message);
        break;
    default:
        break;
    }
    buffer_clear(message);
}

void CommEngine::handle_byte(uint8_t byte) {
    CommState& c = c_;
    if (byte == byte_lf || byte == byte_xon || byte == byte_xoff) {
        return; // ignored wherever they stand; they do not count as received
    }
    c.last_rx_time = clock_.tick_ms();
    link_.count_received_byte();
    Buffer* m = c.message.get();
    switch (byte) {
    case byte_cr:
        if (c.ident_line) {
            add_ident_word(c, m);
        }
        dispatch_message(c.message_type, m);
        c.message_type = msg_plain;
        if (c.rd04_mode && !c.readout_active) {
            set_ready(c);
        }
        if (c.ident_line) {
            link_.note_identification(c.ident_text);
        }
        c.ident_line = false;
        decode_event(decoder_, c.line_record, c.line_key, c.remembered_key);
        clear_event(c.line_record);
        break;
    case ' ':
        if (c.ident_line) {
            add_ident_word(c, m);
            buffer_clear(m); // the words after an identification are not parsed
            break;
        }
        if (!c.rd04_mode || c.readout_active) {
            set_ready(c);
        }
        dispatch_message(c.message_type, m);
        c.message_type = msg_reply;
        break;
    case '<':
        dispatch_message(c.message_type, m);
        c.message_type = msg_key_report;
        break;
    case '>':
        dispatch_message(c.message_type, m);
        c.message_type = msg_door_report;
        break;
    default:
        if (byte == 'P' && c.message_type == msg_key_report) {
            // Raised the moment it arrives: the unit waits for the new master key to be held
            // to the contact before it finishes the report.
            EventRecord rec;
            rec.master_programming = true;
            decode_event(decoder_, rec, c.readout_key_id, KeyId{});
            c.waiters_may_care = true;
        }
        buffer_push(m, byte);
        if (!c.rd04_mode && c.message_type == msg_reply) {
            c.echo_seen = true;
        }
        break;
    }
}
