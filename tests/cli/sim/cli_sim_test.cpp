// The controller subcommands of tessary-cli against the simulated controller: each one's output,
// exit status and what the unit received and holds afterwards.
#include "client/service_client.h"
#include "platform/serial_port.h"
#include "service/service.h"
#include "sim_controller.h"
#include "support/hex_dump.h"
#include "support/wait_for.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

using ::testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

// The controller on COM3 through the port folder; 0104bc's days are long past; 0000b1 is new.
const std::string database = ";              === Tessary 2.0 key list ===\r\n"
                             ";   === It is not recommended to edit this file manually! ===\r\n"
                             ";\r\nCOM\t3\r\n"
                             "KEY\t000100\tMaster\t\t\r\n"
                             "KEY\t00a3f1\tCaretaker\t\t\r\n"
                             "KEY\t0000b1\tNew tenant\t\t\r\n"
                             "KEY\t0104bc\tContractor\t\t\r\n"
                             "VALID\t0104bc\t2020-03-01\t2020-03-14\r\n";

struct Result {
    int status = -1;
    std::string out, err;
};

class CliSim : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "cli_sim_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        std::ofstream(path("db.tsy"), std::ios::binary) << database;
        sim.set_memory(0x100, {0xa3f1, 0x104bc, 0xbadc0});
        ASSERT_TRUE(sim.start());
        ASSERT_TRUE(sim.link_as(path("ports"), 3));
    }
    void TearDown() override {
        sim.stop();
        fs::remove_all(dir);
    }

    std::string path(const std::string& name) const { return (dir / name).string(); }
    // Where the program looks for the service's socket: a folder no service runs in, unless a
    // test starts one there.
    std::string runtime_dir() const { return path("run"); }
    std::string get(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Starts the program in the test's folder with the port folder set, its output to files;
    // through `runner` (a program and its arguments that end by running ours) when one is given.
    pid_t start(const std::vector<std::string>& args, std::vector<std::string> runner = {}) {
        std::vector<std::string> env_text = {"TESSARY_PORT_DIR=" + path("ports"),
                                             "XDG_RUNTIME_DIR=" + runtime_dir()};
        for (char** e = environ; *e; ++e) {
            if (std::string(*e).rfind("TESSARY_PORT_DIR=", 0) != 0 &&
                std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0) {
                env_text.push_back(*e);
            }
        }
        std::vector<char*> env;
        for (std::string& e : env_text) {
            env.push_back(e.data());
        }
        env.push_back(nullptr);
        std::vector<std::string> argv_text = std::move(runner);
        argv_text.push_back(TESSARY_CLI);
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argv_text) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        posix_spawn_file_actions_addopen(&actions, 1, path("out.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, path("err.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    Result finish(pid_t pid) {
        int raw = 0;
        waitpid(pid, &raw, 0);
        return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, get("out.txt"), get("err.txt")};
    }
    Result run(const std::vector<std::string>& args) {
        sim.clear_record();
        return finish(start(args));
    }
    // What the unit received after the reset that opens every session.
    std::string commands() {
        std::string got = sim.received();
        EXPECT_EQ(got.substr(0, 2), "\rr") << hex_dump(got);
        return got.size() >= 2 ? got.substr(2) : got;
    }
    std::set<uint32_t> memory() {
        std::vector<uint32_t> m = sim.memory();
        return {m.begin(), m.end()};
    }

    fs::path dir;
    SimController sim;
};

TEST_F(CliSim, DiffAndDryRunPrintTheDifferenceAndSendOnlyTheReadOut) {
    const std::set<uint32_t> before = memory();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"diff", "db.tsy"},
         1,
         "add\t0000b1\tNew tenant\nextra\t0badc0\t\nexpired\t0104bc\tContractor\n",
         ""},
        {{"sync", "db.tsy", "--dry-run", "--delete-extras"},
         0,
         "delete\t0104bc\tContractor\ndelete\t0badc0\t\nadd\t0000b1\tNew tenant\n"
         "Nothing was sent (--dry-run).\n",
         ""},
        {{"sync", "db.tsy", "--dry-run", "--keep-extras", "--port", "3"},
         0,
         "delete\t0104bc\tContractor\nadd\t0000b1\tNew tenant\nkeep\t0badc0\t\n"
         "Nothing was sent (--dry-run).\n",
         ""},
        // Without an extras option nothing can be asked: the run stops before sending.
        {{"sync", "db.tsy", "--dry-run"}, 1, "", "give --keep-extras"},
        {{"sync", "db.tsy", "--verify", "--device", sim.device()}, 1, "", "or --delete-extras"},
    };
    for (const Case& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[2] << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[2];
        EXPECT_THAT(r.err, HasSubstr(c.err));
        EXPECT_EQ(commands(), "s") << c.args[2];
        EXPECT_EQ(memory(), before);
    }
    // Every session left its trace in the log file beside the database, as the window does.
    std::string log = get("db.log");
    EXPECT_THAT(log, HasSubstr("Performed synchronization with RD-unit."));
    EXPECT_EQ(get("db.tsy"), database);
    EXPECT_FALSE(fs::exists(path("db.tsy.lock")));
}

