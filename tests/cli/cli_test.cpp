// tessary-cli end to end: the built program run through the shell as a script or a timer runs
// it, its standard output, standard error and exit status checked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "events/log_file.h"
#include "history/event_store.h"
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

using ::testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

const std::string header = ";              === Tessary 2.0 key list ===\r\n"
                           ";   === It is not recommended to edit this file manually! ===\r\n"
                           ";\r\n";

// No WINDOW or column lines: a save from the command line must not add any.
const std::string database = header + "COM\t3\r\nBOOL1\t1f\r\n"
                                      "KEY\t00a3f1\tCaretaker\tNight, \"late\"\tRoom 12\r\n"
                                      "KEY\t0104bc\tcaf\xe9\t\t\r\n"
                                      "VALID\t0104bc\t2026-03-01\t2026-03-14\r\n";

struct Result {
    int status = -1;
    std::string out, err;
};

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "cli_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        put("db.tsy", database);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }
    void put(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    std::string get(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Runs in the test's folder, so that file names in arguments are short.
    // Bounded in time: a program that hangs fails its test instead of stopping the run. `as`
    // goes before the program (another user's identity, say).
    Result run(const std::string& args, const std::string& redirect_out = "",
               const std::string& as = "") const {
        std::string out = redirect_out.empty() ? "out.txt" : redirect_out;
        std::string command = "cd '" + dir.string() + "' && " + as +
                              " timeout -k 5 60 '" TESSARY_CLI "' " + args + " >" + out +
                              " 2>err.txt";
        int raw = std::system(command.c_str());
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = get("out.txt");
        r.err = get("err.txt");
        return r;
    }

    fs::path dir;
};

} // namespace

TEST_F(Cli, KeysListAndExportInEachFormat) {
    struct Case {
        const char* args;
        std::string out;
    } cases[] = {
        {"keys list db.tsy", "00a3f1\tCaretaker\tNight, \"late\"\tRoom 12\t\t\n"
                             "0104bc\tcaf\xc3\xa9\t\t\t2026-03-01\t2026-03-14\n"},
        {"keys export db.tsy", "key,name,memo,free,valid_from,valid_until\r\n"
                               "00a3f1,Caretaker,\"Night, \"\"late\"\"\",Room 12,,\r\n"
                               "0104bc,caf\xc3\xa9,,,2026-03-01,2026-03-14\r\n"},
        {"keys list db.tsy --json",
         "[\n"
         "  {\"key\": \"00a3f1\", \"name\": \"Caretaker\", \"memo\": \"Night, \\\"late\\\"\", "
         "\"free\": \"Room 12\", \"valid_from\": null, \"valid_until\": null},\n"
         "  {\"key\": \"0104bc\", \"name\": \"caf\xc3\xa9\", \"memo\": \"\", \"free\": \"\", "
         "\"valid_from\": \"2026-03-01\", \"valid_until\": \"2026-03-14\"}\n"
         "]\n"},
    };
    for (const Case& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.args << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.err, "") << c.args;
    }
    EXPECT_EQ(run("keys list db.tsy --csv").out, run("keys export db.tsy").out);
}

// A name cannot steer the terminal: text output shows its control characters as \xNN.
TEST_F(Cli, ControlCharactersInNamesAreShownEscaped) {
    put("esc.tsy", header + "KEY\t000001\t\x1b[2JRed\x7f\tC:\\xy\t\x81\r\n");
    EXPECT_EQ(run("keys list esc.tsy").out,
              "000001\t\\x1b[2JRed\\x7f\tC:\\x5cxy\t\\xc2\\x81\t\t\n");
}

