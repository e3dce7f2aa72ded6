// The service's request reader over arbitrary client bytes: any line either becomes a request
// or an error answer, and the reader never holds more than its bound.
#include "service/request_reader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LineReader reader(4096);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Fed in two pieces, so that a line cut across reads is exercised too.
    const size_t half = size / 2;
    reader.feed(bytes.substr(0, half));
    reader.feed(bytes.substr(half));
    reader.feed("\n");
    while (std::optional<LineReader::Line> line = reader.next()) {
        std::string answer;
        std::optional<Request> request = read_request(*line, &answer);
        // Exactly one of the two, and an answer is one whole line.
        if (request.has_value() != answer.empty() ||
            (!answer.empty() && answer.find('\n') != answer.size() - 1)) {
            __builtin_trap();
        }
    }
    return 0;
}