// A key name cannot steer the terminal: its control characters are printed as \xNN.
TEST_F(CliSim, DiffShowsControlCharactersInNamesEscaped) {
    std::string db = database;
    db.replace(db.find("New tenant"), 10, "\x1b]0;owned\x07");
    std::ofstream(path("db.tsy"), std::ios::binary) << db;
    Result r = run({"diff", "db.tsy"});
    EXPECT_EQ(r.out,
              "add\t0000b1\t\\x1b]0;owned\\x07\nextra\t0badc0\t\nexpired\t0104bc\tContractor\n");
}

TEST_F(CliSim, SyncDeletesOrKeepsExtrasAddsAndVerifiesWithoutWritingTheFile) {
    Result kept = run({"sync", "db.tsy", "--keep-extras", "--verify"});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.out, "delete\t0104bc\tContractor\nadd\t0000b1\tNew tenant\nkeep\t0badc0\t\n"
                        "The database and the key controller are now up to date.\n");
    EXPECT_EQ(memory(), (std::set<uint32_t>{0x100, 0xa3f1, 0xb1, 0xbadc0}));

    Result deleted = run({"sync", "db.tsy", "--delete-extras", "--verify"});
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_EQ(deleted.out,
              "delete\t0badc0\t\nThe database and the key controller are now up to date.\n");
    EXPECT_EQ(memory(), (std::set<uint32_t>{0x100, 0xa3f1, 0xb1}));
    EXPECT_EQ(get("db.tsy"), database);

    Result again = run({"diff", "db.tsy"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "");
}

TEST_F(CliSim, VerifyCatchesAKeyTheUnitDroppedSilently) {
    sim.drop_key(0xb1);
    Result r = run({"sync", "db.tsy", "--delete-extras", "--verify"});
    EXPECT_EQ(r.status, 74);
    EXPECT_THAT(r.err, HasSubstr("tessary-cli: The key controller was read back after the "
                                 "synchronize operation"));
    EXPECT_THAT(r.err, HasSubstr("\n  Keys the controller lacks:\n  0000b1\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("now up to date")));
}

TEST_F(CliSim, OneShotCommandsSendTheirCommandAndClearNeedsYes) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string sent;
    } cases[] = {
        {{"door", "A", "db.tsy"}, 0, "o"},
        {{"door", "b", "--port", "3"}, 0, "b"},
        {{"reset", "--device", sim.device()}, 0, "\rr"},
        {{"clear", "--port", "3"}, 64, ""},
        {{"clear", "--yes", "db.tsy"}, 0, "c!"},
    };
    for (const Case& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << "\n" << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(c.status == 64 ? sim.received() : commands(), c.sent) << c.args[0];
    }
    EXPECT_TRUE(sim.memory().empty()); // cleared
}

TEST_F(CliSim, APortHeldElsewhereIsLeftAloneAndASilentUnitIsReported) {
    {
        SerialPort held;
        ASSERT_TRUE(held.open(sim.device()));
        const std::pair<std::vector<std::string>, int> cases[] = {{{"door", "A", "db.tsy"}, 69},
                                                                  {{"diff", "db.tsy"}, 2}};
        for (const auto& [args, status] : cases) {
            Result busy = run(args);
            EXPECT_EQ(busy.status, status) << args[0];
            EXPECT_THAT(busy.err, HasSubstr("COM3 is in use by another program")) << args[0];
            EXPECT_EQ(sim.received(), "");
        }
    }
    sim.set_silent(true);
    struct Case {
        const char* command;
        int status;
    } cases[] = {{"diff", 2}, {"sync", 69}};
    for (const Case& c : cases) {
        Result r = run({c.command, "db.tsy"});
        EXPECT_EQ(r.status, c.status) << c.command;
        EXPECT_THAT(r.err, HasSubstr("does not answer")) << c.command;
    }
    Result missing = run({"door", "A", "--port", "9"});
    EXPECT_EQ(missing.status, 69);
    EXPECT_THAT(missing.err, HasSubstr("there is no device"));
    Result not_a_line = run({"door", "A", "--device", "/dev/null"});
    EXPECT_EQ(not_a_line.status, 74);
    EXPECT_THAT(not_a_line.err, HasSubstr("Couldn't set the COM parameters"));
}