// A wrong call, a missing file, a file in which nothing could be read, a full output and a
// controller that is not there: each its own status, a reason on stderr.
TEST_F(Cli, ExitStatuses) {
    std::mt19937 random(12);
    std::string noise(4096, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
        c = c == '\n' ? '\0' : c; // one line, so that no line can begin with a keyword
    }
    noise[0] = '\xff';
    put("noise.tsy", noise);
    put("noise_with_key.tsy", noise + "\nKEY\t000012\tfound\t\t\n");
    put("notes.txt", "tcp:nohost\n");
    struct Case {
        const char* args;
        int status;
        const char* err;
    } cases[] = {
        {"", 64, "no subcommand given"},
        {"keys", 64, "keys needs one of list, export or import"},
        {"keys list", 64, "missing arguments"},
        {"keys list db.tsy --color", 64, "unknown option '--color'"},
        {"keys list db.tsy --csv --json", 64, "--csv and --json exclude each other"},
        {"keys list db.tsy --colour=red", 64, "unknown option '--colour'"},
        {"keys list db.tsy --csv=yes", 64, "--csv takes no value"},
        {"keys list -- --yes", 66, "--yes: No such file or directory"},
        {"reset --port=3 --device x", 64, "--port and --device exclude each other"},
        {"reset --port 3 --device=x", 64, "--port and --device exclude each other"},
        {"clear --port=1 -- --yes", 64, "give --yes"},
        {"clear --port 1", 64, "give --yes"},
        {"door C --port 1", 64, "door needs A or B"},
        {"sync db.tsy --keep-extras --delete-extras", 64, "exclude each other"},
        {"reset", 64, "say which controller"},
        {"listen --port 0", 64, "--port needs a COM port number"},
        {"keys list missing.tsy", 66, "missing.tsy: No such file or directory"},
        {"sync missing.tsy --delete-extras", 66, "missing.tsy"},
        {"keys list .", 66, "Is a directory"},
        {"keys list noise.tsy", 65, "not a Tessary database"},
        {"keys list noise_with_key.tsy", 0, ""},
        {"keys import db.tsy missing.csv", 66, "missing.csv"},
        {"sync db.tsy --delete-extras --device ./no-such-port", 69, "there is no device"},
        {"door A --device /dev/null", 74, "Couldn't set the COM parameters"},
        {"door A --device notes.txt", 65, "notes.txt is a malformed port entry"},
    };
    for (const Case& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.err)) << c.args;
        if (c.status == 64) {
            EXPECT_THAT(r.err, HasSubstr("usage: tessary-cli")) << c.args;
        }
    }
    EXPECT_EQ(run("keys list noise_with_key.tsy").out, "000012\tfound\t\t\t\t\n");
    EXPECT_EQ(run("keys export db.tsy", "/dev/full").status, 74);
}

// What cannot be read is said: a file that is no database is refused, the bad lines of one that
// is are listed, each line of the warning naming the file.
TEST_F(Cli, UnreadableInputIsSaid) {
    put("zeros.tsy", std::string(4096, '\0'));
    put("bad.tsy", header + "COM\t4294967297\r\nKEY\t-1\tx\t\t\r\nKEY\t000001\tgood\t\t\r\n");
    const std::string bad = "tessary-cli: bad.tsy: ";
    struct Case {
        const char* args;
        int status;
        std::string err;
    } cases[] = {
        {"keys list zeros.tsy", 65,
         "tessary-cli: zeros.tsy: not a Tessary database: it contains binary data\n"},
        {"keys list bad.tsy", 0,
         bad + "Some lines of this database couldn't be read as they are:\n" + bad +
             "Line 4: COM port 4294967297 is out of range (0 to 255); 255 is used instead.\n" +
             bad + "Line 5: key number '-1' is not hexadecimal; the line is left out.\n" + bad +
             "The database was opened without the lines left out. Saving it will remove them "
             "from the file and store the values used instead.\n"},
    };
    for (const Case& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
    EXPECT_EQ(run("keys list bad.tsy").out, "000001\tgood\t\t\t\t\n");
}

TEST_F(Cli, EverySubcommandHasHelp) {
    for (const char* words : {"keys list", "keys export", "keys import", "diff", "sync", "door",
                              "reset", "clear", "listen"}) {
        Result r = run(std::string(words) + " --help");
        EXPECT_EQ(r.status, 0) << words;
        EXPECT_EQ(r.out.rfind(std::string("usage: tessary-cli ") + words + " ", 0), 0u) << r.out;
    }
    Result keys = run("keys --help");
    EXPECT_EQ(keys.status, 0) << keys.err;
    for (const char* line :
         {"usage: tessary-cli keys list ", "\n       tessary-cli keys export ",
          "\n       tessary-cli keys import ", "\n  list ", "\n  export ", "\n  import "}) {
        EXPECT_THAT(keys.out, HasSubstr(line));
    }
}

TEST_F(Cli, ImportRefusesBadRowsUnlessToldAndSavesTheGoodOnes) {
    put("keys.csv", "\xef\xbb\xbfname,KEY,room\r\n"
                    "New,000001\r\n"
                    "Renamed,00a3f1\r\n"
                    "Bad,12345678\r\n");
    Result refused = run("keys import db.tsy keys.csv");
    EXPECT_EQ(refused.status, 65);
    EXPECT_THAT(refused.err, HasSubstr("keys.csv: columns ignored: room"));
    EXPECT_THAT(refused.err, HasSubstr("keys.csv:4: the key number has more than six digits"));
    EXPECT_THAT(refused.err, HasSubstr("give --good-rows-only"));
    EXPECT_EQ(get("db.tsy"), database);

    Result dry = run("keys import db.tsy keys.csv --good-rows-only --dry-run");
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(dry.out, "1 new, 1 already in the database (kept), 1 bad row(s) left out; nothing "
                       "saved (--dry-run)\n");
    EXPECT_EQ(get("db.tsy"), database);

    Result done = run("keys import db.tsy - --good-rows-only --update <keys.csv");
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, "1 new, 1 already in the database (updated), 1 bad row(s) left out\n");
    EXPECT_EQ(get("db.tsy"), header + "COM\t3\r\nBOOL1\t1f\r\nSCREENLOGLINES\t1000\r\n"
                                      "LOGFILESIZE\t710\r\n"
                                      "KEY\t00a3f1\tRenamed\t\t\r\n"
                                      "KEY\t0104bc\tcaf\xe9\t\t\r\n"
                                      "KEY\t000001\tNew\t\t\r\n"
                                      "VALID\t0104bc\t2026-03-01\t2026-03-14\r\n");
}

