#include "platform/file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

class FileBeside : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "file_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ / "victim") << "mine";
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

TEST_F(FileBeside, APlantedLinkOrFifoIsRefusedAndNamed) {
    struct Case {
        const char* what;
        void (*plant)(const fs::path& victim, const fs::path& name);
        const char* reason;
    };
    const Case cases[] = {
        {"symbolic link", [](const fs::path& v, const fs::path& n) { fs::create_symlink(v, n); },
         "It is a symbolic link, which is not followed here"},
        {"FIFO", [](const fs::path&, const fs::path& n) { ASSERT_EQ(mkfifo(n.c_str(), 0600), 0); },
         "It is not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path name = dir_ / c.what;
        c.plant(dir_ / "victim", name);
        File file = File::open_beside(name, O_WRONLY | O_CREAT | O_APPEND, 0600);
        EXPECT_FALSE(file.is_open());
        EXPECT_EQ(IoResult(file.open_error()).reason(), c.reason);
    }
    std::ifstream in(dir_ / "victim");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "mine");
}

TEST_F(FileBeside, NewAndWiderFilesGetNoMoreThanTheDatabasesBits) {
    const fs::path database = dir_ / "keys.tsy", wide = dir_ / "wide.log", fresh = dir_ / "new.log";
    std::ofstream(database) << "";
    std::ofstream(wide) << "";
    fs::permissions(database, fs::perms::owner_read);
    fs::permissions(wide, fs::perms(0664));
    for (const fs::path& p : {wide, fresh}) {
        EXPECT_TRUE(File::open_beside(p, O_WRONLY | O_CREAT, mode_beside(database)).is_open());
        EXPECT_EQ(fs::status(p).permissions(), fs::perms(0600)) << p;
    }
    fs::create_directory(dir_ / "backups", dir_);
    fs::permissions(dir_ / "backups", fs::perms(0755));
    ASSERT_TRUE(make_private_folder((dir_ / "backups").string()));
    EXPECT_EQ(fs::status(dir_ / "backups").permissions(), fs::perms(0700));
}

// Only an old, unlocked file of the program's own name pattern goes.
TEST_F(FileBeside, LeftoversAreRemovedOnlyWhenOldAndUnlocked) {
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(2);
    std::string locked = (dir_ / ".keys.tsy.XXXXXX").string();
    File writing = File::create_temporary(locked);
    for (const char* name : {".keys.tsy.abc123", ".keys.tsy.fresh1", ".keys.tsy.toolong1"}) {
        std::ofstream(dir_ / name) << "x";
    }
    const std::string old_names[] = {".keys.tsy.abc123", ".keys.tsy.toolong1",
                                     fs::path(locked).filename().string()};
    for (const std::string& name : old_names) {
        fs::last_write_time(dir_ / name, old);
    }
    EXPECT_EQ(remove_leftovers(dir_.string(), ".keys.tsy."), 1);
    EXPECT_FALSE(fs::exists(dir_ / ".keys.tsy.abc123"));
    EXPECT_TRUE(fs::exists(locked));
    EXPECT_TRUE(fs::exists(dir_ / ".keys.tsy.fresh1"));
    EXPECT_TRUE(fs::exists(dir_ / ".keys.tsy.toolong1"));
}

} // namespace
