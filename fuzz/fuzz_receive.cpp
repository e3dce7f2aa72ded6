// Feeds any byte stream to the receive side of the comm engine, as if it came from the
// controller, with the sending side's steps run between the bytes as the comm thread runs them.
#include "controller/comm_engine.h"
#include "controller/link.h"

#include "events/log_sink.h"
#include "support/link_test_access.h"
#include "support/quiet_host.h"

#include <cstddef>
#include <cstdint>

namespace {

struct StepClock final : Clock {
    uint32_t now = 0;
    uint32_t tick_ms() override { return now; }
    LocalTime local_time() override { return {}; }
    void sleep_ms(uint32_t ms) override { now += ms; }
};

struct CountingLog final : LogSink {
    size_t bytes = 0;
    void add_log_line(std::string_view key, std::string_view event, bool) override {
        bytes += key.size() + event.size();
    }
};

struct NullPort final : SerialIo {
    bool write(std::string_view) override { return true; }
    int read_byte() override { return -1; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QuietHost host;
    StepClock clock;
    CountingLog log;
    KeyDatabase db;
    KeyList controller;
    DecoderContext decoder(host, clock, log, db, controller);
    Link link(host, clock, decoder);
    NullPort port;
    CommEngine engine(LinkTestAccess::shared(link), clock, decoder);
    engine.attach(port);
    LinkTestAccess::set_active(link, true);
    engine.begin_receive();
    // The first bytes, when present, steer the sending side: requests and a small transfer.
    static const KeyId keys[3] = {{0, 1, 0}, {0, 0xabcdef, 0}, {0, 0xffffffff, 0}};
    if (size > 0) {
        LinkTestAccess::set_requests(link, data[0]);
    }
    if (size > 1 && (data[1] & 3) != 0) {
        LinkTestAccess::start_transfer(link, std::vector<KeyId>(keys, keys + (data[1] & 3)),
                                       (data[1] & 4) != 0);
    }
    for (size_t i = 0; i < size; ++i) {
        engine.pass();
        engine.handle_byte(data[i]);
        clock.now += data[i] & 0x3f; // moves the repeat windows and the watchdog
    }
    engine.end_receive();
    LinkTestAccess::set_active(link, false);
    return 0;
}