// A quote that is never closed loses its own row only, not the good rows after it.
TEST_F(Cli, AnUnclosedQuoteLeavesTheRowsAfterItToImport) {
    put("keys.csv", "key,name\r\n000001,\"Open\r\n000002,Two\r\n000003,Three\r\n");
    Result r = run("keys import db.tsy keys.csv --good-rows-only");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2 new, 0 already in the database (kept), 1 bad row(s) left out\n");
    EXPECT_EQ(r.err, "keys.csv:2: a quoted field is not closed\n");
    EXPECT_THAT(get("db.tsy"), HasSubstr("KEY\t000002\tTwo\t\t\r\nKEY\t000003\tThree\t\t\r\n"));
}

// An import writes the file: refused while a live program holds the database's lock, done over
// a lock file that no live process locks, whatever it holds.
TEST_F(Cli, ImportRespectsTheDatabaseLock) {
    put("keys.csv", "key,name\r\n000001,New\r\n");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string here = std::string("\n") + host + "\n";
    int held = open(path("db.tsy.lock").c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(held, 0);
    struct flock range {};
    range.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &range), 0);
    const std::string holder = std::to_string(getpid()) + "\ntessary" + here;
    ASSERT_EQ(write(held, holder.data(), holder.size()), static_cast<ssize_t>(holder.size()));
    Result refused = run("keys import db.tsy keys.csv");
    EXPECT_EQ(refused.status, 75);
    EXPECT_THAT(refused.err, HasSubstr("db.tsy is open in process " + std::to_string(getpid()) +
                                       " (tessary) on host " + host));
    EXPECT_EQ(get("db.tsy"), database);
    close(held);

    put("db.tsy.lock", "");
    Result done = run("keys import db.tsy keys.csv");
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_THAT(get("db.tsy"), HasSubstr("KEY\t000001\tNew"));
    EXPECT_FALSE(fs::exists(path("db.tsy.lock")));
}

