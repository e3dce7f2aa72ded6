#include "mqtt/mqtt_publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Acknowledged one by one, so a window of messages on the way keeps a busy site's line full
// without letting the broker's own queue grow without bound.
constexpr int max_in_flight = 100;
constexpr int max_backoff_ms = 10000;
constexpr int keepalive_s = 30;
// How long a stopping service still gives what waits to reach the broker.
constexpr int64_t farewell_ms = 2000;

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string error_text(int rc) {
    if (rc == MOSQ_ERR_ERRNO) {
        return std::strerror(errno);
    }
    return mosquitto_strerror(rc);
}

void init_library() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

} // namespace

std::optional<MqttAddress> parse_mqtt_url(const std::string& url, std::string* error) {
    MqttAddress a;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        a.tls = true;
        a.port = 8883;
    } else {
        *error = "'" + url + "' is no mqtt://HOST:PORT address";
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    const size_t colon = rest.rfind(':');
    // A bracketed IPv6 address keeps its colons.
    if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        rest.resize(colon);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) == 0 ||
            std::stoi(port) > 65535) {
            *error = "'" + url + "' has no port from 1 to 65535";
            return std::nullopt;
        }
        a.port = std::stoi(port);
    }
    if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') {
        rest = rest.substr(1, rest.size() - 2);
    }
    if (rest.empty() || rest.find_first_of("/@ ") != std::string::npos) {
        *error = "'" + url + "' names no host";
        return std::nullopt;
    }
    a.host = rest;
    return a;
}

std::string mqtt_site_name(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
            out += static_cast<char>(c);
        } else if (!out.empty() && out.back() != '-') {
            out += '-'; // a run of blanks and signs is one dash
        }
    }
    while (!out.empty() && out.back() == '-') {
        out.pop_back();
    }
    return out.empty() ? "site" : out;
}

std::string mqtt_controller_name(const std::string& database_path) {
    std::string name = database_path.substr(database_path.find_last_of('/') + 1);
    if (name.size() > 4) {
        std::string ext = name.substr(name.size() - 4);
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".tsy") {
            name.resize(name.size() - 4);
        }
    }
    // A topic level may hold neither a level separator nor a wildcard.
    for (char& c : name) {
        if (c == '/' || c == '+' || c == '#') {
            c = '-';
        }
    }
    return name;
}

MqttPublisher::MqttPublisher(MqttSettings settings, std::string topic_prefix,
                             std::function<void(const std::string&)> diagnostic)
    : settings_(std::move(settings)), prefix_(std::move(topic_prefix)),
      diagnostic_(std::move(diagnostic)) {}

MqttPublisher::~MqttPublisher() {
    if (thread_.joinable()) {
        stop_.store(true, std::memory_order_release);
        wake();
        thread_.join();
    }
    if (mosq_) {
        mosquitto_destroy(mosq_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

bool MqttPublisher::start(std::string* error) {
    if (thread_.joinable()) {
        *error = "already started";
        return false;
    }
    std::optional<MqttAddress> address = parse_mqtt_url(settings_.url, error);
    if (!address) {
        return false;
    }
    address_ = *address;
    if (!settings_.password_file.empty()) {
        std::ifstream in(settings_.password_file);
        if (!in || !std::getline(in, password_)) {
            *error = settings_.password_file + ": the password cannot be read";
            return false;
        }
        if (!password_.empty() && password_.back() == '\r') {
            password_.pop_back();
        }
    }
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        *error = std::strerror(errno);
        return false;
    }
    init_library();
    thread_ = std::thread([this] { run(); });
    return true;
}

void MqttPublisher::publish_event(std::string json) {
    enqueue(Message{prefix_ + "/events", std::move(json), false, -1});
}

void MqttPublisher::publish_status(std::string status) {
    {
        std::lock_guard lock(mutex_);
        last_status_ = status;
    }
    enqueue(Message{prefix_ + "/status", std::move(status), true, -1});
}

void MqttPublisher::enqueue(Message message) {
    bool tell = false;
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= queue_capacity) {
            queue_.pop_front();
            ++dropped_;
            tell = !drop_told_;
            drop_told_ = true;
        }
        message.seq = next_seq_++;
        queue_.push_back(std::move(message));
    }
    // Told from here: the publisher's thread may be the one that is stuck.
    if (tell && diagnostic_) {
        diagnostic_("MQTT: " + std::to_string(queue_capacity) +
                    " events wait for the broker; the oldest give way to new ones");
    }
    wake();
}

