// A SerialIo without a device: keeps every write as one chunk and serves reads from a queue.
// For driving the comm thread's steps on the test's own thread.
#pragma once

#include "platform/serial_port.h"

#include <deque>
#include <string>
#include <vector>

class RecordingPort final : public SerialIo {
  public:
    bool write(std::string_view bytes) override {
        writes.emplace_back(bytes);
        return true;
    }
    int read_byte() override {
        if (input.empty()) {
            return -1;
        }
        int b = static_cast<unsigned char>(input.front());
        input.pop_front();
        return b;
    }

    std::string written() const {
        std::string all;
        for (const auto& w : writes) {
            all += w;
        }
        return all;
    }

    std::vector<std::string> writes;
    std::deque<char> input;
};
