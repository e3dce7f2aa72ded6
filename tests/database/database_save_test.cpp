#include "database/database_save.h"

#include "core/buffer.h"
#include "database/tsy_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string old_bytes = ";old database, kept byte for byte\r\nKEY\t000001\tOld\t\t\r\n";

class DatabaseSave : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "save_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        create_key_list(rec, nullptr);
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
        EXPECT_TRUE(write_database(rec, f));
        f.close();
        std::string b = bytes_of(p);
        fs::remove(p);
        return b;
    }
    void add_keys(int count) {
        auto name = make_buffer(2000);
        for (int i = 1; i <= count; ++i) {
            buffer_clear(name.get());
            buffer_append_text(name.get(), "Key holder with a fairly long name, number ");
            buffer_append_decimal(name.get(), i, 0);
            add_key(rec, KeyId{0, static_cast<uint32_t>(i), 0}, name.get(), nullptr, nullptr);
        }
    }
    // The backup folder a replacing save makes is not a leftover.
    size_t entries() const {
        return static_cast<size_t>(
            std::count_if(fs::directory_iterator(dir_), {}, [](const fs::directory_entry& e) {
                return e.path().filename() != ".tessary-backups";
            }));
    }

    fs::path dir_;
    DatabaseRecord rec;
};

TEST_F(DatabaseSave, WritesTheWholeDatabaseAndLeavesNoOtherFile) {
    add_keys(3);
    const std::string expected = expected_bytes();
    ASSERT_TRUE(save_database_file(rec, path()));
    EXPECT_EQ(bytes_of(path()), expected);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(DatabaseSave, ReplacesAnOldFileKeepingItsPermissions) {
    put(path(), old_bytes);
    ASSERT_EQ(chmod(path().c_str(), 0640), 0);
    add_keys(2);
    ASSERT_TRUE(save_database_file(rec, path()));
    EXPECT_EQ(bytes_of(path()), expected_bytes());
    struct stat st {};
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(DatabaseSave, NewFileGetsOrdinaryPermissions) {
    ASSERT_TRUE(save_database_file(rec, path()));
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
    ASSERT_TRUE(save_database_file(rec, path("link.tsy")));
    EXPECT_TRUE(fs::is_symlink(path("link.tsy")));
    EXPECT_EQ(bytes_of(real), expected_bytes());
}

TEST_F(DatabaseSave, AFolderThatDoesNotExistFailsAndCreatesNothing) {
    EXPECT_FALSE(save_database_file(rec, path("missing/keys.tsy")));
    EXPECT_EQ(entries(), 0u);
}

TEST_F(DatabaseSave, AFolderInThePlaceOfTheFileFailsAndStays) {
    fs::create_directory(path());
    EXPECT_FALSE(save_database_file(rec, path()));
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
    const bool saved = save_database_file(rec, path());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(bytes_of(path()), old_bytes);
    EXPECT_EQ(entries(), 1u);
}

} // namespace
