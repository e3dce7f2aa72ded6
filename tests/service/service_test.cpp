// The service over two simulated controllers (one behind a TCP device server), driven by
// clients on its socket as socat or a desk would drive it.
#include "service/daemon.h"
#include "service/service.h"
#include "sim_controller.h"

#include "history/event_store.h"
#include "platform/file_lock.h"
#include "support/mqtt_broker.h"
#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// One connection to the service, read a line at a time.
class Client {
  public:
    explicit Client(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& line) {
        ASSERT_EQ(::send(fd_, line.data(), line.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(line.size()));
    }
    // The next line holding `part`, skipping the others; empty when none came in time.
    std::string line_with(const std::string& part, int timeout_ms = 30000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (line.find(part) != std::string::npos) {
                    return line;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return {};
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closed_ = true;
                return {};
            }
            received_ += static_cast<size_t>(n);
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Waits, without reading, until something has come.
    bool readable() {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 30000) == 1;
    }
    bool closed() const { return closed_; }
    size_t received() const { return received_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    size_t received_ = 0;
    std::string buffer_;
};

struct ServiceTest : ::testing::Test {
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "service_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        setenv("TESSARY_PORT_DIR", (dir / "ports").c_str(), 1);
        SimOptions tcp;
        tcp.tcp = true;
        sims[1] = std::make_unique<SimController>(tcp);
        for (int com : {0, 1}) {
            ASSERT_TRUE(sims[com]->start());
            ASSERT_TRUE(sims[com]->link_as((dir / "ports").string(), com + 1));
            sims[com]->set_memory(0x000001, {0x00a3f1});
        }
        database("office.tsy", 1);
        database("hall.tsy", 2);
        std::ofstream(dir / "site.conf") << "database = office.tsy\ndatabase = hall.tsy\n"
                                         << site_lines();
        ServiceOptions o;
        o.site_path = (dir / "site.conf").string();
        o.socket_path = (dir / "run" / "tessaryd.sock").string();
        o.max_output = max_output;
        service = std::make_unique<Service>(o);
        ASSERT_TRUE(service->open());
        runner = std::thread([this] { service->run(); });
        client = std::make_unique<Client>(o.socket_path);
        ASSERT_TRUE(client->connected());
        // Both linked, and identified, before anything is asked of them.
        ASSERT_TRUE(wait_for([&] {
            client->send("{\"id\": 0, \"op\": \"list\"}\n");
            const std::string line = client->line_with("\"id\": 0");
            return line.find("\"none\"") == std::string::npos &&
                   line.find("\"lost\"") == std::string::npos &&
                   line.find("\"model\": null") == std::string::npos;
        }));
    }
    void TearDown() override {
        client.reset();
        if (service) {
            service->stop();
        }
        if (runner.joinable()) {
            runner.join();
        }
        service.reset();
        fs::remove_all(dir);
    }
    // More of the site file, before the service reads it.
    virtual std::string site_lines() { return {}; }
    void database(const std::string& name, int com) {
        std::ofstream(dir / name)
            << "COM\t" << com
            << "\nKEY\t000001\tManager\t\t\nKEY\t00a3f1\tCaretaker\tNight shift\t\n";
    }

    size_t max_output = max_client_output;
    fs::path dir;
    std::unique_ptr<SimController> sims[2] = {std::make_unique<SimController>(), nullptr};
    std::unique_ptr<Service> service;
    std::thread runner;
    std::unique_ptr<Client> client;
};

TEST_F(ServiceTest, ListsBothControllers) {
    client->send("{\"id\": \"l\", \"op\": \"list\"}\n");
    const std::string line = client->line_with("\"l\"");
    EXPECT_NE(line.find("office.tsy\", \"port\": \"COM1\", \"state\": \"connected\", \"model\": "
                        "\"RD-04\"}"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("hall.tsy\", \"port\": \"COM2\", \"state\": \"connected\""),
              std::string::npos)
        << line;
}

TEST_F(ServiceTest, ASubscriberHearsEachControllersKeys) {
    client->send("{\"id\": 1, \"op\": \"subscribe\"}\n");
    ASSERT_EQ(client->line_with("\"id\": 1"), "{\"id\": 1, \"ok\": true}");
    sims[1]->present_key(0x00a3f1);
    const std::string hall = client->line_with("\"valid-key\"");
    EXPECT_NE(hall.find("\"key\": \"00a3f1\", \"name\": \"Caretaker\", \"memo\": \"Night shift\""),
              std::string::npos)
        << hall;
    EXPECT_NE(hall.find("hall.tsy\"}}"), std::string::npos) << hall;
    sims[0]->present_key(0x0badc0);
    const std::string office = client->line_with("\"invalid-key\"");
    EXPECT_NE(office.find("office.tsy\"}}"), std::string::npos) << office;
}

TEST_F(ServiceTest, ABacklogComesFromTheStoreBeforeLiveEvents) {
    sims[0]->present_key(0x00a3f1);
    Client watcher((dir / "run" / "tessaryd.sock").string());
    // The history writes once a second: the key's line is stored when a backlog finds it.
    std::string line;
    ASSERT_TRUE(wait_for([&] {
        watcher.send("{\"id\": 2, \"op\": \"subscribe\", \"database\": \"office.tsy\", "
                     "\"backlog\": 5}\n");
        line = watcher.line_with("Valid key: Caretaker.", 1500);
        return !line.empty();
    }));
    EXPECT_EQ(line.rfind("{\"event\": {\"time\": ", 0), 0u) << line;
}

TEST_F(ServiceTest, ABacklogAskedRightAfterAnEventHoldsItOnce) {
    client->send("{\"id\": 40, \"op\": \"subscribe\"}\n");
    ASSERT_NE(client->line_with("\"id\": 40"), "");
    sims[0]->present_key(0x000301);
    // Handed on to a subscriber, and not yet written to the store, which writes once a second.
    ASSERT_NE(client->line_with("000301"), "");
    Client late((dir / "run" / "tessaryd.sock").string());
    late.send("{\"id\": 41, \"op\": \"subscribe\", \"database\": \"office.tsy\", "
              "\"backlog\": 5}\n");
    ASSERT_NE(late.line_with("\"id\": 41"), "");
    sims[0]->present_key(0x000302);
    int told = 0;
    for (std::string line; (line = late.line_with("")).find("000302") == std::string::npos;) {
        ASSERT_NE(line, "");
        told += line.find("000301") != std::string::npos;
    }
    EXPECT_EQ(told, 1);
}

TEST_F(ServiceTest, OpenDoorReachesTheController) {
    client->send("{\"id\": 3, \"op\": \"door\", \"door\": \"A\", \"database\": \"office.tsy\"}\n");
    EXPECT_EQ(client->line_with("\"id\": 3"), "{\"id\": 3, \"ok\": true}");
    EXPECT_TRUE(sims[0]->wait_received("o", 30000));
}

TEST_F(ServiceTest, ACommandWithoutADatabaseIsRefusedWhenTwoAreServed) {
    client->send("{\"id\": 4, \"op\": \"reset\"}\n");
    EXPECT_EQ(client->line_with("\"id\": 4"),
              "{\"id\": 4, \"ok\": false, \"error\": \"name the \\\"database\\\": the service "
              "serves 2 controllers\"}");
}

TEST_F(ServiceTest, AMalformedLineIsAnsweredAndTheClientIsStillServed) {
    client->send("{\"id\": 5, \"op\": \n" + std::string(70000, 'x') + "\n");
    EXPECT_NE(client->line_with("malformed request").find("\"id\": null"), std::string::npos);
    EXPECT_NE(client->line_with("longer than").find("\"ok\": false"), std::string::npos);
    client->send("{\"id\": 6, \"op\": \"list\"}\n");
    EXPECT_NE(client->line_with("\"id\": 6").find("\"ok\": true"), std::string::npos);
}

TEST_F(ServiceTest, CompareListsWhatTheControllerLacks) {
    sims[0]->set_memory(0x000001, {});
    client->send("{\"id\": 7, \"op\": \"compare\", \"database\": \"office.tsy\"}\n");
    const std::string line = client->line_with("\"id\": 7");
    EXPECT_NE(line.find("\"lacking\": [\"00a3f1\"], \"extra\": [], \"expired\": [], "
                        "\"master\": [\"000001\"]"),
              std::string::npos)
        << line;
}

// Enough for a desk to ask its user about the extra keys, and to show the run's boxes as its
// own.
TEST_F(ServiceTest, ASyncAnswerCarriesItsCodeItsBoxesAndTheExtraKeysThatStoppedIt) {
    sims[0]->set_memory(0x000001, {0x00a3f1, 0x0badc1});
    client->send("{\"id\": 8, \"op\": \"sync\", \"database\": \"office.tsy\"}\n");
    std::string line = client->line_with("\"id\": 8, \"ok\"");
    EXPECT_NE(line.find("\"code\": \"extras-refused\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"extra\": [\"0badc1\"], \"master\": [\"000001\"]"), std::string::npos)
        << line;
    client->send(
        "{\"id\": 9, \"op\": \"sync\", \"extras\": \"delete\", \"database\": \"office.tsy\"}\n");
    EXPECT_FALSE(
        client->line_with("\"id\": 9, \"status\": \"Deleting keys from the key controller\"")
            .empty());
    line = client->line_with("\"id\": 9, \"ok\"");
    EXPECT_NE(line.find("\"code\": \"done\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"boxes\": [{\"caption\": \"Tessary - Synchronizing with controller\", "
                        "\"text\": \"The database and the key controller are now up to date.\", "
                        "\"icon\": \"information\"}]"),
              std::string::npos)
        << line;
}

TEST_F(ServiceTest, ASavedSiteFileLetsADroppedDatabaseGoAndKeepsTheOther) {
    std::ofstream(dir / "site.conf") << "database = office.tsy\n";
    ASSERT_TRUE(wait_for([&] {
        client->send("{\"id\": 8, \"op\": \"list\"}\n");
        return client->line_with("\"id\": 8").find("hall.tsy") == std::string::npos;
    }));
    client->send("{\"id\": 9, \"op\": \"list\"}\n");
    EXPECT_NE(client->line_with("\"id\": 9")
                  .find("office.tsy\", \"port\": \"COM1\", \"state\": "
                        "\"connected\""),
              std::string::npos);
}

TEST_F(ServiceTest, ADatabaseSavedMeanwhileIsTakenIn) {
    client->send("{\"id\": 10, \"op\": \"subscribe\", \"database\": \"office.tsy\"}\n");
    ASSERT_FALSE(client->line_with("\"id\": 10").empty());
    // Saved as the window saves: a new file renamed over the old one.
    std::ofstream(dir / "office.new") << "COM\t1\nKEY\t0104bc\tVisitor\t\t\n";
    fs::rename(dir / "office.new", dir / "office.tsy");
    EXPECT_TRUE(wait_for([&] {
        sims[0]->present_key(0x0104bc);
        return client->line_with("\"key\": \"0104bc\"", 1000).find("\"Visitor\"") !=
               std::string::npos;
    }));
}

TEST_F(ServiceTest, ADatabaseThatCannotBeReadIsListedWithTheReason) {
    std::ofstream(dir / "site.conf") << "database = office.tsy\ndatabase = gone.tsy\n";
    std::string line;
    ASSERT_TRUE(wait_for([&] {
        client->send("{\"id\": 11, \"op\": \"list\"}\n");
        line = client->line_with("\"id\": 11");
        return line.find("gone.tsy") != std::string::npos;
    }));
    EXPECT_NE(line.find("gone.tsy\", \"port\": null, \"state\": \"none\", \"model\": null, "
                        "\"reason\": \"" +
                        (dir / "gone.tsy").string() + ": No such file or directory\"}"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("office.tsy\", \"port\": \"COM1\", \"state\": \"connected\""),
              std::string::npos);
}

struct SlowClientTest : ServiceTest {
    SlowClientTest() { max_output = 16 * 1024; }
};

TEST_F(SlowClientTest, AClientThatDoesNotReadIsDroppedAndTheOthersServed) {
    {
        std::string error;
        const std::string office = (dir / "office.tsy").string();
        auto store = EventStore::open(history_path(office), true, office, &error);
        ASSERT_TRUE(store) << error;
        std::vector<StoredEvent> events(5000);
        for (StoredEvent& e : events) {
            e.time_ms = 1;
            e.text = std::string(200, 'x');
        }
        ASSERT_TRUE(store->append(events, &error)) << error;
    }
    Client slow((dir / "run" / "tessaryd.sock").string());
    slow.send("{\"id\": 12, \"op\": \"subscribe\", \"backlog\": 5000}\n");
    // The answer and the backlog are sent in one go: once anything has come, it is all sent.
    ASSERT_TRUE(slow.readable());
    client->send("{\"id\": 13, \"op\": \"list\"}\n");
    EXPECT_NE(client->line_with("\"id\": 13").find("\"ok\": true"), std::string::npos);
    slow.line_with("never sent");
    EXPECT_TRUE(slow.closed());
    EXPECT_LT(slow.received(), 5000u * 200u);
}

TEST(ServiceFiles, ASiteFileNamedFromItsFolderIsFollowedBesideADatabaseNamedInFull) {
    std::string pattern = (fs::temp_directory_path() / "spelt_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    std::ofstream("site.conf") << "database = " << (dir / "office.tsy").string() << "\n";
    ServiceOptions o;
    o.site_path = "site.conf";
    o.socket_path = (dir / "tessaryd.sock").string();
    Service service(o);
    ASSERT_TRUE(service.open());
    std::thread runner([&] { service.run(); });
    Client client(o.socket_path);
    std::ofstream("site.conf") << "# nothing served\n";
    EXPECT_TRUE(wait_for([&] {
        client.send("{\"id\": 1, \"op\": \"list\"}\n");
        return client.line_with("\"id\": 1").find("office.tsy") == std::string::npos;
    }));
    service.stop();
    runner.join();
    fs::current_path(cwd);
    fs::remove_all(dir);
}

TEST(ServicePorts, APortThatCannotBeOpenedIsSaidOnceWhileItIsTriedAgain) {
    std::string pattern = (fs::temp_directory_path() / "noport_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    setenv("TESSARY_PORT_DIR", (dir / "ports").c_str(), 1);
    fs::create_directory(dir / "ports");
    // No endpoint in it: each try reads the entry, and so can be counted.
    std::ofstream(dir / "ports" / "COM9") << "unplugged\n";
    const int tries = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(tries, (dir / "ports").c_str(), IN_CLOSE_NOWRITE);
    std::ofstream(dir / "office.tsy") << "COM\t9\n";
    std::ofstream(dir / "site.conf") << "database = office.tsy\n";
    // The diagnostics, which go to the journal, gathered in a file.
    const int journal = ::open((dir / "journal").c_str(), O_WRONLY | O_CREAT, 0600);
    const int saved_stderr = ::dup(2);
    ::dup2(journal, 2);
    ServiceOptions o;
    o.site_path = (dir / "site.conf").string();
    o.socket_path = (dir / "tessaryd.sock").string();
    o.retry_ms = 0;
    Service service(o);
    if (service.open()) {
        // Each turn tries the port again; the reload makes the next turn come at once.
        std::thread runner([&] { service.run([&] { service.reload(); }); });
        alignas(inotify_event) char events[4096];
        pollfd p{tries, POLLIN, 0};
        for (int read = 0; read < 4 && ::poll(&p, 1, 30000) == 1; ++read) {
            [[maybe_unused]] ssize_t n = ::read(tries, events, sizeof events);
        }
        service.stop();
        runner.join();
    }
    ::dup2(saved_stderr, 2);
    ::close(saved_stderr);
    ::close(journal);
    ::close(tries);
    std::ifstream in(dir / "journal");
    int said = 0;
    for (std::string line; std::getline(in, line);) {
        said += line.rfind("tessaryd: " + (dir / "office.tsy").string() + ": ", 0) == 0;
    }
    EXPECT_EQ(said, 1);
    fs::remove_all(dir);
}

TEST(Tessaryd, ASecondServiceOnTheSiteFileRefusesNamingTheFirst) {
    const std::string site = (fs::temp_directory_path() / "tessaryd_lock_site.conf").string();
    std::ofstream(site) << "# nothing served\n";
    FileLock first;
    ASSERT_EQ(first.acquire(site), FileLock::Outcome::Locked);
    std::ostringstream out, err;
    EXPECT_EQ(run_daemon({"--site", site, "--socket", "/nonexistent/s"}, out, err), 75);
    EXPECT_EQ(err.str().rfind("tessaryd: " + site + " is served already by process " +
                                  std::to_string(getpid()),
                              0),
              0u)
        << err.str();
    first.release();
    fs::remove(site);
}

} // namespace

// The same service publishing to a broker of the test's own, watched by a subscriber whose
// session the broker keeps across its restart.
struct MqttServiceTest : ServiceTest {
    std::string site_lines() override {
        broker = std::make_unique<TestBroker>(dir.string());
        EXPECT_TRUE(broker->start());
        watcher = std::make_unique<TestSubscriber>(broker->port(), "tessary/#", "watcher", false);
        EXPECT_TRUE(watcher->wait_subscribed());
        return "name = Main building\nmqtt = " + broker->url() + "\nmqtt_doors = office\n";
    }
    void TearDown() override {
        // Its "offline" said while the broker listens.
        client.reset();
        service->stop();
        runner.join();
        service.reset();
        watcher.reset();
        broker.reset();
        ServiceTest::TearDown();
    }
    // Waits for the `nth` message on the topic holding `part`; its payload, or empty.
    std::string heard(const std::string& topic, const std::string& part, size_t nth = 1,
                      TestSubscriber* by = nullptr) {
        std::string payload;
        wait_for([&] {
            size_t seen = 0;
            for (const auto& [t, p] : (by ? by : watcher.get())->wait_heard(0)) {
                if (t == topic && p.find(part) != std::string::npos && ++seen == nth) {
                    payload = p;
                    return true;
                }
            }
            return false;
        });
        return payload;
    }
    std::unique_ptr<TestBroker> broker;
    std::unique_ptr<TestSubscriber> watcher;
};

TEST_F(MqttServiceTest, AKeysEventAndTheLinkStateReachTheBroker) {
    EXPECT_EQ(heard("tessary/main-building/office/status", ""), "online");
    EXPECT_EQ(heard("tessary/main-building/hall/status", ""), "online");
    sims[1]->present_key(0x00a3f1);
    const std::string event = heard("tessary/main-building/hall/events", "valid-key");
    EXPECT_NE(event.find("\"key\": \"00a3f1\", \"name\": \"Caretaker\", \"memo\": \"Night shift\""),
              std::string::npos)
        << event;
    EXPECT_NE(event.find("hall.tsy\"}"), std::string::npos) << event;
}

TEST_F(MqttServiceTest, ADoorOpensOnlyForTheControllersAllowed) {
    EXPECT_EQ(heard("tessary/main-building/office/status", ""), "online");
    watcher->publish("tessary/main-building/hall/door", "A");
    watcher->publish("tessary/main-building/office/door", "B");
    EXPECT_TRUE(wait_for([&] { return sims[0]->commands('b') == 1; }));
    // The hall's came first, and nobody took it.
    EXPECT_EQ(sims[1]->commands('o') + sims[1]->commands('b'), 0);
}

TEST_F(MqttServiceTest, NoEventIsLostWhileTheBrokerIsAway) {
    EXPECT_EQ(heard("tessary/main-building/office/status", ""), "online");
    broker->stop();
    for (uint32_t key : {0x000101u, 0x000102u, 0x000103u}) {
        sims[0]->present_key(key);
    }
    ASSERT_TRUE(broker->start());
    for (const char* key : {"000101", "000102", "000103"}) {
        EXPECT_NE(heard("tessary/main-building/office/events", key), "") << key;
    }
}

TEST_F(MqttServiceTest, ALostControllerIsToldOnTheApiAndTheBroker) {
    client->send("{\"id\": 20, \"op\": \"subscribe\", \"database\": \"office.tsy\"}\n");
    ASSERT_EQ(client->line_with("\"id\": 20"), "{\"id\": 20, \"ok\": true}");
    EXPECT_EQ(heard("tessary/main-building/office/status", "online"), "online");
    sims[0]->stop();
    EXPECT_EQ(heard("tessary/main-building/office/status", "lost"), "lost");
    EXPECT_NE(client->line_with("\"kind\": \"link\"").find(" lost\""), std::string::npos);
    client->send("{\"id\": 21, \"op\": \"list\", \"database\": \"office.tsy\"}\n");
    EXPECT_NE(client->line_with("\"id\": 21").find("\"state\": \"lost\""), std::string::npos);
    ASSERT_TRUE(sims[0]->start());
    ASSERT_TRUE(sims[0]->link_as((dir / "ports").string(), 1));
    EXPECT_EQ(heard("tessary/main-building/office/status", "online", 2), "online");
    EXPECT_NE(client->line_with(" restored\""), "");
    EXPECT_TRUE(wait_for([&] {
        client->send("{\"id\": 22, \"op\": \"list\", \"database\": \"office.tsy\"}\n");
        return client->line_with("\"id\": 22").find("\"connected\"") != std::string::npos;
    }));
}

// The broker's lines of the site file changed while the service runs.
struct MqttReloadTest : MqttServiceTest {
    std::string site_lines() override {
        MqttServiceTest::site_lines();
        return "name = Main building\n";
    }
    void site(const std::string& mqtt) {
        std::ofstream(dir / "site.conf") << "name = Main building\ndatabase = office.tsy\n"
                                         << (mqtt.empty() ? "" : "mqtt = " + mqtt + "\n");
    }
    const std::string status = "tessary/main-building/office/status";
    const std::string events = "tessary/main-building/office/events";
};

TEST_F(MqttReloadTest, TheBrokerAddedMovedAndRemovedIsFollowed) {
    TestBroker other(dir.string() + "/other");
    fs::create_directory(dir / "other");
    ASSERT_TRUE(other.start());
    TestSubscriber other_watcher(other.port(), "tessary/#");
    ASSERT_TRUE(other_watcher.wait_subscribed());
    site(broker->url());
    EXPECT_EQ(heard(status, "online"), "online");
    site(other.url());
    EXPECT_EQ(heard(status, "offline"), "offline");
    EXPECT_EQ(heard(status, "online", 1, &other_watcher), "online");
    sims[0]->present_key(0x000201);
    EXPECT_NE(heard(events, "000201", 1, &other_watcher), "");
    site("");
    EXPECT_EQ(heard(status, "offline", 1, &other_watcher), "offline");
    client->send("{\"id\": 30, \"op\": \"subscribe\"}\n");
    ASSERT_NE(client->line_with("\"id\": 30"), "");
    sims[0]->present_key(0x000202);
    ASSERT_NE(client->line_with("000202"), "");
    // Back on: what happened while it was off is not sent after all.
    site(other.url());
    EXPECT_EQ(heard(status, "online", 2, &other_watcher), "online");
    sims[0]->present_key(0x000203);
    EXPECT_NE(heard(events, "000203", 1, &other_watcher), "");
    for (const auto& [topic, payload] : other_watcher.wait_heard(0)) {
        EXPECT_EQ(payload.find("000202"), std::string::npos) << payload;
    }
}

#ifdef TESSARYD_PATH
// tessaryd itself, killed outright while a controller floods it with keys, and started again.
TEST(TessarydKilled, WhatCameBeforeIsStoredOnceAndTheRestartedServiceServes) {
    std::string pattern = (fs::temp_directory_path() / "killed_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    setenv("TESSARY_PORT_DIR", (dir / "ports").c_str(), 1);
    SimController sim;
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.link_as((dir / "ports").string(), 1));
    const std::string office = (dir / "office.tsy").string();
    std::ofstream(office) << "COM\t1\n";
    std::ofstream(dir / "site.conf") << "database = office.tsy\n";
    const std::string socket = (dir / "tessaryd.sock").string();
    auto spawn = [&] {
        const pid_t pid = fork();
        if (pid == 0) {
            execl(TESSARYD_PATH, "tessaryd", "--site", (dir / "site.conf").c_str(), "--socket",
                  socket.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    auto serving = [&](Client& c) {
        return wait_for([&] {
            c.send("{\"id\": 0, \"op\": \"list\"}\n");
            return c.line_with("\"id\": 0", 1000).find("\"connected\"") != std::string::npos;
        });
    };
    const pid_t first = spawn();
    std::unique_ptr<Client> client;
    ASSERT_TRUE(wait_for([&] { return (client = std::make_unique<Client>(socket))->connected(); }));
    ASSERT_TRUE(serving(*client));
    client->send("{\"id\": 1, \"op\": \"subscribe\"}\n");
    ASSERT_NE(client->line_with("\"id\": 1"), "");
    // Keys heard by the subscriber well before the kill, and so told to the store before it.
    std::set<std::string> early;
    uint32_t key = 0x100000;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
         std::chrono::steady_clock::now() < end;) {
        sim.present_key(key++);
        for (std::string line; !(line = client->line_with("invalid-key", 20)).empty();) {
            early.insert(line.substr(line.find("\"key\": \"") + 8, 6));
        }
    }
    const std::set<std::string> heard_early = early;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
         std::chrono::steady_clock::now() < end;) {
        sim.present_key(key++);
        client->line_with("invalid-key", 20);
    }
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    std::string error;
    auto store = EventStore::open(history_path(office), false, office, &error);
    ASSERT_TRUE(store) << error;
    std::map<uint32_t, int> stored;
    for (const StoredEvent& e : store->page(EventFilter{}, 100000)) {
        if (e.key) {
            ++stored[*e.key];
        }
    }
    store.reset();
    ASSERT_GT(heard_early.size(), 10u);
    for (const std::string& k : heard_early) {
        EXPECT_EQ(stored[static_cast<uint32_t>(std::stoul(k, nullptr, 16))], 1) << k;
    }
    for (const auto& [k, n] : stored) {
        EXPECT_EQ(n, 1) << k;
    }
    // The socket the killed one left is taken over.
    const pid_t second = spawn();
    ASSERT_TRUE(wait_for([&] { return (client = std::make_unique<Client>(socket))->connected(); }));
    EXPECT_TRUE(serving(*client));
    client.reset();
    kill(second, SIGTERM);
    waitpid(second, nullptr, 0);
    fs::remove_all(dir);
}
#endif