TEST_F(CliSim, ADeviceThisUserMayNotOpenGivesNoPermission) {
    // The terminal belongs to root and its group; an ordinary user may not open it.
    const char* setpriv = "/usr/bin/setpriv";
    if (getuid() != 0 || !fs::exists(setpriv)) {
        GTEST_SKIP() << "needs root to run the program as another user";
    }
    Result r = finish(start({"door", "A", "--device", sim.device()},
                            {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"}));
    EXPECT_EQ(r.status, 77) << r.err;
    EXPECT_THAT(r.err, HasSubstr(sim.device()));
    EXPECT_EQ(sim.received(), "");
}

TEST_F(CliSim, ListenJsonPrintsTheScreenLogLinesUntilInterrupted) {
    sim.clear_record();
    pid_t pid = start({"listen", "db.tsy", "--json"});
    ASSERT_TRUE(sim.wait_received("r", 10000));
    ASSERT_TRUE(sim.wait_idle(10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the identification taken in
    sim.present_key(0xa3f1);
    sim.present_key(0xbad, SimKeyKind::Invalid, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGINT);
    Result r = finish(pid);
    EXPECT_EQ(r.status, 0) << r.err;

    const std::regex object(R"re(\{"time": "(\d{4}/\d+/\d+ \d+:\d\d)", "key": "([^"]*)", )re"
                            R"re("event": "([^"]*)", "highlight": (true|false)\})re");
    std::vector<std::string> seen;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, object)) << line;
        seen.push_back(m[2].str() + "|" + m[3].str() + "|" + m[4].str());
        // The same line, with the same time, is in the log file.
        EXPECT_THAT(get("db.log"), HasSubstr(m[1].str())) << line;
    }
    EXPECT_THAT(seen, ::testing::ElementsAre("00a3f1|Valid key: Caretaker.|false",
                                             "000bad|Invalid key detected.|true"));
    EXPECT_THAT(get("db.log"), HasSubstr("Invalid key detected."));
    EXPECT_THAT(get("db.log"), HasSubstr("Log ended"));

    // What it heard is in the history, found again by the filters.
    auto texts = [this](std::vector<std::string> args) {
        args.insert(args.begin(), {"events", "list", "db.tsy"});
        Result listed = run(args);
        EXPECT_EQ(listed.status, 0) << listed.err;
        std::vector<std::string> out;
        std::istringstream lines(listed.out);
        for (std::string line; std::getline(lines, line);) {
            out.push_back(line.substr(line.find('\t') + 1)); // without the time
        }
        return out;
    };
    EXPECT_THAT(texts({"--key", "a3f1"}),
                ::testing::ElementsAre("00a3f1\tvalid-key\t\tValid key: Caretaker."));
    EXPECT_THAT(texts({"--kind", "invalid-key", "--text", "bad"}),
                ::testing::ElementsAre("000bad\tinvalid-key\t\tInvalid key detected."));
    EXPECT_THAT(texts({"--kind", "log", "--oldest-first"}),
                ::testing::ElementsAre("\tlog\t\tLog started", "\tlog\t\tLog ended"));
}

TEST_F(CliSim, ListenOnADeviceNamesTheDeviceWhenTheLineIsLost) {
    const std::string device = sim.device();
    pid_t pid = start({"listen", "--device", device});
    ASSERT_TRUE(sim.wait_received("r", 10000));
    ASSERT_TRUE(sim.wait_idle(10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sim.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGINT);
    Result r = finish(pid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Connection to " + device + " lost"));
    EXPECT_THAT(r.out, ::testing::Not(HasSubstr("COM1")));
}

// The same controller held day and night by the service, in the test's own process.
class CliThroughService : public CliSim {
  protected:
    void SetUp() override {
        CliSim::SetUp();
        setenv("TESSARY_PORT_DIR", path("ports").c_str(), 1);
        fs::create_directory(runtime_dir());
        std::ofstream(path("site.conf")) << "database = db.tsy\n";
        ServiceOptions o;
        o.site_path = path("site.conf");
        o.socket_path = runtime_dir() + "/tessary/tessaryd.sock";
        service = std::make_unique<Service>(o);
        ASSERT_TRUE(service->open());
        runner = std::thread([this] { service->run(); });
        ServiceClient client;
        ASSERT_TRUE(client.connect(o.socket_path));
        ASSERT_TRUE(wait_for([&] {
            auto served = client.list(10000);
            return served && served->size() == 1 && served->front().state == "connected" &&
                   !served->front().model.empty();
        }));
    }
    void TearDown() override {
        if (runner.joinable()) {
            service->stop();
            runner.join();
        }
        service.reset();
        CliSim::TearDown();
    }
    std::unique_ptr<Service> service;
    std::thread runner;
};

TEST_F(CliThroughService, OneShotCommandsGoThroughTheService) {
    struct Case {
        std::vector<std::string> args;
        std::string sent;
    } cases[] = {{{"door", "A", "db.tsy"}, "o"},
                 {{"door", "B", "--port", "3"}, "b"},
                 {{"clear", "--yes", "db.tsy"}, "c!"}};
    for (const Case& c : cases) {
        sim.clear_record();
        Result r = finish(start(c.args));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(sim.wait_received(c.sent, 10000)) << hex_dump(sim.received());
    }
}

TEST_F(CliThroughService, SyncThroughTheServicePrintsThePlanAndChangesTheUnit) {
    Result refused = run({"sync", "db.tsy"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.err, HasSubstr("holds 1 key the database lacks (0badc0)"));
    Result r = run({"sync", "db.tsy", "--delete-extras"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find("\n", r.out.find("add"))),
              "delete\t0104bc\tContractor\ndelete\t0badc0\t\nadd\t0000b1\tNew tenant");
    EXPECT_EQ(memory(), (std::set<uint32_t>{0x100, 0xa3f1, 0xb1}));
}

TEST_F(CliThroughService, DiffAndDryRunPrintWhatTheyPrintOnTheLink) {
    const std::set<uint32_t> before = memory();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"diff", "db.tsy"},
         1,
         "add\t0000b1\tNew tenant\nextra\t0badc0\t\nexpired\t0104bc\tContractor\n"},
        {{"sync", "db.tsy", "--dry-run", "--keep-extras", "--port", "3"},
         0,
         "delete\t0104bc\tContractor\nadd\t0000b1\tNew tenant\nkeep\t0badc0\t\n"
         "Nothing was sent (--dry-run).\n"},
    };
    for (const Case& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(memory(), before);
    }
}

TEST_F(CliThroughService, ListenPrintsTheServicesEventsUntilInterrupted) {
    pid_t pid = start({"listen", "db.tsy"});
    // The subscription is in place once a key presented shows; until then one more is sent.
    ASSERT_TRUE(wait_for([&] {
        sim.present_key(0xa3f1);
        return wait_for([&] { return get("out.txt").find("Caretaker") != std::string::npos; },
                        1000);
    }));
    kill(pid, SIGINT);
    Result r = finish(pid);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string first = r.out.substr(0, r.out.find('\n') + 1);
    EXPECT_EQ(first.substr(first.find('\t')), "\t00a3f1\tValid key: Caretaker.\n") << r.out;
    EXPECT_NE(first.find('T'), std::string::npos) << r.out; // the history's ISO time
}

TEST_F(CliThroughService, StatusListsTheServedControllers) {
    Result text = run({"status"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("db.tsy\tCOM3\tconnected\t"));
    Result json = run({"status", "--json"});
    EXPECT_THAT(json.out, HasSubstr("db.tsy\", \"port\": \"COM3\", \"state\": \"connected\""));
}

TEST_F(CliSim, StatusWithoutAServiceSaysSo) {
    Result r = run({"status"});
    EXPECT_EQ(r.status, 69);
    EXPECT_EQ(r.err, "tessary-cli: no service runs (no tessaryd at " + runtime_dir() +
                         "/tessary/tessaryd.sock)\n");
}

} // namespace
