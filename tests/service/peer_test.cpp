// Who the service lets in when it runs for a group: processes of other users that are in the
// group, by their primary group or one of their others, and nobody else.
#include "service/service.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Ids no account has, so that only the process's own credentials can let it in.
constexpr uid_t stranger = 54321;
constexpr gid_t service_group = 54322;
constexpr gid_t other_group = 54323;

enum Outcome { Answered = 0, Closed = 1, NotConnected = 2, NotBecome = 3 };

// In a child, as `stranger` with the groups given: connects, asks for the list and waits for
// the answer. Only calls that are safe after a fork of a threaded process.
Outcome connect_as(const std::string& socket, gid_t gid, gid_t extra) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(1, &extra) != 0 || setgid(gid) != 0 || setuid(stranger) != 0) {
            _exit(NotBecome);
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, socket.c_str(), socket.size() + 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            _exit(NotConnected);
        }
        const char ask[] = "{\"id\": 1, \"op\": \"list\"}\n";
        [[maybe_unused]] ssize_t sent = ::send(fd, ask, sizeof ask - 1, MSG_NOSIGNAL);
        char answer[256];
        _exit(::read(fd, answer, sizeof answer) > 0 ? Answered : Closed);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? static_cast<Outcome>(WEXITSTATUS(status)) : NotBecome;
}

TEST(ServicePeers, GroupMembersAreLetInAndOthersRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    std::string pattern = (fs::temp_directory_path() / "peers_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "site.conf") << "# nothing served\n";
    ServiceOptions o;
    o.site_path = (dir / "site.conf").string();
    o.socket_path = (dir / "run" / "tessaryd.sock").string();
    o.client_group = service_group;
    Service service(o);
    ASSERT_TRUE(service.open());
    std::thread runner([&] { service.run(); });
    // The file modes keep outsiders away too: opened wide, only the check of the peer stands.
    ::chmod(dir.c_str(), 0755);
    ::chmod((dir / "run").c_str(), 0755);
    ::chmod(o.socket_path.c_str(), 0666);
    const struct {
        gid_t gid;
        gid_t extra;
        Outcome outcome;
    } cases[] = {
        {service_group, other_group, Answered},
        {other_group, service_group, Answered},
        {other_group, other_group, Closed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(connect_as(o.socket_path, c.gid, c.extra), c.outcome)
            << "group " << c.gid << ", also " << c.extra;
    }
    service.stop();
    runner.join();
    fs::remove_all(dir);
}

} // namespace
