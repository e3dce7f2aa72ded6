#include "database/database_save.h"

#include "core/buffer.h"
#include "database/tsy_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr uid_t user = 4242;
constexpr uid_t other_user = 4343;

const std::string old_bytes = ";old database, kept byte for byte\r\nKEY\t000001\tOld\t\t\r\n";

class DatabaseSave : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "save_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name = "keys.tsy") const { return (dir_ / name).string(); }

    static void put(const std::string& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    }
    static std::string bytes_of(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // What write_database makes of rec, for comparison.
    std::string expected_bytes() {
        const std::string p = path("expected.out");
        File f = File::create(p);
        EXPECT_TRUE(write_database(rec.keys, rec.log, rec.layout, f));
        f.close();
        std::string b = bytes_of(p);
        fs::remove(p);
        return b;
    }
    void add_keys(int count) {
        for (int i = 1; i <= count; ++i) {
            rec.keys.add(KeyId{0, static_cast<uint32_t>(i), 0},
                         "Key holder with a fairly long name, number " + std::to_string(i));
        }
    }
    // A state folder for a child that runs as `user`.
    std::string user_state() const {
        const fs::path state = dir_ / "state";
        fs::create_directory(state);
        EXPECT_EQ(chown(state.c_str(), user, user), 0);
        return state.string();
    }
    // The backup folder a replacing save makes is not a leftover.
    size_t entries() const {
        return static_cast<size_t>(
            std::count_if(fs::directory_iterator(dir_), {}, [](const fs::directory_entry& e) {
                return e.path().filename() != ".tessary-backups";
            }));
    }

    fs::path dir_;
    DatabaseContents rec;
};

TEST_F(DatabaseSave, WritesTheWholeDatabaseAndLeavesNoOtherFile) {
    add_keys(3);
    const std::string expected = expected_bytes();
    ASSERT_TRUE(save_database_file(rec.keys, rec.log, rec.layout, path()));
    EXPECT_EQ(bytes_of(path()), expected);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(DatabaseSave, ReplacesAnOldFileKeepingItsPermissions) {
    put(path(), old_bytes);
    ASSERT_EQ(chmod(path().c_str(), 0640), 0);
    add_keys(2);
    ASSERT_TRUE(save_database_file(rec.keys, rec.log, rec.layout, path()));
    EXPECT_EQ(bytes_of(path()), expected_bytes());
    struct stat st {};
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(DatabaseSave, NewFileGetsOrdinaryPermissions) {
    ASSERT_TRUE(save_database_file(rec.keys, rec.log, rec.layout, path()));
    struct stat st {};
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    // Not the private mode of the temporary file it was written as.
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(DatabaseSave, ThroughASymbolicLinkTheLinkStaysAndItsFileIsReplaced) {
    fs::create_directory(dir_ / "real");
    const std::string real = (dir_ / "real" / "keys.tsy").string();
    put(real, old_bytes);
    fs::create_symlink(real, path("link.tsy"));
    add_keys(1);
    ASSERT_TRUE(save_database_file(rec.keys, rec.log, rec.layout, path("link.tsy")));
    EXPECT_TRUE(fs::is_symlink(path("link.tsy")));
    EXPECT_EQ(bytes_of(real), expected_bytes());
}

TEST_F(DatabaseSave, AFolderThatDoesNotExistFailsAndCreatesNothing) {
    EXPECT_FALSE(save_database_file(rec.keys, rec.log, rec.layout, path("missing/keys.tsy")));
    EXPECT_EQ(entries(), 0u);
}

TEST_F(DatabaseSave, AFolderInThePlaceOfTheFileFailsAndStays) {
    fs::create_directory(path());
    EXPECT_FALSE(save_database_file(rec.keys, rec.log, rec.layout, path()));
    EXPECT_TRUE(fs::is_directory(path()));
    EXPECT_EQ(entries(), 1u);
}

// A real write failure part way through: the process may write no file beyond 1000 bytes, so
// the database (far longer) fails after its first kilobyte. A truncate-then-write save would
// have lost the old file here.
TEST_F(DatabaseSave, AWriteThatFailsHalfwayLeavesTheOldFileByteForByte) {
    put(path(), old_bytes);
    add_keys(200);
    ASSERT_GT(expected_bytes().size(), 5000u);

    struct rlimit old_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const IoResult saved = save_database_file(rec.keys, rec.log, rec.layout, path());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(saved.error(), std::errc::file_too_large);
    EXPECT_EQ(bytes_of(path()), old_bytes);
    EXPECT_EQ(entries(), 1u);
}

// The tests run as root, who may write any file: the cases of an ordinary user are run in a
// child that has taken on such a user's identity. Its exit status is 0 for a successful save,
// else the cause's errno value. A save in place keeps its copy in the `state` folder given.
int save_as_user(const DatabaseContents& rec, const std::string& path, const std::string& state) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0 ||
            setenv("XDG_STATE_HOME", state.c_str(), 1) != 0) {
            _exit(255);
        }
        IoResult saved = save_database_file(rec.keys, rec.log, rec.layout, path);
        _exit(saved ? 0 : saved.error().value());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

struct UserCase {
    const char* what;
    uid_t file_owner;
    mode_t file_mode;
    mode_t folder_mode; // the folder belongs to root
    bool state_folder;  // whether the user has a state folder to keep a copy in
    int expected;       // exit status of the child
    uid_t owner_after;
};

TEST_F(DatabaseSave, AnOrdinaryUserSavesOnlyFilesTheyMayWriteAndNeverTakesThemOver) {
    const UserCase cases[] = {
        {"read-only file, writable folder", user, 0444, 0777, true, EACCES, user},
        {"another user's file, writable folder", other_user, 0644, 0777, true, EACCES, other_user},
        {"own file, folder without room for a new name", user, 0644, 0755, true, 0, user},
        {"the same, and nowhere to keep a copy", user, 0644, 0755, false, EACCES, user},
        {"another user's writable file, writable folder", other_user, 0666, 0777, true, 0,
         other_user},
    };
    add_keys(2);
    const std::string expected = expected_bytes();
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    for (const UserCase& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = dir_ / "shared";
        fs::remove_all(folder);
        fs::create_directory(folder);
        ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
        const std::string file = (folder / "keys.tsy").string();
        put(file, old_bytes);
        ASSERT_EQ(chown(file.c_str(), c.file_owner, c.file_owner), 0);
        ASSERT_EQ(chmod(file.c_str(), c.file_mode), 0);

        EXPECT_EQ(save_as_user(rec, file, c.state_folder ? user_state() : "/nonexistent"),
                  c.expected);
        EXPECT_EQ(bytes_of(file), c.expected == 0 ? expected : old_bytes);
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, c.owner_after);
        EXPECT_EQ(st.st_mode & 07777, c.file_mode);
        EXPECT_EQ(
            std::count_if(fs::directory_iterator(folder), {},
                          [](const auto& e) { return e.path().filename() != ".tessary-backups"; }),
            1);
    }
}

TEST_F(DatabaseSave, RootKeepsTheOwnerAndGroupOfTheFileItReplaces) {
    put(path(), old_bytes);
    ASSERT_EQ(chown(path().c_str(), user, other_user), 0);
    ASSERT_EQ(chmod(path().c_str(), 0640), 0);
    add_keys(1);
    ASSERT_TRUE(save_database_file(rec.keys, rec.log, rec.layout, path()));
    EXPECT_EQ(bytes_of(path()), expected_bytes());
    struct stat st {};
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_gid, other_user);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

} // namespace
