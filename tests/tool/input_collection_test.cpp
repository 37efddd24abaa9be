// The archive command's input side, in-process: path rules, the exclude file and
// the expansion of files, directories and globs into the sorted file list.

#include "tool/input_collection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace qz7test {
namespace {

namespace fs = std::filesystem;
using Files = std::vector<std::string>;
using ::testing::ElementsAre;
using ::testing::ExitedWithCode;
using ::testing::IsEmpty;

// A death-test pattern that matches exactly text, byte for byte.
std::string exactly(std::string_view text) {
  std::string pattern = "^";
  for (char c : text) {
    if (std::string_view(".[]{}()\\*+?^$|").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern + "$";
}

std::string rejected(std::string_view path, std::string_view reason) {
  return exactly("ERROR: the path specifier " + std::string(path) + std::string(reason));
}

constexpr std::string_view kTooLong = " is longer than the allowed maximum (256).\nAborting.\n";
constexpr std::string_view kDuplicate =
    " occurred more than once with different capitalization.\nAborting.\n";
constexpr std::string_view kNonAscii =
    " contains a non-ASCII character. This is not supported by the kvz format.\nAborting.\n";
constexpr std::string_view kAbsolute =
    " is an absolute path. Only relative paths are allowed.\nAborting.\n";
constexpr std::string_view kBackslash = " contains a backslash.\nAborting.\n";
constexpr std::string_view kPseudoPath =
    " contains a pseudo-path (\".\" or \"..\"). This is not allowed.\nAborting.\n";

// Runs each test inside a fresh directory, which the collection walks as ".".
class InputCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    fs::current_path(dir_.path());
  }
  void TearDown() override { fs::current_path(previous_); }

  void write(std::string_view relative, std::string_view bytes = "x") const {
    writeFile(dir_.path() / relative, bytes);
  }
  Files collect(const Files& inputs, const Files& excludes = {}) const {
    return collectInputFiles(inputs, compileExcludeGlobs(excludes));
  }

 private:
  TempDir dir_;
  fs::path previous_;
};

using PathRulesTest = InputCollectionTest;

TEST_F(PathRulesTest, LengthLimitIs255Bytes) {
  validatePathSpecifiers({std::string(255, 'a')}, true);
  const std::string tooLong(256, 'a');
  EXPECT_EXIT(validatePathSpecifiers({tooLong}, false), ExitedWithCode(255),
              rejected(tooLong, kTooLong));
  // The first failing rule decides: length comes before the character set.
  const std::string longAndWide = std::string(254, 'a') + "\xc3\xa9";
  EXPECT_EXIT(validatePathSpecifiers({longAndWide}, false), ExitedWithCode(255),
              rejected(longAndWide, kTooLong));
}

TEST_F(PathRulesTest, DuplicatesByCaseNameTheLaterPath) {
  EXPECT_EXIT(validatePathSpecifiers({"a.txt", "b.txt", "A.TXT"}, false), ExitedWithCode(255),
              rejected("A.TXT", kDuplicate));
  EXPECT_EXIT(validatePathSpecifiers({"x", "x"}, false), ExitedWithCode(255),
              rejected("x", kDuplicate));
  // Each call starts with no paths seen.
  validatePathSpecifiers({"a.txt"}, false);
  validatePathSpecifiers({"a.txt"}, true);
}

TEST_F(PathRulesTest, NonAsciiIsRejected) {
  EXPECT_EXIT(validatePathSpecifiers({"ok.txt", "caf\xc3\xa9.txt"}, false), ExitedWithCode(255),
              rejected("caf\xc3\xa9.txt", kNonAscii));
}

TEST_F(PathRulesTest, AbsoluteHereOrOnWindowsIsRejected) {
  for (const std::string path : {"/etc/passwd", "/", "//server", R"(C:\data\a.txt)", "c:/data",
                                 R"(z:\)", R"(\\server\share\a.txt)", R"(\/server)", R"(\\?\)",
                                 R"(\\.\pipe)", R"(\??\c:)", R"(/??/x)"}) {
    SCOPED_TRACE(path);
    EXPECT_EXIT(validatePathSpecifiers({path}, false), ExitedWithCode(255),
                rejected(path, kAbsolute));
  }
  // Relative on both: a drive without a slash, one leading backslash, a
  // device-like prefix followed by a further slash, a bare double backslash.
  validatePathSpecifiers({"c:a.txt", R"(\a.txt)", R"(\??\\x)", R"(\\)", R"(1:\x)", "a/c:/x"},
                         false);
}

TEST_F(PathRulesTest, StrictRulesApplyOnlyToCollectedFiles) {
  validatePathSpecifiers({"dir\\a.txt", "./a.txt", "a/./b", "x./y"}, false);
  EXPECT_EXIT(validatePathSpecifiers({"dir\\a.txt"}, true), ExitedWithCode(255),
              rejected("dir\\a.txt", kBackslash));
  // Any "./" inside a name counts, not only a leading one.
  for (const std::string path : {"./a.txt", "a/./b", "x./y"}) {
    SCOPED_TRACE(path);
    EXPECT_EXIT(validatePathSpecifiers({path}, true), ExitedWithCode(255),
                rejected(path, kPseudoPath));
  }
  EXPECT_EXIT(validatePathSpecifiers({"../a.txt"}, false), ExitedWithCode(255),
              rejected("../a.txt", kPseudoPath));
  EXPECT_EXIT(validatePathSpecifiers({"a/../b"}, false), ExitedWithCode(255),
              rejected("a/../b", kPseudoPath));
}

TEST(EntryNameTest, SeparatorsBecomeSlashesAndLettersLowerCase) {
  EXPECT_EQ(toEntryName("Data\\Sub\\File.TXT"), "data/sub/file.txt");
  EXPECT_EQ(toEntryName("./X.txt"), "./x.txt");
  EXPECT_EQ(toEntryName(""), "");
}

using ExcludeFileTest = InputCollectionTest;

TEST_F(ExcludeFileTest, LinesAreTrimmedAndKeptAfterTheFlagValues) {
  write("ex.txt", "*.tmp\r\n  \r\n\r\n\t**/*.o \r\nmid dle\r\nlast");
  EXPECT_THAT(loadExcludeFrom({"a", "b"}, "ex.txt"),
              ElementsAre("a", "b", "*.tmp", "", "", "**/*.o", "mid dle", "last"));
  write("one.txt", "x\n");
  EXPECT_THAT(loadExcludeFrom({}, "one.txt"), ElementsAre("x"));
  write("empty.txt", "");
  EXPECT_THAT(loadExcludeFrom({"a"}, "empty.txt"), ElementsAre("a"));
}

TEST_F(ExcludeFileTest, EmptyPathReadsNothing) {
  EXPECT_THAT(loadExcludeFrom({"a"}, ""), ElementsAre("a"));
}

TEST_F(ExcludeFileTest, UnreadableFileEndsTheProcess) {
  EXPECT_EXIT(loadExcludeFrom({}, "missing.txt"), ExitedWithCode(255),
              exactly("Error loading exclude-from file: missing.txt\n"));
  fs::create_directory("dir");
  EXPECT_EXIT(loadExcludeFrom({}, "dir"), ExitedWithCode(255),
              exactly("Error loading exclude-from file: dir\n"));
}

TEST_F(ExcludeFileTest, BadGlobsFailToCompile) {
  EXPECT_THROW(
      {
        try {
          compileExcludeGlobs({"*.tmp", "a/**"});
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(),
                       "Glob expression must not contain '**' followed by anything other than /");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_THROW(compileExcludeGlobs({"(*.c"}), std::regex_error);
  EXPECT_EQ(compileExcludeGlobs({"", "*.c"}).size(), 2u);
}

using FileListTest = InputCollectionTest;

TEST_F(FileListTest, DirectoryCollectsOnlyNamesWithADot) {
  write("src/Main.cpp");
  write("src/Makefile");
  write("src/sub/.gitignore");
  write("src/sub/deep/x.y");
  fs::create_directory("src/empty.d");
  EXPECT_THAT(collect({"src"}), ElementsAre("src/Main.cpp", "src/sub/.gitignore", "src/sub/deep/x.y"));
  // Glob search is case-sensitive: a directory typed in another case collects nothing.
  EXPECT_THAT(collect({"SRC"}), IsEmpty());
}

TEST_F(FileListTest, RegularFileStaysAsTypedLessTheLeadingDotSlash) {
  write("Docs/A.txt");
  write("README");
  EXPECT_THAT(collect({"./Docs/A.txt", "README"}), ElementsAre("Docs/A.txt", "README"));
  EXPECT_THAT(collect({".//Docs//A.txt"}), ElementsAre("Docs/A.txt"));
  EXPECT_EQ(toEntryName("Docs/A.txt"), "docs/a.txt");
  // Only one "./" goes; the rest fails the strict rules.
  EXPECT_EXIT(collect({"././README"}), ExitedWithCode(255), rejected("./README", kPseudoPath));
}

TEST_F(FileListTest, GlobsKeepTheListingCaseAndDropDirectories) {
  write("NOTE.TXT");
  write("a.txt");
  write("dir/b.txt");
  fs::create_directory("d.txt");
  EXPECT_THAT(collect({"*.TXT"}), ElementsAre("NOTE.TXT"));
  EXPECT_THAT(collect({"*.txt"}), ElementsAre("a.txt"));
  EXPECT_THAT(collect({"**/b.txt"}), ElementsAre("dir/b.txt"));
  EXPECT_THAT(collect({"nothing*", "missing.txt"}), IsEmpty());
}

TEST_F(FileListTest, SortIgnoresCase) {
  for (const char* name : {"b_x.txt", "BA.txt", "a-b.txt", "a.b", "a/b.txt"}) write(name);
  EXPECT_THAT(collect({"**/*"}), ElementsAre("a-b.txt", "a.b", "a/b.txt", "b_x.txt", "BA.txt"));
}

TEST_F(FileListTest, ExclusionMatchesWholePaths) {
  write("a.tmp");
  write("dir/a.tmp");
  write("keep.c");
  EXPECT_THAT(collect({"a.tmp", "dir", "keep.c"}, {"*.tmp"}), ElementsAre("dir/a.tmp", "keep.c"));
  EXPECT_THAT(collect({"a.tmp", "dir", "keep.c"}, {"**/*.tmp"}), ElementsAre("keep.c"));
  EXPECT_THAT(collect({"a.tmp", "dir", "keep.c"}, {"", "  "}),
              ElementsAre("a.tmp", "dir/a.tmp", "keep.c"));
}

TEST_F(FileListTest, ExclusionSeesFilesInTheirTypedOrListedCase) {
  write("NOTE.TXT");
  EXPECT_THAT(collect({"NOTE.TXT"}, {"*.TXT"}), IsEmpty());
  EXPECT_THAT(collect({"NOTE.TXT"}, {"*.txt"}), ElementsAre("NOTE.TXT"));
  EXPECT_THAT(collect({"*.TXT"}, {"NOTE.*"}), IsEmpty());
}

TEST_F(FileListTest, FileReachedTwiceIsADuplicate) {
  write("notes.txt");
  write("dir/sub/x.c");
  EXPECT_EXIT(collect({"notes.txt", "*.txt"}), ExitedWithCode(255),
              rejected("notes.txt", kDuplicate));
  EXPECT_EXIT(collect({"dir", "dir/sub"}), ExitedWithCode(255),
              rejected("dir/sub/x.c", kDuplicate));
  EXPECT_EXIT(collect({"dir", "dir//sub///x.c"}), ExitedWithCode(255),
              rejected("dir/sub/x.c", kDuplicate));
}

TEST_F(FileListTest, StrictRulesRunBeforeExclusion) {
  write("dir/caf\xc3\xa9.txt");
  write("dir/ok.txt");
  EXPECT_EXIT(collect({"dir"}, {"**/caf*"}), ExitedWithCode(255),
              rejected("dir/caf\xc3\xa9.txt", kNonAscii));
}

TEST_F(FileListTest, FirstValidationRunsBeforeTheFileSystemIsTouched) {
  EXPECT_EXIT(collect({"x", "../a.txt"}), ExitedWithCode(255), rejected("../a.txt", kPseudoPath));
  EXPECT_EXIT(collect({"/etc/hostname"}), ExitedWithCode(255),
              rejected("/etc/hostname", kAbsolute));
}

TEST_F(FileListTest, BadInputGlobThrows) {
  EXPECT_THROW(collect({"foo**"}), std::runtime_error);
  EXPECT_THROW(collect({"(x"}), std::regex_error);
}

TEST_F(FileListTest, StatusFailureOtherThanMissingThrows) {
  fs::create_symlink("loop", "loop");
  EXPECT_THROW(collect({"loop"}), fs::filesystem_error);
  // A dangling link is merely missing: it is a glob that matches itself, a
  // link that is no regular file, and so contributes nothing.
  fs::create_symlink("gone.txt", "dangling.txt");
  EXPECT_THAT(collect({"dangling.txt"}), IsEmpty());
  write("target.txt");
  fs::create_symlink("target.txt", "link.txt");
  EXPECT_THAT(collect({"*.txt"}), ElementsAre("link.txt", "target.txt"));
}

}  // namespace
}  // namespace qz7test
