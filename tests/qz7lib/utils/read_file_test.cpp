#include "qz7lib/utils/read_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace {

using qz7lib::utils::readFileContents;
using qz7test::TempDir;

std::string messageOf(const std::string& path) {
  try {
    readFileContents(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no exception";
}

TEST(ReadFileContentsTest, ReturnsTheBytesUnchanged) {
  TempDir dir;
  qz7test::writeFile(dir.file("empty"), "");
  auto empty = readFileContents(dir.file("empty"));
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->empty());

  const std::string binary("a\r\nb\0\xff\r\n\x80z", 10);
  qz7test::writeFile(dir.file("binary.bin"), binary);
  auto contents = readFileContents(dir.file("binary.bin"));
  EXPECT_EQ(std::string(contents->begin(), contents->end()), binary);
}

TEST(ReadFileContentsTest, MissingFilesDirectoriesAndPipesCannotBeOpened) {
  TempDir dir;
  EXPECT_EQ(messageOf(dir.file("no such file.txt")), "Error opening file " + dir.file("no such file.txt"));
  EXPECT_EQ(messageOf(dir.path().string()), "Error opening file " + dir.path().string());
  // Refused at once instead of waiting for a writer.
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  EXPECT_EQ(messageOf(dir.file("pipe")), "Error opening file " + dir.file("pipe"));
}

}  // namespace
