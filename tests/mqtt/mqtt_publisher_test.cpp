// The publisher against a real broker on loopback: order, the retained state, the last will,
// door commands, and a broker that goes away and comes back.
#include "mqtt/mqtt_publisher.h"

#include "support/mqtt_broker.h"
#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(MqttNames, AddressesAndTopicPartsAreReadAndReduced) {
    struct Url {
        const char* url;
        const char* host; // null: refused
        int port;
        bool tls;
    } urls[] = {
        {"mqtt://broker.example:1884", "broker.example", 1884, false},
        {"mqtt://10.0.0.5", "10.0.0.5", 1883, false},
        {"mqtts://broker/", "broker", 8883, true},
        {"mqtt://[::1]:1883", "::1", 1883, false},
        {"http://broker:1883", nullptr, 0, false},
        {"mqtt://broker:0", nullptr, 0, false},
        {"mqtt://broker:99999", nullptr, 0, false},
        {"mqtt://:1883", nullptr, 0, false},
        {"mqtt://user@broker:1883", nullptr, 0, false},
    };
    for (const Url& u : urls) {
        std::string error;
        std::optional<MqttAddress> a = parse_mqtt_url(u.url, &error);
        ASSERT_EQ(a.has_value(), u.host != nullptr) << u.url << ": " << error;
        if (a) {
            EXPECT_EQ(a->host, u.host);
            EXPECT_EQ(a->port, u.port) << u.url;
            EXPECT_EQ(a->tls, u.tls) << u.url;
        } else {
            EXPECT_NE(error.find(u.url), std::string::npos) << error;
        }
    }
    EXPECT_EQ(mqtt_site_name("Main building"), "main-building");
    EXPECT_EQ(mqtt_site_name("  Hall #2 / Nord-Ost  "), "hall-2-nord-ost");
    EXPECT_EQ(mqtt_site_name("Ünïcode"), "n-code");
    EXPECT_EQ(mqtt_site_name("###"), "site");
    EXPECT_EQ(mqtt_controller_name("/srv/doors/Office.TSY"), "Office");
    EXPECT_EQ(mqtt_controller_name("hall+#.tsy"), "hall--");
    EXPECT_EQ(mqtt_controller_name("plain"), "plain");
}

TEST(MqttIdleWait, OnlyAPublisherWithoutAConnectionLooksEverySecond) {
    struct {
        bool connected;
        std::optional<int64_t> until_next_try;
        int ms;
    } cases[] = {{true, std::nullopt, 5000},
                 {false, std::nullopt, 1000},
                 {false, 300, 300},
                 {false, 60000, 1000},
                 {false, -20, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(mqtt_idle_wait_ms(c.connected, c.until_next_try), c.ms)
            << c.connected << " " << c.until_next_try.value_or(-1);
    }
}

struct MqttTest : ::testing::Test {
    MqttTest() {
        char name[] = "/tmp/tessary-mqtt-XXXXXX";
        dir = mkdtemp(name);
        broker = std::make_unique<TestBroker>(dir);
    }
    ~MqttTest() override {
        broker.reset();
        std::filesystem::remove_all(dir);
    }
    std::unique_ptr<MqttPublisher> publisher(const std::string& prefix) {
        MqttSettings s;
        s.url = broker->url();
        auto p = std::make_unique<MqttPublisher>(s, prefix, [this](const std::string& line) {
            std::lock_guard lock(mutex);
            diagnostics.push_back(line);
        });
        return p;
    }
    static std::vector<std::string>
    payloads(const std::vector<std::pair<std::string, std::string>>& heard,
             const std::string& topic) {
        std::vector<std::string> out;
        for (const auto& [t, p] : heard) {
            if (t == topic) {
                out.push_back(p);
            }
        }
        return out;
    }
    static std::vector<std::string> numbered(int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i) {
            out.push_back("{\"n\":" + std::to_string(i) + "}");
        }
        return out;
    }

    std::string dir;
    std::unique_ptr<TestBroker> broker;
    std::mutex mutex;
    std::vector<std::string> diagnostics;
};

