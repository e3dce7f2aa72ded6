// A serial device server in miniature: a loopback TCP listener whose one client at a time is
// relayed byte for byte to a terminal device (the simulated controller's pty). For tests and for
// trying a tcp: port entry without a device server.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

class TcpBridge {
  public:
    explicit TcpBridge(std::string device) : device_(std::move(device)) {}
    ~TcpBridge() { stop(); }
    TcpBridge(const TcpBridge&) = delete;
    TcpBridge& operator=(const TcpBridge&) = delete;

    // Listens on 127.0.0.1: on `port`, or on a free port when 0 (see port()). False when the
    // listener cannot be had.
    bool start(uint16_t port = 0);
    // Drops the client and the listener, as a device server that restarts does.
    void stop();
    uint16_t port() const { return port_; }

  private:
    void run();
    std::string device_;
    uint16_t port_ = 0;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::thread thread_;
};