size_t MqttPublisher::waiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

uint64_t MqttPublisher::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void MqttPublisher::wake() {
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
    }
}

void MqttPublisher::open_connection() {
    const std::string id = "tessaryd-" + mqtt_site_name(prefix_);
    mosq_ = mosquitto_new(id.c_str(), true, this);
    if (!mosq_) {
        drop_connection(std::strerror(errno));
        return;
    }
    mosquitto_connect_callback_set(mosq_, connected_cb);
    mosquitto_disconnect_callback_set(mosq_, disconnected_cb);
    mosquitto_publish_callback_set(mosq_, published_cb);
    mosquitto_message_callback_set(mosq_, message_cb);
    mosquitto_max_inflight_messages_set(mosq_, max_in_flight);
    const std::string will_topic = prefix_ + "/status";
    mosquitto_will_set(mosq_, will_topic.c_str(), 7, "offline", 1, true);
    if (!settings_.user.empty()) {
        mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                                  settings_.password_file.empty() ? nullptr : password_.c_str());
    }
    if (address_.tls || !settings_.ca_file.empty()) {
        const int rc = mosquitto_tls_set(
            mosq_, settings_.ca_file.empty() ? nullptr : settings_.ca_file.c_str(),
            settings_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            drop_connection("TLS: " + error_text(rc));
            return;
        }
    }
    const int rc = mosquitto_connect(mosq_, address_.host.c_str(), address_.port, keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        drop_connection(error_text(rc));
    }
}

void MqttPublisher::drop_connection(const std::string& why) {
    if (mosq_) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    connected_.store(false, std::memory_order_release);
    lost_ = false;
    lost_reason_.clear();
    {
        // What was on the way goes again, in order, on the next connection: at least once.
        std::lock_guard lock(mutex_);
        for (Message& m : queue_) {
            m.mid = -1;
        }
    }
    if (!outage_told_ && diagnostic_) {
        // The library's texts end in a full stop; the sentence goes on after them.
        std::string reason = why;
        while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) {
            reason.pop_back();
        }
        diagnostic_("MQTT broker " + settings_.url + ": " + reason +
                    "; events wait until it is back");
    }
    outage_told_ = true;
    next_try_ms_ = steady_ms() + backoff_ms_;
    backoff_ms_ = std::min(backoff_ms_ * 2, max_backoff_ms);
}

void MqttPublisher::send_waiting() {
    // Copied out first: the library's callbacks take mutex_ under its own locks, so mutex_ is
    // never held while the library is called.
    std::vector<Message> batch;
    {
        std::lock_guard lock(mutex_);
        int in_flight = 0;
        for (const Message& m : queue_) {
            if (m.mid >= 0) {
                ++in_flight;
            } else if (in_flight + static_cast<int>(batch.size()) < max_in_flight) {
                batch.push_back(m);
            } else {
                break;
            }
        }
    }
    for (Message& m : batch) {
        if (mosquitto_publish(mosq_, &m.mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), 1, m.retain) != MOSQ_ERR_SUCCESS) {
            m.mid = -1;
            lost_ = true;
            break;
        }
    }
    std::lock_guard lock(mutex_);
    for (const Message& m : batch) {
        if (m.mid < 0) {
            break;
        }
        // Dropped meanwhile when the queue overflowed: the broker has it anyway.
        auto it = std::lower_bound(queue_.begin(), queue_.end(), m.seq,
                                   [](const Message& q, uint64_t seq) { return q.seq < seq; });
        if (it != queue_.end() && it->seq == m.seq) {
            it->mid = m.mid;
        }
    }
}

