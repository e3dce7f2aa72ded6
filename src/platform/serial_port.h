// The serial line to the key controller over termios: 9600 baud, 8N1, raw, no flow control.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The byte channel the comm thread drives. A SerialPort is one; tests and the fuzzer substitute
// their own so that the link logic runs without a device.
struct SerialIo {
    virtual ~SerialIo() = default;
    // Bounded by 10 ms per byte; true only when every byte went out.
    virtual bool write(std::string_view bytes) = 0;
    // Returns at once: the next received byte (0..255), or -1 when none is waiting.
    virtual int read_byte() = 0;
    // Waits up to timeout_ms for a byte to arrive (returns early when one does).
    virtual void wait_readable(uint32_t timeout_ms) = 0;
};

enum class PortOpenResult {
    Ok,
    AccessFailed,   // missing, no permission, or held by another program
    SettingsFailed, // opened, but the line settings were refused (not a terminal)
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
    void wait_readable(uint32_t timeout_ms) override;

  private:
    int fd_ = -1;
    bool exclusive_ = false;  // TIOCEXCL was set and must be cleared before the close
    bool seen_empty_ = false; // the last wait timed out: a read now would find nothing
};

// Opens COM port n exclusively and closes it at once: true when that worked. For the settings
// dialog's list of available ports.
bool probe_com_port(uint32_t port);