// The user's own database in a folder that takes no new file, on a nearly full disk.
TEST_F(Cli, AnImportWithoutRoomLeavesTheFileWholeAndSaysWhy) {
    const fs::path disk = dir / "disk";
    fs::create_directories(disk);
    if (mount("tessary-test", disk.c_str(), "tmpfs", 0, "size=200k,mode=755") != 0) {
        GTEST_SKIP() << "no tmpfs";
    }
    std::string first = "key,name\r\n", more = first;
    char line[64];
    for (int i = 1; i <= 5000; ++i) {
        std::snprintf(line, sizeof line, "%06x,Key holder with a fairly long name\r\n", i);
        (i <= 2000 ? first : more) += line;
    }
    put("disk/db.tsy", database);
    put("first.csv", first);
    put("more.csv", more);
    ASSERT_EQ(run("keys import disk/db.tsy first.csv").status, 0);
    ASSERT_EQ(chown(path("disk/db.tsy").c_str(), 4242, 4242), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    fs::create_directory(dir / "state");
    ASSERT_EQ(chown(path("state").c_str(), 4242, 4242), 0);
    const std::string old = get("disk/db.tsy");
    Result refused = run("keys import disk/db.tsy more.csv --update", "",
                         "XDG_STATE_HOME=" + path("state") +
                             " setpriv --reuid=4242 --regid=4242 --clear-groups");
    EXPECT_EQ(refused.status, 74);
    EXPECT_EQ(refused.err, "tessary-cli: disk/db.tsy: could not be saved; it is unchanged: There "
                           "is no room for the new file: No space left on device\n");
    EXPECT_TRUE(get("disk/db.tsy") == old);
    umount2(disk.c_str(), MNT_DETACH);
}

TEST_F(Cli, AnImportWithoutABackupSaysSoAndSaves) {
    put("keys.csv", "key,name\r\n000001,New\r\n");
    put(".tessary-backups", "");
    Result done = run("keys import db.tsy keys.csv");
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.err, "tessary-cli: db.tsy: no backup copy of the old file could be made: "
                        ".tessary-backups: Not a directory\n");
    EXPECT_THAT(get("db.tsy"), HasSubstr("KEY\t000001\tNew"));
}

// A folder the user may not write and a database file they may: where the first program run by
// that user (a child holding the lock) has it open, the import finds the database itself locked.
TEST_F(Cli, ImportRefusedWhereTheDatabaseItselfIsLocked) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root to run as another user";
    }
    put("keys.csv", "key,name\r\n000001,New\r\n");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(path("db.tsy").c_str(), 0666), 0);
    int keep[2], told[2];
    ASSERT_EQ(pipe(keep), 0);
    ASSERT_EQ(pipe(told), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            FileLock lock;
            char outcome = lock.acquire(path("db.tsy")) == FileLock::Outcome::Locked ? 'L' : 'x';
            close(keep[1]);
            [[maybe_unused]] ssize_t n = write(told[1], &outcome, 1);
            n = read(keep[0], &outcome, 1);
        }
        _exit(0);
    }
    close(keep[0]);
    close(told[1]);
    char outcome = 0;
    ASSERT_EQ(read(told[0], &outcome, 1), 1);
    ASSERT_EQ(outcome, 'L');
    Result refused = run("keys import db.tsy keys.csv", "",
                         "setpriv --reuid=65534 --regid=65534 "
                         "--clear-groups ");
    close(keep[1]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(refused.status, 75) << refused.err;
    EXPECT_THAT(refused.err, HasSubstr("db.tsy is open in another process"));
    EXPECT_EQ(get("db.tsy"), database);
}

// Only a regular file is a database: a FIFO is refused at once instead of waiting for a writer.
TEST_F(Cli, FifoIsNoDatabase) {
    ASSERT_EQ(mkfifo(path("pipe.tsy").c_str(), 0600), 0);
    Result r = run("keys list pipe.tsy");
    EXPECT_EQ(r.status, 65);
    EXPECT_EQ(r.err, "tessary-cli: pipe.tsy: Not a regular file (a FIFO)\n");
}

