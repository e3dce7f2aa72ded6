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
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

// A FIFO would hold the program up for good; a link would send its writes to another file.
TEST_F(FileBeside, APlantedLinkOrFifoIsRefusedAndNamed) {
    fs::create_symlink(dir_ / "victim", dir_ / "link");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    for (const auto& [name, reason] :
         {std::pair{"link", "It is a symbolic link, which is not followed here"},
          std::pair{"fifo", "It is not a regular file"}}) {
        File file = File::open_beside(dir_ / name, O_WRONLY | O_CREAT | O_APPEND, 0600);
        EXPECT_FALSE(file.is_open());
        EXPECT_EQ(IoResult(file.open_error()).reason(), reason);
    }
    EXPECT_FALSE(fs::exists(dir_ / "victim"));
}

// Only an old, unlocked file of the program's own name pattern goes.
TEST_F(FileBeside, LeftoversAreRemovedOnlyWhenOldAndUnlocked) {
    std::string locked = (dir_ / ".keys.tsy.XXXXXX").string();
    File writing = File::create_temporary(locked);
    const std::string old_names[] = {".keys.tsy.abc123", ".keys.tsy.toolong1", locked};
    for (const std::string& name : old_names) {
        std::ofstream(dir_ / name) << "x";
        fs::last_write_time(dir_ / name,
                            fs::file_time_type::clock::now() - std::chrono::minutes(2));
    }
    std::ofstream(dir_ / ".keys.tsy.fresh1") << "x";
    EXPECT_EQ(remove_leftovers(dir_.string(), ".keys.tsy."), 1);
    EXPECT_FALSE(fs::exists(dir_ / ".keys.tsy.abc123"));
    EXPECT_TRUE(fs::exists(locked));
    EXPECT_TRUE(fs::exists(dir_ / ".keys.tsy.fresh1"));
    EXPECT_TRUE(fs::exists(dir_ / ".keys.tsy.toolong1"));
}

} // namespace