TEST_F(MqttTest, EventsGoOutInOrderTheStateRetainedAndDoorCommandsArrive) {
    ASSERT_TRUE(broker->start());
    TestSubscriber sub(broker->port(), "tessary/main/office/#");
    ASSERT_TRUE(sub.wait_subscribed());
    auto p = publisher("tessary/main/office");
    std::vector<char> doors;
    std::mutex doors_mutex;
    p->on_door = [&](char door) {
        std::lock_guard lock(doors_mutex);
        doors.push_back(door);
    };
    std::string error;
    ASSERT_TRUE(p->start(&error)) << error;
    p->publish_status("online");
    for (const std::string& e : numbered(0, 500)) {
        p->publish_event(e);
    }
    auto heard = sub.wait_heard(501);
    EXPECT_EQ(payloads(heard, "tessary/main/office/events"), numbered(0, 500));
    EXPECT_EQ(payloads(heard, "tessary/main/office/status"), std::vector<std::string>{"online"});
    EXPECT_TRUE(wait_for([&] { return p->waiting() == 0; })) << "every one acknowledged";

    for (const char* payload : {"A", "C", "AB", "B"}) {
        sub.publish("tessary/main/office/door", payload);
    }
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard lock(doors_mutex);
        return doors.size() >= 2;
    }));
    EXPECT_EQ(doors, (std::vector<char>{'A', 'B'}));

    TestSubscriber late(broker->port(), "tessary/main/office/status");
    EXPECT_EQ(payloads(late.wait_heard(1), "tessary/main/office/status"),
              std::vector<std::string>{"online"})
        << "retained";
    p.reset();
    EXPECT_EQ(payloads(late.wait_heard(2), "tessary/main/office/status"),
              (std::vector<std::string>{"online", "offline"}))
        << "a clean end says so";
}

TEST_F(MqttTest, WhileTheBrokerIsAwayEventsWaitAndFollowInOrderWhenItIsBack) {
    ASSERT_TRUE(broker->start());
    {
        // A session kept at the broker, so that what arrives while the test's own subscriber
        // is away is kept for it too.
        TestSubscriber sub(broker->port(), "tessary/main/hall/events", "kept", false);
        ASSERT_TRUE(sub.wait_subscribed());
    }
    auto p = publisher("tessary/main/hall");
    std::string error;
    ASSERT_TRUE(p->start(&error)) << error;
    for (const std::string& e : numbered(0, 100)) {
        p->publish_event(e);
    }
    ASSERT_TRUE(wait_for([&] { return p->waiting() == 0; }));
    broker->stop();
    ASSERT_TRUE(wait_for([&] { return !p->connected(); }));
    for (const std::string& e : numbered(100, 3000)) {
        p->publish_event(e);
    }
    EXPECT_EQ(p->waiting(), 2900u);
    ASSERT_TRUE(broker->start());
    ASSERT_TRUE(wait_for([&] { return p->waiting() == 0; }, 20000));
    TestSubscriber sub(broker->port(), "tessary/main/hall/events", "kept", false);
    EXPECT_EQ(payloads(sub.wait_heard(3000), "tessary/main/hall/events"), numbered(0, 3000));
    EXPECT_EQ(p->dropped(), 0u);
    std::lock_guard lock(mutex);
    ASSERT_EQ(diagnostics.size(), 2u) << "the outage and the return, once each";
    EXPECT_NE(diagnostics[0].find("events wait until it is back"), std::string::npos);
    EXPECT_EQ(diagnostics[0].find(".;"), std::string::npos) << diagnostics[0];
    EXPECT_EQ(diagnostics[1], "MQTT broker " + broker->url() + " is back");
}

TEST_F(MqttTest, AServiceKilledLeavesOfflineAsItsLastWill) {
    ASSERT_TRUE(broker->start());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        MqttSettings s;
        s.url = broker->url();
        MqttPublisher p(s, "tessary/main/gate", nullptr);
        std::string error;
        p.start(&error);
        p.publish_status("online");
        while (p.waiting() > 0 || !p.connected()) {
            usleep(10000);
        }
        [[maybe_unused]] ssize_t n = write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    char r = 0;
    ASSERT_EQ(read(ready[0], &r, 1), 1);
    TestSubscriber sub(broker->port(), "tessary/main/gate/status");
    ASSERT_EQ(payloads(sub.wait_heard(1), "tessary/main/gate/status"),
              std::vector<std::string>{"online"});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(payloads(sub.wait_heard(2), "tessary/main/gate/status"),
              (std::vector<std::string>{"online", "offline"}));
    close(ready[0]);
    close(ready[1]);
}

TEST_F(MqttTest, SettingsThatCannotWorkAreRefusedAtStart) {
    MqttSettings s;
    s.url = "mqtt://localhost:1883";
    s.user = "door";
    s.password_file = dir + "/missing";
    MqttPublisher p(s, "tessary/main/x", nullptr);
    std::string error;
    EXPECT_FALSE(p.start(&error));
    EXPECT_EQ(error, dir + "/missing: the password cannot be read");
}

} // namespace
