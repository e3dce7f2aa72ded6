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
};

// How an open went, and why it failed: the system's own cause, so that a message can name it.
struct PortOpenResult {
    enum Stage {
        Ok,
        AccessFailed,   // missing, no permission, or held by another program
        SettingsFailed, // opened, but the line settings were refused (not a terminal)
    };
    Stage stage = Ok;
    std::error_code error;

    explicit operator bool() const { return stage == Ok; }
    // Another program (or another open of ours) holds the device; every other access failure
    // is the device's or the user's.
    bool held_elsewhere() const {
        return stage == AccessFailed && error == std::errc::device_or_resource_busy;
    }
    friend bool operator==(const PortOpenResult& r, Stage s) { return r.stage == s; }
};

class SerialPort final : public SerialIo {
  public:
    SerialPort() = default;
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device exclusively and applies the line settings. On SettingsFailed the device
    // is already closed again.
    PortOpenResult open(const std::string& path);
    void close();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool write(std::string_view bytes) override;
    int read_byte() override;
    int poll_fd() const override { return fd_; }
    // The cause of the last failed write or read; cleared by the next success.
    std::error_code last_error() const { return last_error_; }
    // Waits up to timeout_ms for a byte to arrive (returns early when one does). A hung-up line
    // waits out its time instead of returning at once.
    void wait_readable(uint32_t timeout_ms);

  private:
    int fd_ = -1;
    bool exclusive_ = false; // TIOCEXCL was set and must be cleared before the close
    std::error_code last_error_;
    // Bytes read ahead: one read per burst rather than one per byte.
    unsigned char in_[256] = {};
    size_t in_pos_ = 0;
    size_t in_len_ = 0;
};

// The text for a failed open, as the comm thread shows it: the message for its stage and, where
// it says more than the message, the system's reason on a line of its own.
std::string port_open_message(const PortOpenResult& result);

// Opens COM port n exclusively and closes it at once: true when that worked. For the settings
// dialog's list of available ports.
bool probe_com_port(uint32_t port);
