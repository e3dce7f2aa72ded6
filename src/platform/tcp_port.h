// A controller behind a serial device server: raw bytes over TCP, driven like the serial line.
#pragma once

#include "platform/serial_port.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct TcpEndpoint {
    std::string host;
    uint16_t port = 0;
    friend bool operator==(const TcpEndpoint&, const TcpEndpoint&) = default;
};

// "tcp:HOST:PORT" (HOST may be a bracketed IPv6 address), surrounding white space allowed;
// nothing for any other text.
std::optional<TcpEndpoint> parse_tcp_endpoint(std::string_view text);
std::string tcp_endpoint_text(const TcpEndpoint& endpoint);

class TcpPort final : public FdChannel {
  public:
    // Connects within connect_timeout_ms. The result's path is the endpoint's text.
    PortOpenResult open(const TcpEndpoint& endpoint);
    // Short enough that a stop during a reconnect attempt is still seen within its wait.
    static constexpr int connect_timeout_ms = 500;
};

// A port folder entry that is a small text file holding tcp:HOST:PORT names a TCP endpoint;
// anything else (a device, a link to one, nothing at all) does not.
std::optional<TcpEndpoint> read_tcp_entry(const std::string& path);

// Opens what a port entry names: the endpoint of a tcp: entry, else the device at the path. A
// file that holds anything but tcp:HOST:PORT is a malformed entry and is not opened at all.
// Null, with the cause in *result, when that fails.
std::unique_ptr<FdChannel> open_port_entry(const std::string& path, PortOpenResult* result);
