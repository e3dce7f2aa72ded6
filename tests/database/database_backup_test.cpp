#include "database/database_backup.h"

#include "database/database_save.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class DatabaseBackupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "backup_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        take_backup_failure();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name = "keys.tsy") const { return (dir_ / name).string(); }
    fs::path backups() const { return dir_ / ".tessary-backups"; }

    // Saves the record with one more key than before, so that every saved file is told apart
    // by its key count.
    bool save_one_more(const std::string& file) {
        rec.keys.add(KeyId{0, static_cast<uint32_t>(rec.keys.size() + 1), 0}, "Holder");
        return static_cast<bool>(save_database_file(rec.keys, rec.log, rec.layout, file));
    }

    fs::path dir_;
    DatabaseContents rec;
};

// 21 saves over an existing file: every save keeps the file it replaces, the 21st copy drops
// the oldest (the file from before the first save), and the listing gives the rest newest first.
TEST_F(DatabaseBackupTest, KeepsTheLastTwentyNewestFirstWithTheirKeyCounts) {
    ASSERT_TRUE(save_one_more(path())); // a new file: nothing to keep
    EXPECT_FALSE(fs::exists(backups()));
    for (int save = 0; save < 21; ++save) {
        ASSERT_TRUE(save_one_more(path()));
    }
    const std::vector<DatabaseBackup> list = list_database_backups(path());
    ASSERT_EQ(list.size(), 20u);
    for (size_t i = 0; i < list.size(); ++i) {
        // The newest copy holds the file of the 21st save's predecessor: 21 keys.
        EXPECT_EQ(list[i].key_count, 21 - static_cast<int>(i)) << list[i].path;
        EXPECT_EQ(fs::path(list[i].path).parent_path(), backups());
        EXPECT_LE(list[i].time, std::time(nullptr));
        EXPECT_GE(list[i].time, std::time(nullptr) - 60);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(backups()), {}), 20);
    EXPECT_FALSE(take_backup_failure());
}

// Copies of other files in the folder and foreign names are neither listed nor rotated away.
TEST_F(DatabaseBackupTest, ListsOnlyTheCopiesOfItsOwnFile) {
    ASSERT_TRUE(save_one_more(path("other.tsy")));
    ASSERT_TRUE(save_one_more(path("other.tsy")));
    ASSERT_TRUE(save_one_more(path()));
    ASSERT_TRUE(save_one_more(path()));
    std::ofstream(backups() / "keys.tsy.notes") << "KEY\t000001\n";
    std::ofstream(backups() / "keys.tsy.2026-01-01_00-00-00Z-x") << "KEY\t000001\n";
    const auto list = list_database_backups(path());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].key_count, 3);
    EXPECT_EQ(list_database_backups(path("other.tsy")).size(), 1u);
    EXPECT_TRUE(list_database_backups(path("none.tsy")).empty());
}

// A backup folder that cannot be made: the save still replaces the file, and the failure is
// there to report exactly once.
TEST_F(DatabaseBackupTest, AFailedCopyDoesNotStopTheSaveAndIsReportedOnce) {
    ASSERT_TRUE(save_one_more(path()));
    std::ofstream(backups()) << "a file where the folder would go";
    ASSERT_TRUE(save_one_more(path()));
    std::ifstream in(path());
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("KEY\t000002"), std::string::npos);
    const auto failure = take_backup_failure();
    ASSERT_TRUE(failure);
    EXPECT_FALSE(failure->ok);
    EXPECT_FALSE(failure->reason.empty());
    EXPECT_FALSE(take_backup_failure());
}

// Copies made while the database was open to others are closed with it; their folder is private.
TEST_F(DatabaseBackupTest, CopiesAndTheirFolderAreNoWiderThanTheDatabase) {
    ASSERT_TRUE(save_one_more(path()));
    ASSERT_TRUE(save_one_more(path()));
    fs::permissions(backups(), fs::perms(0755));
    fs::permissions(path(), fs::perms(0600));
    ASSERT_TRUE(save_one_more(path()));
    EXPECT_EQ(fs::status(backups()).permissions(), fs::perms(0700));
    const auto list = list_database_backups(path());
    ASSERT_EQ(list.size(), 2u);
    for (const DatabaseBackup& backup : list) {
        EXPECT_EQ(fs::status(backup.path).permissions(), fs::perms(0600)) << backup.path;
    }
}

} // namespace
