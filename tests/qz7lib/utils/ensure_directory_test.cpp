#include "qz7lib/utils/ensure_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qz7lib::utils::ensureDirectory;

class EnsureDirectoryTest : public ::testing::Test {
 protected:
  qz7test::TempDir dir_;
  qz7test::LogCapture log_;
};

TEST_F(EnsureDirectoryTest, CreatesEveryMissingLevelButNotTheFile) {
  const std::string file = dir_.file("out/sub/file.bin");
  ensureDirectory(file);
  EXPECT_TRUE(fs::is_directory(dir_.path() / "out/sub"));
  EXPECT_FALSE(fs::exists(file));
  ensureDirectory(file);
  EXPECT_TRUE(fs::is_directory(dir_.path() / "out/sub"));
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(EnsureDirectoryTest, PathWithoutParentDoesNothing) {
  ensureDirectory("file.bin");
  ensureDirectory("");
  EXPECT_FALSE(fs::exists("file.bin"));
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(EnsureDirectoryTest, ExistingParentIsLeftAloneEvenWhenItIsAFile) {
  qz7test::writeFile(dir_.path() / "out/sub", "not a directory");
  ensureDirectory(dir_.file("out/sub/file.bin"));
  EXPECT_TRUE(fs::is_regular_file(dir_.path() / "out/sub"));
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(EnsureDirectoryTest, FileInTheWayIsLoggedNotThrown) {
  qz7test::writeFile(dir_.path() / "out", "not a directory");
  const std::string file = dir_.file("out/sub/file.bin");
  EXPECT_NO_THROW(ensureDirectory(file));

  const auto records = log_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, qz7lib::LogLevel::Error);
  EXPECT_EQ(records[0].function, "qz7lib::utils::ensureDirectory");
  EXPECT_EQ(records[0].line, 41);
  const std::string prefix = "Settings: Could not create directories for " + file + ": ";
  ASSERT_EQ(records[0].message.substr(0, prefix.size()), prefix);
  EXPECT_GT(records[0].message.size(), prefix.size());  // followed by the error text
  EXPECT_FALSE(fs::exists(dir_.path() / "out/sub"));
}

}  // namespace