// The history written as the window writes it, read back by the command line in UTC.
TEST_F(Cli, EventsListAndLastUseReadTheHistoryWithTheirFilters) {
    EXPECT_EQ(run("events list db.tsy").out, "") << "no history: nothing, and no error";
    std::string error;
    auto store = EventStore::open(path("db.events.sqlite"), true, path("db.tsy"), &error);
    ASSERT_TRUE(store) << error;
    auto event = [](int64_t ms, std::optional<uint32_t> key, EventKind kind, char door,
                    std::string text) {
        StoredEvent e;
        e.time_ms = ms;
        e.key = key;
        e.kind = kind;
        e.door = door;
        e.text = std::move(text);
        e.name = key == 0x00a3f1u ? "Caretaker" : "";
        return e;
    };
    const int64_t night = 1'765'321'200'000; // 2025-12-09T23:00:00Z
    std::vector<StoredEvent> events = {
        event(night, 0x00a3f1, EventKind::ValidKey, 'B', "Valid key.  Door B is open."),
        event(night + 60'000, std::nullopt, EventKind::Door, 'B', "Door B closed "),
        event(night + 120'000, 0x123456, EventKind::InvalidKey, 0, "Invalid key detected."),
    };
    ASSERT_TRUE(store->append(events, &error)) << error;
    store.reset();
    struct Case {
        const char* args;
        std::string out;
    } cases[] = {
        {"events list db.tsy --door B --kind valid-key,door --oldest-first",
         "2025-12-09T23:00:00+00:00\t00a3f1\tvalid-key\tB\tValid key.  Door B is open.\n"
         "2025-12-09T23:01:00+00:00\t\tdoor\tB\tDoor B closed \n"},
        {"events list db.tsy --since 2025-12-09T23:01 --limit 1",
         "2025-12-09T23:02:00+00:00\t123456\tinvalid-key\t\tInvalid key detected.\n"},
        {"events list db.tsy --text caretaker --json",
         "{\"time\": \"2025-12-09T23:00:00+00:00\", \"key\": \"00a3f1\", \"name\": \"Caretaker\", "
         "\"memo\": \"\", \"kind\": \"valid-key\", \"door\": \"B\", \"highlight\": false, "
         "\"text\": \"Valid key.  Door B is open.\"}\n"},
        {"events last-use db.tsy",
         "00a3f1\tCaretaker\t2025-12-09T23:00:00+00:00\tB\t1\n0104bc\tcaf\xc3\xa9\t\t\t0\n"},
    };
    for (const Case& c : cases) {
        Result r = run(c.args, "", "TZ=UTC");
        EXPECT_EQ(r.status, 0) << c.args << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    Result bad = run("events list db.tsy --kind doors");
    EXPECT_EQ(bad.status, 64);
    EXPECT_EQ(bad.err, "tessary-cli: --kind: unknown kind 'doors'\n");
    EXPECT_EQ(run("events list db.tsy --since yesterday").status, 64);
}

TEST_F(Cli, EventsKeepSetsTheMonthsTheHistoryKeepsAndPrunesAtOnce) {
    EXPECT_EQ(run("events keep db.tsy").out, "The history keeps all events.\n");
    put("db.log", log_file_line("2020/1/2 6:00", " - ", "Log started"));
    ASSERT_EQ(run("events import-logs db.tsy").status, 0);
    Result set = run("events keep db.tsy --months 1");
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "The history keeps 1 month of events.\n1 older event removed\n");
    EXPECT_EQ(run("events keep db.tsy").out, "The history keeps 1 month of events.\n");
    EXPECT_EQ(run("events keep db.tsy --months 1201").status, 64);
    EXPECT_EQ(run("events keep db.tsy --months 0").out,
              "The history keeps all events.\n0 older events removed\n");
}

TEST_F(Cli, ImportLogsFillsTheHistoryFromTheLogFilesOnlyOnce) {
    put("db-upto-20251209-23h59.log",
        log_file_line("2025/12/9 23:00", "00a3f1", "Valid key.  Door B is open.") +
            log_file_line("2025/12/9 23:01", "", "Door B closed "));
    put("db.log", log_file_line("2025/12/10 6:00", " - ", "Log started") + "not a log line\r\n");
    Result first = run("events import-logs db.tsy", "", "TZ=UTC");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "3 events imported from 2 log files, 0 already in the history\n");
    EXPECT_EQ(run("events import-logs db.tsy", "", "TZ=UTC").out,
              "0 events imported from 2 log files, 3 already in the history\n");
    EXPECT_EQ(run("events list db.tsy --door B --oldest-first", "", "TZ=UTC").out,
              "2025-12-09T23:00:00+00:00\t00a3f1\tvalid-key\tB\tValid key.  Door B is open.\n"
              "2025-12-09T23:01:00+00:00\t\tdoor\tB\tDoor B closed\n");
}
