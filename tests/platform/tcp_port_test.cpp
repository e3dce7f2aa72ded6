// TCP endpoints in the port folder: the entry's text, and the channel over loopback.
#include "platform/tcp_port.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(TcpEndpoint, ParsesOnlyWellFormedEntries) {
    struct Case {
        const char* text;
        std::optional<TcpEndpoint> endpoint;
    };
    const Case cases[] = {
        {"tcp:192.168.1.20:4001", TcpEndpoint{"192.168.1.20", 4001}},
        {"  tcp:gate-b.example:2000\n", TcpEndpoint{"gate-b.example", 2000}},
        {"tcp:[::1]:7000", TcpEndpoint{"::1", 7000}},
        {"tcp:::1:7000", std::nullopt},
        {"tcp:host", std::nullopt},
        {"tcp::4001", std::nullopt},
        {"tcp:host:", std::nullopt},
        {"tcp:host:0", std::nullopt},
        {"tcp:host:65536", std::nullopt},
        {"tcp:host:40x1", std::nullopt},
        {"udp:host:4001", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_tcp_endpoint(c.text), c.endpoint) << c.text;
        if (c.endpoint) {
            EXPECT_EQ(parse_tcp_endpoint(tcp_endpoint_text(*c.endpoint)), c.endpoint);
        }
    }
}

struct Listener {
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 1);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    int fd = -1;
    uint16_t port = 0;
};

TEST(TcpPort, AnEntryFileReachesTheEndpointAndSeesItsEnd) {
    Listener server;
    char dir[] = "/tmp/tessary-tcp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string entry = std::string(dir) + "/COM9";
    std::ofstream(entry) << "tcp:127.0.0.1:" << server.port << "\n";
    PortOpenResult opened;
    std::unique_ptr<FdChannel> channel = open_port_entry(entry, &opened);
    ASSERT_TRUE(channel) << opened.error.message();
    EXPECT_EQ(opened.path, "tcp:127.0.0.1:" + std::to_string(server.port));
    int peer = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(channel->write("\rr"));
    char got[2] = {};
    ASSERT_EQ(recv(peer, got, 2, MSG_WAITALL), 2);
    EXPECT_EQ(std::string(got, 2), "\rr");
    ASSERT_EQ(send(peer, "V", 1, 0), 1);
    channel->wait_readable(2000);
    EXPECT_EQ(channel->read_byte(), 'V');
    EXPECT_FALSE(channel->broken());
    close(peer);
    channel->wait_readable(2000);
    EXPECT_EQ(channel->read_byte(), -1);
    EXPECT_TRUE(channel->broken());
    unlink(entry.c_str());
    rmdir(dir);
}

TEST(TcpPort, ARefusedConnectionIsAnAccessFailureWithItsCause) {
    uint16_t port;
    {
        Listener closed; // bound, then released: nobody listens there now
        port = closed.port;
    }
    TcpPort tcp;
    PortOpenResult r = tcp.open({"127.0.0.1", port});
    EXPECT_EQ(r, PortOpenResult::AccessFailed);
    EXPECT_EQ(r.error, std::errc::connection_refused);
    EXPECT_FALSE(tcp.is_open());
}

// A name under .invalid never resolves; asked from a thread in a network namespace of its own,
// the lookup sends nothing anywhere.
TEST(TcpPort, AHostThatDoesNotResolveIsNamedAsNotFound) {
    PortOpenResult r;
    bool isolated = false;
    std::thread([&] {
        if ((isolated = unshare(CLONE_NEWNET) == 0)) {
            r = TcpPort().open({"nosuch.invalid", 4001});
        }
    }).join();
    if (!isolated) {
        GTEST_SKIP() << "no network namespace of its own to ask from";
    }
    EXPECT_EQ(r, PortOpenResult::HostNotFound);
    EXPECT_EQ(port_open_message(r), "Couldn't connect to the controller at nosuch.invalid:4001. "
                                    "Is the host name right?\nReason: Host not found: "
                                    "nosuch.invalid");
}

// A text file in the port folder that is not tcp:HOST:PORT is named as such, never opened as a
// serial line.
TEST(TcpPort, AMalformedEntryFileIsNamedWithTheFormItNeeds) {
    char dir[] = "/tmp/tessary-tcp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string entry = std::string(dir) + "/COM4";
    const std::string texts[] = {"tcp:nohost\n", "COM3", "", std::string(600, 'x')};
    for (const std::string& text : texts) {
        std::ofstream(entry, std::ios::trunc) << text;
        PortOpenResult opened;
        EXPECT_FALSE(open_port_entry(entry, &opened)) << text;
        EXPECT_EQ(port_open_message(opened),
                  "Couldn't gain access to the COM port: " + entry +
                      " is a malformed port entry.\nA port entry that is a file must hold "
                      "tcp:HOST:PORT, for example tcp:192.168.1.20:4001.")
            << text;
    }
    unlink(entry.c_str());
    rmdir(dir);
}

} // namespace
