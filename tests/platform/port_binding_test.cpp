// Binding reported devices to COM numbers in a port folder, with fake device nodes and fake
// by-id and by-path folders in a temporary folder.
#include "platform/port_binding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct FakeDev {
    FakeDev() {
        char tmpl[] = "/tmp/tessary-bind-XXXXXX";
        root = mkdtemp(tmpl);
        fs::create_directories(root + "/by-id");
        fs::create_directories(root + "/by-path");
        for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyACM0"}) {
            std::ofstream(root + "/" + node) << "";
        }
        fs::create_symlink("../ttyUSB0",
                           root + "/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0");
        fs::create_symlink("../ttyUSB0", root + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
        fs::create_symlink("../ttyUSB1", root + "/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0");
        ports = root + "/ports";
    }
    ~FakeDev() { fs::remove_all(root); }
    SystemPort port(const std::string& node) {
        SystemPort p;
        p.node = root + "/" + node;
        find_stable_names(p, root + "/by-id", root + "/by-path");
        return p;
    }
    std::string root;
    std::string ports;
};

TEST(PortBinding, StableNamesAndLabels) {
    FakeDev dev;
    SystemPort ftdi = dev.port("ttyUSB0");
    EXPECT_EQ(ftdi.by_id, dev.root + "/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0");
    EXPECT_EQ(ftdi.by_path, dev.root + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    struct Case {
        std::string node, description, manufacturer, serial, label;
    };
    const Case cases[] = {
        {"ttyUSB0", "FT232R USB UART", "FTDI", "A12345",
         dev.root + "/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0 (FT232R USB UART, FTDI, "
                    "serial A12345)"},
        {"ttyUSB1", "", "Prolific", "",
         dev.root + "/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0 (Prolific)"},
        {"ttyACM0", "", "", "77", dev.root + "/ttyACM0 (serial 77)"},
        {"ttyACM0", "", "", "", dev.root + "/ttyACM0"},
    };
    for (const Case& c : cases) {
        SystemPort p = dev.port(c.node);
        p.description = c.description;
        p.manufacturer = c.manufacturer;
        p.serial_number = c.serial;
        EXPECT_EQ(port_label(p), c.label);
    }
}

TEST(PortBinding, TakesTheOwnNumberWhenFreeElseTheLowestAndReusesABinding) {
    FakeDev dev;
    SystemPort first = dev.port("ttyUSB0");
    SystemPort second = dev.port("ttyUSB1");
    std::error_code error;
    EXPECT_EQ(bind_port(dev.ports, first, 3, &error), 3u) << error.message();
    EXPECT_EQ(fs::read_symlink(dev.ports + "/COM3"), first.by_id);
    EXPECT_EQ(bind_port(dev.ports, second, 3, &error), 1u); // 3 is taken
    EXPECT_EQ(bind_port(dev.ports, first, 5, &error), 3u);  // already bound
    EXPECT_EQ(bind_tcp_endpoint(dev.ports, {"10.0.0.9", 4001}, 0, &error), 2u);
    EXPECT_EQ(bind_tcp_endpoint(dev.ports, {"10.0.0.9", 4001}, 7, &error), 2u);
    EXPECT_EQ(read_tcp_entry(dev.ports + "/COM2"), (TcpEndpoint{"10.0.0.9", 4001}));
    EXPECT_EQ(
        mapped_ports(dev.ports),
        (std::vector<PortEntry>{{1, second.by_path}, {2, "tcp:10.0.0.9:4001"}, {3, first.by_id}}));
}

TEST(PortBinding, AFullFolderBindsNothing) {
    FakeDev dev;
    std::error_code error;
    for (uint32_t n = 1; n <= highest_com_port; ++n) {
        ASSERT_EQ(bind_tcp_endpoint(dev.ports, {"h", static_cast<uint16_t>(n)}, n, &error), n);
    }
    EXPECT_EQ(bind_port(dev.ports, dev.port("ttyUSB0"), 1, &error), 0u);
    EXPECT_EQ(error, std::errc::no_space_on_device);
}

} // namespace
