// Binding the serial devices the system reports to COM numbers: the entries COMn of the port
// folder. The window layer enumerates the devices; what is bound, and how, is decided here.
#pragma once

#include "platform/tcp_port.h"

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

// One serial device as the system reports it.
struct SystemPort {
    std::string node;    // /dev/ttyUSB0
    std::string by_id;   // /dev/serial/by-id/usb-..., empty when udev made none
    std::string by_path; // /dev/serial/by-path/..., empty when udev made none
    std::string description;
    std::string manufacturer;
    std::string serial_number;
};

// The name that survives re-plugging: by-id, else by-path, else the node.
std::string stable_name(const SystemPort& port);
// The stable name, then description, maker and serial number where known.
std::string port_label(const SystemPort& port);

// Fills by_id and by_path from the links in those folders that lead to the node.
void find_stable_names(SystemPort& port, const std::string& by_id_dir = "/dev/serial/by-id",
                       const std::string& by_path_dir = "/dev/serial/by-path");

// An entry COMn of the port folder: a link to a device, or a tcp: file.
struct PortEntry {
    uint32_t number = 0;
    std::string target; // the link's text, or tcp:HOST:PORT
    friend bool operator==(const PortEntry&, const PortEntry&) = default;
};
// The entries COM1 to COM32, in number order.
std::vector<PortEntry> mapped_ports(const std::string& dir);

constexpr uint32_t highest_com_port = 32;

// Binds the device to a COM number and returns it (0 on failure, with the cause): the number
// already bound to it when there is one, else `preferred` when that is free, else the lowest
// free number. The entry is a link to the stable name.
uint32_t bind_port(const std::string& dir, const SystemPort& port, uint32_t preferred,
                   std::error_code* error);
// The same for a TCP endpoint: the entry is a text file holding tcp:HOST:PORT.
uint32_t bind_tcp_endpoint(const std::string& dir, const TcpEndpoint& endpoint, uint32_t preferred,
                           std::error_code* error);
