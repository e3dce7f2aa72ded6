#include "platform/port_map.h"
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono;

// A pseudo-terminal: the master plays the controller, the device path is what the port opens.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        grantpt(master);
        unlockpt(master);
        char name[128];
        ptsname_r(master, name, sizeof name);
        path = name;
    }
    ~Pty() {
        if (master >= 0) {
            close(master);
        }
    }
    std::string read_all() {
        std::string out;
        char buf[64];
        for (int tries = 0; tries < 200; ++tries) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                out.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (!out.empty()) {
                break;
            }
            usleep(1000);
        }
        return out;
    }
    int master = -1;
    std::string path;
};

struct EnvGuard {
    EnvGuard(const char* name, const char* value) : name(name) {
        if (const char* old = getenv(name)) {
            saved = old;
            had = true;
        }
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvGuard() {
        if (had) {
            setenv(name, saved.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    const char* name;
    std::string saved;
    bool had = false;
};

TEST(PortMap, PortDirVariableWinsWithNaturalWidthNumbers) {
    EnvGuard env("TESSARY_PORT_DIR", "/tmp/ports");
    EXPECT_EQ(com_port_path(3), "/tmp/ports/COM3");
    EXPECT_EQ(com_port_path(12), "/tmp/ports/COM12");
    EXPECT_EQ(com_port_dir(), "/tmp/ports");
}

TEST(PortMap, UserFolderWhenItsEntryExistsElseTheBuiltInUart) {
    char home[] = "/tmp/tessary-home-XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    EnvGuard env("TESSARY_PORT_DIR", nullptr);
    EnvGuard xdg("XDG_CONFIG_HOME", nullptr);
    EnvGuard h("HOME", home);
    EXPECT_EQ(com_port_path(1), "/dev/ttyS0");
    EXPECT_EQ(com_port_path(12), "/dev/ttyS11");
    std::string dir = std::string(home) + "/.config/tessary/ports";
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    ASSERT_EQ(symlink("/dev/ttyUSB0", (dir + "/COM2").c_str()), 0); // dangling still counts
    EXPECT_EQ(com_port_path(2), dir + "/COM2");
    EXPECT_EQ(com_port_path(1), "/dev/ttyS0");
    EXPECT_EQ(com_port_dir(), dir);
    ASSERT_EQ(system(("rm -rf " + std::string(home)).c_str()), 0);
}

TEST(PortMap, ConfigFolderFollowsXdgConfigHomeWhenItIsAbsolute) {
    char home[] = "/tmp/tessary-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    EnvGuard env("TESSARY_PORT_DIR", nullptr);
    EnvGuard h("HOME", "/nonexistent-home");
    {
        EnvGuard xdg("XDG_CONFIG_HOME", "relative/config"); // not a base folder: ignored
        EXPECT_EQ(com_port_dir(), "/nonexistent-home/.config/tessary/ports");
    }
    EnvGuard xdg("XDG_CONFIG_HOME", home);
    const std::string dir = std::string(home) + "/tessary/ports";
    EXPECT_EQ(com_port_dir(), dir);
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    ASSERT_EQ(symlink("/dev/ttyUSB0", (dir + "/COM4").c_str()), 0);
    EXPECT_EQ(com_port_path(4), dir + "/COM4");
    {
        EnvGuard p("TESSARY_PORT_DIR", "/tmp/ports"); // still wins
        EXPECT_EQ(com_port_path(4), "/tmp/ports/COM4");
    }
    ASSERT_EQ(system(("rm -rf " + std::string(home)).c_str()), 0);
}

TEST(SerialPort, OpensAPtyAtNineThousandSixHundredRaw) {
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(pty.path), PortOpenResult::Ok);
    termios tio{};
    ASSERT_EQ(tcgetattr(port.fd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(SerialPort, APtyRefusesLowLatencyAndOpensAsUsual) {
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(pty.path), PortOpenResult::Ok);
    EXPECT_TRUE(request_low_latency(port.fd())); // no serial settings on a pseudo-terminal
    EXPECT_FALSE(port.low_latency());
}

TEST(SerialPort, ReadsReturnAtOnceWithZeroOrOneByte) {
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(pty.path), PortOpenResult::Ok);
    auto t0 = steady_clock::now();
    EXPECT_EQ(port.read_byte(), -1);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(50));
    ASSERT_EQ(write(pty.master, "\r\xff", 2), 2);
    port.wait_readable(1000);
    EXPECT_EQ(port.read_byte(), 13);
    port.wait_readable(1000);
    EXPECT_EQ(port.read_byte(), 0xff); // raw: no CR translation, the high byte intact
    EXPECT_EQ(port.read_byte(), -1);
}

TEST(SerialPort, WritesReachTheOtherEndByteForByte) {
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(pty.path), PortOpenResult::Ok);
    EXPECT_TRUE(port.write(std::string("n0000ab\r\n\x11", 10)));
    EXPECT_EQ(pty.read_all(), std::string("n0000ab\r\n\x11", 10));
}

TEST(SerialPort, AWriteNobodyReadsGivesUpWithinItsBound) {
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(pty.path), PortOpenResult::Ok);
    std::string block(32, 'x'); // bound: 320 ms
    bool all = true;
    steady_clock::duration last{};
    for (int i = 0; i < 100000 && all; ++i) {
        auto t0 = steady_clock::now();
        all = port.write(block); // until the pty's buffer is full
        last = steady_clock::now() - t0;
    }
    EXPECT_FALSE(all);
    EXPECT_GE(last, milliseconds(300));
    EXPECT_LT(last, seconds(3));
}

TEST(SerialPort, WaitReadableReturnsEarlyOnDataAndIdlesOnAHangUp) {
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.open(pty.path), PortOpenResult::Ok);
    ASSERT_EQ(write(pty.master, "x", 1), 1);
    auto t0 = steady_clock::now();
    port.wait_readable(5000);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(2500));
    EXPECT_EQ(port.read_byte(), 'x');
    close(pty.master);
    pty.master = -1;
    t0 = steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        port.wait_readable(5); // a hung-up line must not turn the idle wait into a spin
    }
    EXPECT_GE(steady_clock::now() - t0, milliseconds(45));
    EXPECT_FALSE(port.write("o"));
}

