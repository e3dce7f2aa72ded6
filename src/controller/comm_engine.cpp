// The engine's life on a channel and the passes its driver runs between two sleeps.
#include "controller/comm_engine.h"

CommEngine::CommEngine(LinkShared& link, Clock& clock, DecoderContext& decoder)
    : link_(link), clock_(clock), decoder_(decoder) {}

void CommEngine::start(SerialIo& channel) {
    attach(channel);
    send_reset();
    begin_receive();
}

void CommEngine::stop() {
    end_receive();
    c_.port = nullptr;
}

void CommEngine::pass() {
    request_step();
    transfer_step();
    transmit_step();
    watchdog_step();
}

CommEngine::Turn CommEngine::serve(bool hung_up) {
    for (;;) {
        if (link_.stop_requested()) {
            return Turn::stop;
        }
        pass();
        int byte = c_.port->read_byte();
        if (byte >= 0) {
            // An echo or a prompt is answered by the next pass, without a sleep between.
            handle_byte(static_cast<uint8_t>(byte));
            continue;
        }
        // A hang-up is taken for a break only once what arrived before it has been read.
        if (c_.port->broken() || hung_up) {
            return Turn::broken;
        }
        // The burst is over: waiters look at what it changed.
        if (c_.waiters_may_care) {
            c_.waiters_may_care = false;
            link_.notify_change();
        }
        return Turn::idle;
    }
}

int64_t CommEngine::next_deadline() const {
    if (static_cast<int32_t>(c_.last_rx_time - c_.last_tx_time) >= 0) {
        return -1;
    }
    uint32_t spent = clock_.tick_ms() - c_.last_tx_time;
    return spent > no_response_ms ? 0 : int64_t{no_response_ms} + 1 - spent;
}
