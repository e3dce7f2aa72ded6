// One controller's events and link state handed to an MQTT broker, for what lies beyond this
// machine: events as they come, in order, with QoS 1 to "<prefix>/events"; the link state
// retained on "<prefix>/status", with "offline" as the connection's last will. While the broker
// is away the events wait, a bounded number of them, and go out in order when it is back.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct mosquitto;

struct MqttSettings {
    std::string url;           // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string user;          // empty: none
    std::string password_file; // its first line is the password
    std::string ca_file;       // TLS, trusting this authority
};

struct MqttAddress {
    std::string host;
    int port = 1883;
    bool tls = false;
};

std::optional<MqttAddress> parse_mqtt_url(const std::string& url, std::string* error);
// A site's name as a part of a topic: lower case, [a-z0-9-] only ("Main building" →
// "main-building").
std::string mqtt_site_name(const std::string& name);
// A database's part of its topics: its file name without ".tsy".
std::string mqtt_controller_name(const std::string& database_path);
// How long the publisher's thread sleeps when nothing wakes it. Connected, only the keepalive
// needs it, and a site's many publishers must not each wake every second for nothing; while
// connecting, a second; without a connection (until_next_try_ms set), until the next try.
int mqtt_idle_wait_ms(bool connected, std::optional<int64_t> until_next_try_ms);

class MqttPublisher {
  public:
    // A broker away for a night of a busy site must not lose its events; beyond this the oldest
    // waiting event gives way, and that is said once.
    static constexpr size_t queue_capacity = 50000;

    // topic_prefix: "tessary/<site>/<controller>". diagnostic: one line for the service's
    // diagnostics, called on the publisher's thread.
    MqttPublisher(MqttSettings settings, std::string topic_prefix,
                  std::function<void(const std::string&)> diagnostic);
    // Says "offline" and disconnects when connected.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Set before start() to take door commands: "A" or "B" published to "<prefix>/door" calls
    // it, on the publisher's thread. Left unset, nothing is subscribed.
    std::function<void(char door)> on_door;

    // Checks the settings (the address, the password file) and starts connecting in the
    // background; false with the reason when they cannot work.
    bool start(std::string* error);

    // Any thread. The JSON text of one event.
    void publish_event(std::string json);
    // Any thread. "online", "lost" or "offline", retained.
    void publish_status(std::string status);

    bool connected() const { return connected_.load(std::memory_order_acquire); }
    // Messages handed over and not yet acknowledged by the broker.
    size_t waiting() const;
    uint64_t dropped() const;

  private:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = false;
        int mid = -1;     // the broker's message id while it is on the way; -1 before it is sent
        uint64_t seq = 0; // the order handed over
    };

    void enqueue(Message message);
    void run();
    void open_connection();
    void drop_connection(const std::string& why);
    void send_waiting();
    void say_offline();
    void wake();

    static void connected_cb(mosquitto*, void* self, int rc);
    static void disconnected_cb(mosquitto*, void* self, int rc);
    static void published_cb(mosquitto*, void* self, int mid);
    static void message_cb(mosquitto*, void* self, const struct mosquitto_message* m);

    MqttSettings settings_;
    MqttAddress address_;
    std::string password_;
    std::string prefix_;
    std::function<void(const std::string&)> diagnostic_;

    mutable std::mutex mutex_;
    std::deque<Message> queue_; // under mutex_, in the order handed over
    std::string last_status_;   // under mutex_: said again on every new connection
    uint64_t dropped_ = 0;
    uint64_t next_seq_ = 0;
    bool drop_told_ = false;

    // The publisher's thread only.
    mosquitto* mosq_ = nullptr;
    bool lost_ = false; // told by a callback, acted on after it returns
    std::string lost_reason_;
    bool outage_told_ = false;
    int backoff_ms_ = 500;
    int64_t next_try_ms_ = 0;

    std::atomic<bool> connected_{false};
    std::atomic<bool> stop_{false};
    int wake_fd_ = -1;
    std::thread thread_;
};
