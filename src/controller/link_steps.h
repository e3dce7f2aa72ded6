// The comm thread's pieces, exposed so that tests and the fuzzer can drive them on one thread
// without a port or with a recording one.
#pragma once

#include "controller/link.h"

// Sending side.
void load_command(Link& link, const char* text);
void send_reset_transmission(Link& link);
void request_step(Link& link);
void transfer_step(Link& link);
void transmit_step(Link& link);
void watchdog_step(Link& link);
bool command_has_unsent(const CommState& comm);

// Receiving side.
void receive_loop_start(Link& link);
void receive_loop_end(Link& link);
// The four sending-side steps of one pass, in their order.
void receive_pass_send_side(Link& link);
// Steps 4-6 of a pass for one byte read from the port.
void handle_received_byte(Link& link, uint8_t byte);
// Runs passes until a stop is requested or the port breaks (a read or write error, a hang-up,
// the other end closing): true for a broken port. The port is link.comm.port. Between passes
// the thread sleeps in poll on the port and the link's wake-up until a byte, a request or the
// watchdog's deadline.
bool run_receive_loop(Link& link);

void dispatch_message(Link& link, int type, Buffer* message);
void parse_plain_line(Link& link, Buffer* message);
void parse_reply(Link& link, Buffer* message);
void parse_key_report(Link& link, Buffer* message);
void parse_door_report(Link& link, Buffer* message);