void MqttPublisher::run() {
    while (!stop_.load(std::memory_order_acquire)) {
        if (!mosq_ && steady_ms() >= next_try_ms_) {
            open_connection();
        }
        if (mosq_ && connected()) {
            send_waiting();
        }
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
        std::optional<int64_t> until_next_try;
        if (mosq_) {
            fds[1].fd = mosquitto_socket(mosq_);
            fds[1].events =
                static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
        } else {
            until_next_try = next_try_ms_ - steady_ms();
        }
        poll(fds, 2, mqtt_idle_wait_ms(connected(), until_next_try));
        if (fds[0].revents & POLLIN) {
            uint64_t n = 0;
            [[maybe_unused]] ssize_t r = read(wake_fd_, &n, sizeof n);
        }
        if (!mosq_) {
            continue;
        }
        int rc = MOSQ_ERR_SUCCESS;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            rc = mosquitto_loop_read(mosq_, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) {
            rc = mosquitto_loop_write(mosq_, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop_misc(mosq_);
        }
        if (rc != MOSQ_ERR_SUCCESS || lost_) {
            drop_connection(rc != MOSQ_ERR_SUCCESS ? error_text(rc) : lost_reason_);
        }
    }
    say_offline();
}

int mqtt_idle_wait_ms(bool connected, std::optional<int64_t> until_next_try_ms) {
    if (until_next_try_ms) {
        return static_cast<int>(std::clamp<int64_t>(*until_next_try_ms, 0, 1000));
    }
    // A ping then goes out at most this much later than the keepalive asks, well within the
    // half keepalive more that the broker grants.
    return connected ? keepalive_s * 1000 / 6 : 1000;
}

void MqttPublisher::say_offline() {
    if (!mosq_ || !connected()) {
        return;
    }
    // A clean end sends no last will: the status says it instead, after what still waits.
    enqueue(Message{prefix_ + "/status", "offline", true, -1});
    const int64_t until = steady_ms() + farewell_ms;
    while (waiting() > 0 && steady_ms() < until && connected() && !lost_) {
        send_waiting();
        pollfd fd{mosquitto_socket(mosq_),
                  static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
        poll(&fd, 1, 100);
        int rc = MOSQ_ERR_SUCCESS;
        if (fd.revents & (POLLIN | POLLHUP | POLLERR)) {
            rc = mosquitto_loop_read(mosq_, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) {
            rc = mosquitto_loop_write(mosq_, 1);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            break;
        }
    }
    mosquitto_disconnect(mosq_);
    mosquitto_loop_write(mosq_, 1);
}

void MqttPublisher::connected_cb(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc != 0) {
        p->lost_ = true;
        p->lost_reason_ = std::string("refused: ") + mosquitto_connack_string(rc);
        return;
    }
    p->connected_.store(true, std::memory_order_release);
    p->backoff_ms_ = 500;
    if (p->outage_told_ && p->diagnostic_) {
        p->diagnostic_("MQTT broker " + p->settings_.url + " is back");
    }
    p->outage_told_ = false;
    if (p->on_door) {
        const std::string topic = p->prefix_ + "/door";
        mosquitto_subscribe(p->mosq_, nullptr, topic.c_str(), 1);
    }
    const std::string status_topic = p->prefix_ + "/status";
    std::string status;
    {
        std::lock_guard lock(p->mutex_);
        const bool waiting = std::any_of(p->queue_.begin(), p->queue_.end(),
                                         [&](const Message& m) { return m.topic == status_topic; });
        status = waiting ? std::string() : p->last_status_;
    }
    // A broker that lost its retained messages, or that published the will of an earlier
    // connection, learns the state of now; a state still waiting to go says it already.
    if (!status.empty()) {
        p->enqueue(Message{status_topic, std::move(status), true, -1});
    }
}

void MqttPublisher::disconnected_cb(mosquitto*, void* self, int) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (!p->lost_) {
        p->lost_ = true;
        p->lost_reason_ = "the broker closed the connection";
    }
}

void MqttPublisher::published_cb(mosquitto*, void* self, int mid) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(p->mutex_);
    auto it = std::find_if(p->queue_.begin(), p->queue_.end(),
                           [mid](const Message& m) { return m.mid == mid; });
    if (it != p->queue_.end()) {
        p->queue_.erase(it);
    }
}

void MqttPublisher::message_cb(mosquitto*, void* self, const mosquitto_message* m) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (!p->on_door || !m->topic || p->prefix_ + "/door" != m->topic || m->payloadlen != 1) {
        return;
    }
    const char door = *static_cast<const char*>(m->payload);
    if (door == 'A' || door == 'B') {
        p->on_door(door);
    }
}
