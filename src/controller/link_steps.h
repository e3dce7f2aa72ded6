// The comm thread's pieces, exposed so that tests and the fuzzer can drive them on one thread
// without a port or with a recording one.
#pragma once

#include "controller/link.h"

// Sending side.
void load_command(LinkContext& link, const char* text);
void send_reset_transmission(LinkContext& link);
void request_step(LinkContext& link);
void transfer_step(LinkContext& link);
void transmit_step(LinkContext& link);
void watchdog_step(LinkContext& link);
bool command_has_unsent(const CommState& comm);

// Receiving side.
void receive_loop_start(LinkContext& link);
void receive_loop_end(LinkContext& link);
// The four sending-side steps of one pass, in their order.
void receive_pass_send_side(LinkContext& link);
// Steps 4-6 of a pass for one byte read from the port.
void handle_received_byte(LinkContext& link, uint8_t byte);
// Runs passes until stop_requested; the port is link.comm.port.
void run_receive_loop(LinkContext& link);

void dispatch_message(LinkContext& link, int type, Buffer* message);
void parse_plain_line(LinkContext& link, Buffer* message);
void parse_reply(LinkContext& link, Buffer* message);
void parse_key_report(LinkContext& link, Buffer* message);
void parse_door_report(LinkContext& link, Buffer* message);
