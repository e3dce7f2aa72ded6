// A desk's side of tessaryd's socket: finding it, one connection, requests written and the
// lines that come back (answers, progress, events) read one at a time, each within a timeout.
#pragma once

#include "client/json_value.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// $XDG_RUNTIME_DIR/tessary/tessaryd.sock; empty when XDG_RUNTIME_DIR is unset.
std::string default_socket_path();

// A string as a JSON string, quotes included.
std::string json_quoted(std::string_view utf8);

// One controller of a `list` answer.
struct ServedEntry {
    std::string database; // as the service names it
    unsigned port = 0;    // 0: none
    std::string state;    // connected, lost or none
    std::string model;
    std::string reason; // why it is not served, when state is none
};

class ServiceClient {
  public:
    ServiceClient() = default;
    ~ServiceClient();
    ServiceClient(const ServiceClient&) = delete;
    ServiceClient& operator=(const ServiceClient&) = delete;

    // False when no service listens at path (none there, or refused).
    bool connect(const std::string& path);
    bool connected() const { return fd_ >= 0; }
    void close();
    int fd() const { return fd_; }

    // Writes one request: fields are its members but the id, already JSON ("\"op\": \"list\"").
    // Returns the id given to it, or none when the service is gone.
    std::optional<uint64_t> send(const std::string& fields);
    // The next line the service sends, within timeout_ms (negative: no limit); none on a
    // timeout, a closed connection or a line that is not JSON.
    std::optional<JsonValue> next(int timeout_ms);
    // Takes in what has come without waiting, for a caller that polls fd() itself; false when
    // the service has closed the connection.
    bool take_available();
    // A line already taken in, or none.
    std::optional<JsonValue> ready();
    // Sends a request and waits for its answer; the other lines that come meanwhile (progress,
    // events) go to `other`. None when no answer came in timeout_ms or the service went away.
    std::optional<JsonValue> request(const std::string& fields, int timeout_ms,
                                     const std::function<void(const JsonValue&)>& other = {});
    // The service's controllers; none when it did not answer.
    std::optional<std::vector<ServedEntry>> list(int timeout_ms);

  private:
    bool read_some(int timeout_ms);

    int fd_ = -1;
    uint64_t next_id_ = 1;
    std::string buffer_;
};

// The entry serving the database at `path` (the same file, however named), or null.
const ServedEntry* served_database(const std::vector<ServedEntry>& served, const std::string& path);
// The entry on COM port `port`, or null.
const ServedEntry* served_port(const std::vector<ServedEntry>& served, unsigned port);

// Member helpers: the text or number of a member, or a default.
std::string json_text_of(const JsonValue& v, const std::string& name);
bool json_ok(const JsonValue& v);
