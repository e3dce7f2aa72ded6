// Controller to computer: the receive loop cuts the byte stream into messages at its delimiters
// and hands each to the parser of the type its opening delimiter gave it.
#include "controller/link_steps.h"

#include <poll.h>

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

void receive_loop_start(Link& link) {
    CommState& c = link.comm;
    c.message = make_buffer(message_capacity);
    c.rd04_mode = false;
    c.last_tx_time = link.clock.tick_ms();
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

void receive_loop_end(Link& link) {
    link.comm.message.reset();
}

void watchdog_step(Link& link) {
    CommState& c = link.comm;
    if (static_cast<int32_t>(c.last_rx_time - c.last_tx_time) >= 0) {
        return;
    }
    if (link.clock.tick_ms() - c.last_tx_time <= no_response_ms) {
        return;
    }
    c.last_rx_time = c.last_tx_time; // once per load or reset
    c.waiters_may_care = true;
    EventRecord rec;
    rec.no_response = true;
    decode_event(link.decoder, rec, c.readout_key_id, KeyId{});
}

void receive_pass_send_side(Link& link) {
    request_step(link);
    transfer_step(link);
    transmit_step(link);
    watchdog_step(link);
}

void dispatch_message(Link& link, int type, Buffer* message) {
    link.comm.waiters_may_care = true;
    switch (type) {
    case msg_plain:
        parse_plain_line(link, message);
        break;
    case msg_reply:
        parse_reply(link, message);
        break;
    case msg_key_report:
        parse_key_report(link, message);
        break;
    case msg_door_report:
        parse_door_report(link, message);
        break;
    default:
        break;
    }
    buffer_clear(message);
}

void handle_received_byte(Link& link, uint8_t byte) {
    CommState& c = link.comm;
    if (byte == byte_lf || byte == byte_xon || byte == byte_xoff) {
        return; // ignored wherever they stand; they do not count as received
    }
    c.last_rx_time = link.clock.tick_ms();
    link.count_received_byte();
    Buffer* m = c.message.get();
    switch (byte) {
    case byte_cr:
        if (c.ident_line) {
            add_ident_word(c, m);
        }
        dispatch_message(link, c.message_type, m);
        c.message_type = msg_plain;
        if (c.rd04_mode && !c.readout_active) {
            set_ready(c);
        }
        if (c.ident_line) {
            link.note_identification(c.ident_text);
        }
        c.ident_line = false;
        decode_event(link.decoder, c.line_record, c.line_key, c.remembered_key);
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
        dispatch_message(link, c.message_type, m);
        c.message_type = msg_reply;
        break;
    case '<':
        dispatch_message(link, c.message_type, m);
        c.message_type = msg_key_report;
        break;
    case '>':
        dispatch_message(link, c.message_type, m);
        c.message_type = msg_door_report;
        break;
    default:
        if (byte == 'P' && c.message_type == msg_key_report) {
            // Raised the moment it arrives: the unit waits for the new master key to be held
            // to the contact before it finishes the report.
            EventRecord rec;
            rec.master_programming = true;
            decode_event(link.decoder, rec, c.readout_key_id, KeyId{});
            c.waiters_may_care = true;
        }
        buffer_push(m, byte);
        if (!c.rd04_mode && c.message_type == msg_reply) {
            c.echo_seen = true;
        }
        break;
    }
}

namespace {

// Milliseconds of the link's clock until the watchdog is due, or -1 when it is not armed.
int64_t watchdog_due_in(Link& link) {
    const CommState& c = link.comm;
    if (static_cast<int32_t>(c.last_rx_time - c.last_tx_time) >= 0) {
        return -1;
    }
    uint32_t spent = link.clock.tick_ms() - c.last_tx_time;
    return spent > no_response_ms ? 0 : int64_t{no_response_ms} + 1 - spent;
}

} // namespace

bool run_receive_loop(Link& link) {
    receive_loop_start(link);
    SerialIo* port = link.comm.port;
    bool hung_up = false;
    bool broken = false;
    for (;;) {
        if (link.stop_requested()) {
            break;
        }
        receive_pass_send_side(link);
        int byte = port->read_byte();
        if (byte >= 0) {
            // An echo or a prompt is answered by the next pass, without a sleep between.
            handle_received_byte(link, static_cast<uint8_t>(byte));
            continue;
        }
        // A hang-up is taken for a break only once what arrived before it has been read.
        if (port->broken() || hung_up) {
            broken = true;
            break;
        }
        // The burst is over: waiters look at what it changed.
        if (link.comm.waiters_may_care) {
            link.comm.waiters_may_care = false;
            link.notify_change();
        }
        int64_t due = watchdog_due_in(link);
        int timeout =
            due < 0 ? -1 : static_cast<int>(link.clock.real_wait_ms(static_cast<uint32_t>(due)));
        pollfd fds[2] = {{link.wake_fd(), POLLIN, 0}, {port->poll_fd(), POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0) {
            continue; // EINTR
        }
        if (fds[0].revents & POLLIN) {
            link.drain_wake();
        }
        hung_up = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    receive_loop_end(link);
    return broken;
}
