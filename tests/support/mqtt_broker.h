// A broker of the test's own on a free loopback port, and a subscriber that keeps what it hears.
#pragma once

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

class TestBroker {
  public:
    // Keeps its sessions and retained messages in `dir` across a restart.
    explicit TestBroker(std::string dir) : dir_(std::move(dir)) { port_ = free_port(); }
    ~TestBroker() { stop(); }

    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

    bool start() {
        const std::string conf = dir_ + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\n"
                            << "allow_anonymous true\n"
                            << "persistence true\npersistence_location " << dir_ << "/\n"
                            << "max_queued_messages 100000\n"
                            << "user root\nlog_dest none\n";
        pid_ = fork();
        if (pid_ == 0) {
            freopen("/dev/null", "w", stderr); // its warning about running as root
            execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (accepts()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // SIGTERM, so that it writes what it keeps before it goes.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    static int free_port() {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        close(s);
        return ntohs(a.sin_port);
    }
    bool accepts() const {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        return ok;
    }

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Subscribes with QoS 1 and keeps each (topic, payload) it receives. A client id with
// clean=false keeps its session at the broker while it is away.
class TestSubscriber {
  public:
    TestSubscriber(int port, std::string topic, const char* id = nullptr, bool clean = true)
        : topic_(std::move(topic)) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(id, clean, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, static_cast<TestSubscriber*>(self)->topic_.c_str(),
                                    1);
            }
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<TestSubscriber*>(self);
            std::lock_guard lock(s->mutex_);
            s->subscribed_ = true;
            s->changed_.notify_all();
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* s = static_cast<TestSubscriber*>(self);
                std::lock_guard lock(s->mutex_);
                s->heard_.emplace_back(m->topic, std::string(static_cast<const char*>(m->payload),
                                                             static_cast<size_t>(m->payloadlen)));
                s->changed_.notify_all();
            });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
    }
    ~TestSubscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false); // ends once disconnected; a cancelled one holds locks
        mosquitto_destroy(mosq_);
    }
    bool wait_subscribed() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; });
    }
    // Waits until `n` messages are heard; all of them, however many that is.
    std::vector<std::pair<std::string, std::string>> wait_heard(size_t n, int seconds = 10) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return heard_.size() >= n; });
        return heard_;
    }
    void publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false);
    }

  private:
    std::string topic_;
    mosquitto* mosq_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<std::pair<std::string, std::string>> heard_;
};