TEST(SerialPort, ExclusiveOpenAndProbe) {
    Pty pty;
    char dir[] = "/tmp/tessary-ports-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/COM5";
    ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
    EnvGuard env("TESSARY_PORT_DIR", dir);
    EXPECT_TRUE(probe_com_port(5));
    EXPECT_TRUE(probe_com_port(5));  // the probe let go of it
    EXPECT_FALSE(probe_com_port(6)); // missing
    {
        SerialPort first;
        ASSERT_EQ(first.open(link), PortOpenResult::Ok);
        SerialPort second;
        PortOpenResult held = second.open(link);
        EXPECT_EQ(held, PortOpenResult::AccessFailed);
        // Held by another open: the cause callers tell apart from every other one.
        EXPECT_TRUE(held.held_elsewhere()) << held.error.message();
        EXPECT_FALSE(probe_com_port(5));
    }
    SerialPort again;
    EXPECT_EQ(again.open(link), PortOpenResult::Ok);
    again.close();
    unlink(link.c_str());
    rmdir(dir);
}

TEST(SerialPort, MissingDeviceAndNonTerminal) {
    SerialPort port;
    PortOpenResult missing = port.open("/nonexistent/ttyX");
    EXPECT_EQ(missing, PortOpenResult::AccessFailed);
    EXPECT_EQ(missing.error, std::errc::no_such_file_or_directory);
    EXPECT_FALSE(missing.held_elsewhere());
    char path[] = "/tmp/tessary-file-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    PortOpenResult not_a_terminal = port.open(path);
    EXPECT_EQ(not_a_terminal, PortOpenResult::SettingsFailed);
    EXPECT_EQ(not_a_terminal.error, std::errc::inappropriate_io_control_operation);
    EXPECT_FALSE(port.is_open());
    unlink(path);
}

