#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/File.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class AppendToFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("kronel-file-" + std::to_string(random()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    static std::string contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path dir_;
};

}  // namespace

TEST_F(AppendToFile, CreatesAMissingFile) {
    const fs::path path = dir_ / "new.txt";
    ASSERT_TRUE(appendToFile(path.string(), "one\r\n").ok());
    EXPECT_EQ(contents(path), "one\r\n");
}

TEST_F(AppendToFile, KeepsWhatIsAlreadyThere) {
    const fs::path path = dir_ / "old.txt";
    std::ofstream(path, std::ios::binary) << "older, longer content\n";
    ASSERT_TRUE(appendToFile(path.string(), "a").ok());
    ASSERT_TRUE(appendToFile(path.string(), "b").ok());
    EXPECT_EQ(contents(path), "older, longer content\nab");
}

TEST_F(AppendToFile, FailureCarriesTheErrorNumberAndSetsTheLastError) {
    setLastSystemError(0);
    const Status onDirectory = appendToFile(dir_.string(), "x");
    EXPECT_FALSE(onDirectory.ok());
    EXPECT_EQ(lastSystemError(), onDirectory.error);

    const Status inMissingDir = appendToFile((dir_ / "missing" / "log.txt").string(), "x");
    EXPECT_FALSE(inMissingDir.ok());
    EXPECT_NE(inMissingDir.error, 0);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}
