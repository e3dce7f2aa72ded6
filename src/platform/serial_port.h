// The serial line to the key controller over termios: 9600 baud, 8N1, raw, no flow control.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

// The byte channel the comm thread drives. A SerialPort is one; tests and the fuzzer substitute
// their own so that the link logic runs without a device.
struct SerialIo {
    virtual ~SerialIo() = default;
    // Bounded by 10 ms per byte; true only when every byte went out.
    virtual bool write(std::string_view bytes) = 0;
    // Returns at once: the next received byte (0..255), or -1 when none is waiting.
    virtual int read_byte() = 0;
    // The descriptor to poll for arriving bytes, or -1 for a channel without one.
    virtual int poll_fd() const { return -1; }
    // The channel broke for good (a read or write error, the other end gone): nothing more
    // will pass until it is opened anew. A write that merely ran out of time is not a break.
    virtual bool broken() const { return false; }
};

// How an open went, and why it failed: the system's own cause, so that a message can name it.
struct PortOpenResult {
    enum Stage {
        Ok,
        AccessFailed,   // missing, no permission, or held by another program
        SettingsFailed, // opened, but the line settings were refused (not a terminal)
        HostNotFound,   // a tcp: entry whose host name does not resolve
        MalformedEntry, // a port entry that is a file but does not hold tcp:HOST:PORT
    };
    Stage stage = Ok;
    std::error_code error;
    std::string path; // what was opened: a device path, or tcp:HOST:PORT

    explicit operator bool() const { return stage == Ok; }
    // Another program (or another open of ours) holds the device; every other access failure
    // is the device's or the user's.
    bool held_elsewhere() const {
        return stage == AccessFailed && error == std::errc::device_or_resource_busy;
    }
    friend bool operator==(const PortOpenResult& r, Stage s) { return r.stage == s; }
};

// A byte channel over one non-blocking descriptor: reads ahead per burst, writes bounded by
// 10 ms per byte, and remembers when the descriptor broke.
class FdChannel : public SerialIo {
  public:
    FdChannel() = default;
    ~FdChannel() override;
    FdChannel(const FdChannel&) = delete;
    FdChannel& operator=(const FdChannel&) = delete;

    virtual void close();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool write(std::string_view bytes) override;
    int read_byte() override;
    int poll_fd() const override { return fd_; }
    bool broken() const override { return broken_; }
    // The cause of the last failed write or read; cleared by the next success.
    std::error_code last_error() const { return last_error_; }
    // Waits up to timeout_ms for a byte to arrive (returns early when one does). A hung-up line
    // waits out its time instead of returning at once.
    void wait_readable(uint32_t timeout_ms);

  protected:
    // Takes over an open descriptor.
    void adopt(int fd);
    int fd_ = -1;

  private:
    void fail(std::error_code cause);
    bool broken_ = false;
    bool socket_ = false;
    std::error_code last_error_;
    // Bytes read ahead: one read per burst rather than one per byte.
    unsigned char in_[256] = {};
    size_t in_pos_ = 0;
    size_t in_len_ = 0;
};

class SerialPort final : public FdChannel {
  public:
    SerialPort() = default;
    ~SerialPort() override;

    // Opens the device exclusively and applies the line settings. On SettingsFailed the device
    // is already closed again.
    PortOpenResult open(const std::string& path);
    void close() override;
    // The device passes received bytes on at once rather than after its latency timer.
    bool low_latency() const { return low_latency_; }

  private:
    bool exclusive_ = false; // TIOCEXCL was set and must be cleared before the close
    bool low_latency_ = false;
};

// Asks a serial device to pass received bytes on at once (ASYNC_LOW_LATENCY): empty when it now
// does, else why not — a device without the setting (a pseudo-terminal) or one that refused it.
std::error_code request_low_latency(int fd);

// The text for a failed open, as the comm thread shows it: the message for its stage, and what
// the user can do about the cause — the group and command for a refused permission (or, for a
// device of root's group, to ask an administrator), the path tried for a missing device, the
// host name that did not resolve, the form a malformed entry lacks, the system's reason
// otherwise. A busy device keeps the plain access message, which already says what is wrong.
std::string port_open_message(const PortOpenResult& result);

// Opens COM port n exclusively and closes it at once: true when that worked. For the settings
// dialog's list of available ports.
bool probe_com_port(uint32_t port);