std::string group_name(gid_t gid) {
    const group* g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

TEST(SerialPort, OpenMessagesSayWhatToDoAboutTheCause) {
    const std::string access =
        "Couldn't gain access to the COM port. Is another application using it?";
    const std::string settings = "Couldn't set the COM parameters. Is it the right COM port?";
    char dir[] = "/tmp/tessary-msg-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string device = std::string(dir) + "/ttyUSB0";
    close(open(device.c_str(), O_CREAT | O_WRONLY, 0600));
    const std::string dangling = std::string(dir) + "/COM4";
    ASSERT_EQ(symlink("/dev/serial/by-id/usb-gone-if00", dangling.c_str()), 0);
    struct Case {
        PortOpenResult::Stage stage;
        std::errc cause;
        std::string path;
        std::string text;
    };
    const Case cases[] = {
        {PortOpenResult::AccessFailed, std::errc::device_or_resource_busy, device, access},
        {PortOpenResult::AccessFailed, std::errc::no_such_file_or_directory, "/nonexistent/ttyS9",
         "Couldn't gain access to the COM port: there is no device /nonexistent/ttyS9."},
        {PortOpenResult::AccessFailed, std::errc::no_such_file_or_directory, dangling,
         "Couldn't gain access to the COM port: there is no device " + dangling +
             ".\nIt points to /dev/serial/by-id/usb-gone-if00, which is not there. Is the "
             "adapter plugged in?"},
        {PortOpenResult::AccessFailed, std::errc::io_error, device,
         access + "\nReason: Input/output error"},
        {PortOpenResult::AccessFailed, std::errc::connection_refused, "tcp:10.0.0.9:4001",
         "Couldn't connect to the controller at 10.0.0.9:4001. Is the device server switched on "
         "and reachable?\nReason: Connection refused"},
        {PortOpenResult::SettingsFailed, std::errc::inappropriate_io_control_operation, device,
         settings + "\nReason: Inappropriate ioctl for device"},
    };
    for (const Case& c : cases) {
        PortOpenResult r{c.stage, std::make_error_code(c.cause), c.path};
        EXPECT_EQ(port_open_message(r), c.text);
    }
    unlink(dangling.c_str());
    unlink(device.c_str());
    rmdir(dir);
}

// Real refusals: a pseudo-terminal of mode 0660 opened by nobody (root opens anything, so the
// open runs in a child that has become nobody). Joining the device's group is advised only for a
// group that users join, never for root's.
TEST(SerialPort, PermissionDeniedAdvisesJoiningOnlyAGroupUsersJoin) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root to give the device a group and to become nobody";
    }
    const std::string dialout = group_name(20);
    const std::pair<gid_t, std::string> cases[] = {
        {20, "The device belongs to the group \"" + dialout +
                 "\". To use it, add yourself to that group:\n\n    sudo usermod -aG " + dialout +
                 " $USER\n\nthen log out and log in again."},
        {0, "The device is not open to this user. Ask an administrator to give you access to it."},
    };
    for (const auto& [gid, advice] : cases) {
        Pty pty;
        ASSERT_EQ(chown(pty.path.c_str(), 0, gid), 0);
        ASSERT_EQ(chmod(pty.path.c_str(), 0660), 0);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        if (fork() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(2);
            }
            SerialPort port;
            std::string text = port_open_message(port.open(pty.path));
            _exit(write(out[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 3);
        }
        close(out[1]);
        std::string text(1024, '\0');
        text.resize(std::max<ssize_t>(read(out[0], text.data(), text.size()), 0));
        close(out[0]);
        wait(nullptr);
        EXPECT_EQ(text, "Couldn't gain access to the COM port: permission denied on " + pty.path +
                            ".\n" + advice);
    }
}

} // namespace
