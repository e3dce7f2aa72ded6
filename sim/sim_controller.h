// A simulated key controller of the RD family on a pseudo-terminal, for tests, benchmarks and
// trying the program without hardware. Its wire forms are described in sim/README.md.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

enum class SimModel { Rd04, Rd03 };
enum class SimKeyKind { Auto, Valid, Invalid, Master }; // Auto: as the key memory says

struct SimOptions {
    SimModel model = SimModel::Rd04;
    bool line_timing = false;     // take 10 bits at 9600 baud per byte, both directions
    size_t capacity = 250;        // key memory page, master included
    uint32_t door_open_ms = 3000; // a door reports closed again this long after opening; 0: never
    std::string version = "V2.1";
    // Serve one TCP client at a time on 127.0.0.1, as a device server in front of the unit
    // would, instead of a pseudo-terminal.
    bool tcp = false;
};

class SimController {
  public:
    explicit SimController(SimOptions options = {});
    ~SimController();
    SimController(const SimController&) = delete;
    SimController& operator=(const SimController&) = delete;

    // Opens the pseudo-terminal (or the TCP listener) and starts serving it. False when it
    // cannot be had.
    bool start();
    void stop();
    // The device path the program opens (/dev/pts/N), or tcp:127.0.0.1:PORT.
    std::string device() const { return device_; }
    // Places (or replaces) port_dir/COMn: a symlink to the device, or a file holding the TCP
    // endpoint. Creates port_dir if needed.
    bool link_as(const std::string& port_dir, uint32_t com);

    // Key memory. The master key comes first in a read-out.
    void set_memory(uint32_t master, const std::vector<uint32_t>& keys);
    std::vector<uint32_t> memory(); // master first; empty without a master
    void set_model(SimModel model); // announced at the next reset
    void set_capacity(size_t capacity);
    void set_silent(bool silent);  // answers nothing at all (echoes included)
    void refuse_key(uint32_t key); // "n"/"d" of this key are answered with "?"
    // "n" of this key is acknowledged with "!" but the key is not stored: a unit whose memory
    // fails silently, which only a read-back can catch.
    void drop_key(uint32_t key);

    // Reports the unit sends by itself.
    void present_key(uint32_t key, SimKeyKind kind = SimKeyKind::Auto, bool door_b = false,
                     bool open_door = false);
    void manual_add(uint32_t key);    // new key at the contact, then the master with "add"
    void manual_delete(uint32_t key); // the key, then the master with "delete"
    void contact_shorted(bool door_b = false);
    void penalty(uint32_t key, bool door_b = false);
    void open_door(bool door_b = false); // as if the "o"/"b" command had come
    void door_closed(bool door_b = false);
    void send_raw(const std::string& bytes);

    // What the program sent, and how.
    std::string received();
    std::vector<std::string> received_chunks();             // as each read() returned them
    std::string sent();                                     // everything this side wrote
    std::chrono::steady_clock::time_point last_sent_time(); // when the last byte went out
    int pacing_violations(); // RD-03: a byte came before its echo went
    // RD-03: for each byte of the program that came after an echo or a prompt of ours, the time
    // from that echo going out to the byte's arrival: the program's turnaround, with the
    // terminal's and this side's own wake-up in it.
    std::vector<std::chrono::nanoseconds> answer_gaps();
    int resets();
    int commands(char kind); // complete commands handled, by first byte ("n", "d", "o", ...)
    void clear_record();
    // Waits until pred() (called under the simulator's lock) holds or timeout_ms passes.
    bool wait_until(const std::function<bool()>& pred, int timeout_ms);
    bool wait_received(const std::string& tail, int timeout_ms); // received() ends with tail
    // Waits until everything queued has been written to the line.
    bool wait_idle(int timeout_ms);

  private:
    using Clock = std::chrono::steady_clock;
    struct InByte {
        char byte;
        Clock::time_point ready;
    };
    struct Timer {
        Clock::time_point when;
        std::string bytes;
    };

    void run();
    // The steps of one pass of run(), under the lock; each says whether it changed anything.
    bool take_received(Clock::time_point now);
    bool fire_timers(Clock::time_point now);
    bool send_queued(Clock::time_point now, bool& blocked); // blocked: the line took no more
    Clock::time_point next_wake(Clock::time_point now, bool blocked) const;
    void read_line(); // what the program has written, queued to arrive at the line's pace
    void wake();
    void handle_byte(char b);
    void finish_command(const std::string& cmd);
    // The answers to the commands, by kind.
    void answer_open(bool door_b);
    void answer_read_out();
    void answer_clear();
    void answer_transfer(const std::string& cmd); // "n" or "d" with the key's six digits
    void reset_unit();
    void emit(const std::string& bytes, bool readiness = false); // queue for the line
    // A report line the unit sends by itself; held back while a command is being received.
    void queue_report(const std::string& line, uint32_t delay_ms = 0);
    void emit_report(const std::string& line);
    void prompt();
    std::string key_report(uint32_t key, const std::string& result, bool door_b) const;
    std::string kind_result(uint32_t key, SimKeyKind kind) const;
    bool in_memory(uint32_t key) const;
    size_t memory_size() const;

    SimOptions opt_;
    SimModel announced_;
    bool start_pty();
    bool start_tcp();
    ssize_t write_line(char c);
    void accept_client();
    void drop_client();

    int master_fd_ = -1; // the pty master or the TCP client; -1 while no client is connected
    int slave_fd_ = -1;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::string device_;
    std::vector<std::string> links_;
    std::thread thread_;
    bool stopping_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // unit state
    bool has_master_ = false;
    uint32_t master_ = 0;
    std::vector<uint32_t> keys_;
    std::set<uint32_t> refused_;
    std::set<uint32_t> dropped_;
    bool silent_ = false;
    std::string command_;     // being assembled
    bool may_receive_ = true; // RD-03: the prompt or the last echo has gone out
    bool connected_ = false;  // a reset has come since the start
    // line
    struct OutByte {
        char byte;
        bool readiness; // it makes the RD-03 ready
        Clock::time_point queued;
    };
    std::deque<OutByte> out_;
    Clock::time_point event_time_{}; // the received byte or timer being handled, if any
    Clock::time_point tx_free_{};    // the line carries no byte of ours from then on
    Clock::time_point head_due_{};   // when the first queued byte has fully gone out
    bool head_started_ = false;
    Clock::time_point last_in_ready_{};
    std::deque<InByte> in_;
    std::vector<Timer> timers_;
    // record
    std::string received_;
    std::vector<std::string> chunks_;
    std::string sent_;
    Clock::time_point last_sent_{};
    Clock::time_point ready_sent_{}; // the last echo or prompt went out
    bool awaiting_answer_ = false;
    std::vector<std::chrono::nanoseconds> answer_gaps_;
    int violations_ = 0;
    int resets_ = 0;
    int command_counts_[256] = {};
};

// 10 bits of 9600 baud.
constexpr std::chrono::nanoseconds sim_byte_time{1041667};
// How long before a byte is due the simulator stops sleeping and watches the clock instead.
constexpr std::chrono::microseconds sim_spin_margin{400};
