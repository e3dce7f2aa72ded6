// The service: the controllers of the site file's databases, and the local clients that follow
// and drive them over a Unix socket, one JSON object a line each way. One thread (the one that
// calls run) owns the socket, the clients and the controllers; the controllers' own threads
// hand what happens to it as notices.
#pragma once

#include "client/service_client.h"
#include "mqtt/mqtt_publisher.h"
#include "service/request_reader.h"
#include "service/served_controller.h"
#include "service/site_file.h"

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What a client may have waiting to be written before the service gives up on it.
constexpr size_t max_client_output = 4 * 1024 * 1024;

struct ServiceOptions {
    std::string site_path;
    std::string socket_path;
    // Members of this group may connect too (a system-wide service); none: only the same user.
    std::optional<gid_t> client_group;
    // How often a controller whose link does not run is tried again.
    uint32_t retry_ms = 10000;
    size_t max_output = max_client_output;
};

class Service {
  public:
    explicit Service(ServiceOptions options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Reads the site file and opens the socket; false, with the reason on stderr, when the
    // service cannot run.
    bool open();
    // Serves until stop() is asked; calls tick about once a second.
    void run(const std::function<void()>& tick = {});
    // Any thread, signal handlers excepted.
    void stop();
    // Reads the site file again: new databases are served, dropped ones let go, the others
    // keep their link.
    void reload();

    size_t controller_count() const { return controllers_.size(); }

  private:
    struct Client;
    struct Pending {
        uint64_t client = 0;
        std::string id;
        RequestOp op = RequestOp::Sync;
        std::string report;
        std::string boxes; // the boxes the run showed, as JSON objects joined by commas
    };

    bool open_socket();
    void apply_site(const SiteConfig& site);
    void wake();
    void accept_clients();
    bool peer_allowed(int fd);
    void read_client(Client& c);
    void write_client(Client& c);
    void send(Client& c, const std::string& line);
    void send_to(uint64_t client, const std::string& line);
    void drop(Client& c, const char* why);
    void handle(Client& c, const Request& r);
    ServedController* chosen(Client& c, const Request& r);
    void list(Client& c, const Request& r);
    void subscribe(Client& c, const Request& r);
    // Runs body holding the user-interface lock of each of the controllers: none of them tells
    // of an event meanwhile.
    void holding(const std::vector<ServedController*>& controllers, size_t from,
                 const std::function<void()>& body);
    void command(Client& c, const Request& r, ServedController& s);
    void start_run(Client& c, const Request& r, ServedController& s);
    void take_notices();
    void hand_on(Notice& n);
    // The answer to the client whose run (sync or compare) has ended as `n` tells.
    void answer_run(const Pending& done, const Notice& n);
    void retry_links();
    // The broker link of each controller, made again when the site's MQTT lines change.
    void apply_mqtt(const SiteConfig& site);
    void publish_to_mqtt(const Notice& n);
    void door_from_mqtt(const Notice& n);
    // The folders of the site file and of the databases are watched, so that a file saved in
    // place or renamed over is taken in.
    void watch_files();
    void take_file_events();

    ServiceOptions options_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    int inotify_fd_ = -1;
    std::map<std::string, int> watches_; // folder as spelt → its watch descriptor
    std::atomic<bool> stop_{false};
    std::atomic<bool> reload_{false};
    std::vector<std::unique_ptr<ServedController>> controllers_;
    std::vector<std::unique_ptr<Client>> clients_;
    uint64_t next_client_ = 1;
    std::map<uint64_t, Pending> pending_; // by controller serial: its running sync or compare
    // The events handed on lately, by controller serial: those the store may not hold yet,
    // which a backlog takes from here.
    struct Recent {
        int64_t time_ms = 0;
        uint64_t taken_ms = 0;
        std::string json;
    };
    std::map<uint64_t, std::deque<Recent>> recent_;
    uint64_t last_retry_ms_ = 0;

    std::mutex notices_mutex_;
    std::vector<Notice> notices_;

    struct Broker {
        std::unique_ptr<MqttPublisher> publisher;
        std::string status; // the link state last published
    };
    SiteConfig site_;                    // as last applied
    bool mqtt_refused_ = false;          // its settings cannot work: said once, until they change
    std::map<uint64_t, Broker> brokers_; // by controller serial
};
