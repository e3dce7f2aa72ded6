#include "controller/controller_probe.h"

#include "platform/tcp_port.h"

#include <algorithm>
#include <memory>
#include <poll.h>

bool is_identification(std::string_view line) {
    return line.substr(0, 2) == "RD";
}

std::string controller_model(std::string_view line) {
    for (std::string_view model : {"RD-04", "RD-03"}) {
        if (line.substr(0, model.size()) == model &&
            (line.size() == model.size() || line[model.size()] == ' ')) {
            return std::string(model);
        }
    }
    return std::string(line);
}

std::string echo_round_trip_text(uint32_t round_trip_us) {
    const uint64_t tenths = (uint64_t{round_trip_us} + 50) / 100;
    return "echo round trip " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
           " ms";
}

std::string test_result_text(std::string_view line, std::optional<uint32_t> round_trip_us) {
    std::string model = controller_model(line);
    if (round_trip_us && model != "RD-04") {
        model += ", " + echo_round_trip_text(*round_trip_us);
    }
    return model;
}

ProbeAnswer identify_on(SerialIo& port, Clock& clock, uint32_t timeout_ms,
                        const std::atomic<bool>& cancel) {
    ProbeAnswer answer;
    // What the unit said before the reset belongs to whatever it was doing then.
    while (port.read_byte() >= 0) {
    }
    answer.reset_round_trip_us = send_reset(port, clock);
    const uint32_t start = clock.tick_ms();
    std::string line;
    for (;;) {
        for (int byte = port.read_byte(); byte >= 0; byte = port.read_byte()) {
            if (byte == '\r') {
                if (is_identification(line)) {
                    answer.kind = ProbeAnswer::Answered;
                    answer.line = line;
                    return answer;
                }
                line.clear();
            } else if (byte != '\n' && byte != 17 && byte != 19 && line.size() < 100) {
                line += static_cast<char>(byte);
            }
        }
        if (cancel.load(std::memory_order_acquire)) {
            answer.kind = ProbeAnswer::Cancelled;
            return answer;
        }
        const uint32_t spent = clock.tick_ms() - start;
        if (spent >= timeout_ms || port.broken()) {
            return answer;
        }
        const uint32_t wait = std::min<uint32_t>(timeout_ms - spent, 50);
        pollfd p{port.poll_fd(), POLLIN, 0};
        ::poll(&p, p.fd >= 0 ? 1 : 0, static_cast<int>(clock.real_wait_ms(wait)));
    }
}

ProbeAnswer identify_controller(const std::string& entry, Clock& clock, uint32_t timeout_ms,
                                const std::atomic<bool>& cancel) {
    PortOpenResult opened;
    std::unique_ptr<FdChannel> channel;
    if (std::optional<TcpEndpoint> endpoint = parse_tcp_endpoint(entry)) {
        auto tcp = std::make_unique<TcpPort>();
        opened = tcp->open(*endpoint);
        if (opened) {
            channel = std::move(tcp);
        }
    } else {
        channel = open_port_entry(entry, &opened);
    }
    if (!channel) {
        ProbeAnswer answer;
        answer.kind = ProbeAnswer::OpenFailed;
        answer.message = port_open_message(opened);
        return answer;
    }
    return identify_on(*channel, clock, timeout_ms, cancel);
}
