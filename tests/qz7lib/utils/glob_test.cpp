#include "qz7lib/utils/glob.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qz7lib::utils::findFilesByGlob;
using qz7lib::utils::globToRegex;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

bool globMatches(std::string_view glob, const std::string& path) {
  return std::regex_match(path, std::regex(globToRegex(glob)));
}

TEST(GlobToRegexTest, TranslatesTellingGlobs) {
  EXPECT_EQ(globToRegex("*.txt"), R"([^/]*\.txt)");
  EXPECT_EQ(globToRegex("*.*"), R"([^/]*\.[^/]*)");
  EXPECT_EQ(globToRegex("a/**/*.txt"), R"(a/(.*/)?[^/]*\.txt)");
  EXPECT_EQ(globToRegex("dir/**/*.*"), R"(dir/(.*/)?[^/]*\.[^/]*)");
  EXPECT_EQ(globToRegex("**/*.h"), R"((.*/)?[^/]*\.h)");
  EXPECT_EQ(globToRegex(R"(src\x.cpp)"), R"(src/x\.cpp)");
  EXPECT_EQ(globToRegex("./docs/./a//b.md"), R"(docs/a/b\.md)");
  EXPECT_EQ(globToRegex("./src/*.h"), R"(src/[^/]*\.h)");
  EXPECT_EQ(globToRegex(""), "");
  EXPECT_EQ(globToRegex("**/x"), "(.*/)?x");
  EXPECT_EQ(globToRegex("a/**/b"), "a/(.*/)?b");
}

TEST(GlobToRegexTest, KeepsTheOdditiesOfItsStepOrder) {
  // A backslash after '**' becomes '/' before the '**' check.
  EXPECT_EQ(globToRegex(R"(**\x)"), "(.*/)?x");
  // ".." after a starred element eats half of "[^/]*": no valid expression.
  EXPECT_EQ(globToRegex("a/*/../b"), "a/[^/b");
  EXPECT_THROW(std::regex(globToRegex("a/*/../b")), std::regex_error);
  // ".." after a plain element resolves lexically.
  EXPECT_EQ(globToRegex("a/x/../b.c"), R"(a/b\.c)");
  // A literal placeholder in the glob turns into the globstar expression.
  EXPECT_EQ(globToRegex("__GLOBSTAR__/x"), "(.*/)?x");
  // A trailing separator stays; a glob that normalises to nothing becomes ".".
  EXPECT_EQ(globToRegex("dir/"), "dir/");
  EXPECT_EQ(globToRegex("./"), R"(\.)");
}

TEST(GlobToRegexTest, RejectsDoubleStarNotFollowedBySlash) {
  for (const char* glob : {"**", "a/**", "**.txt", "x/***/y", "**.c", "a**b"}) {
    try {
      globToRegex(glob);
      ADD_FAILURE() << "accepted " << glob;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "Glob expression must not contain '**' followed by anything other than /");
    }
  }
}

TEST(GlobToRegexTest, PatternsMatchWholePathsCaseSensitively) {
  EXPECT_TRUE(globMatches("dir/**/*.*", "dir/readme.txt"));
  EXPECT_TRUE(globMatches("dir/**/*.*", "dir/.hidden"));
  EXPECT_TRUE(globMatches("dir/**/*.*", "dir/x/y/z.c"));
  EXPECT_FALSE(globMatches("dir/**/*.*", "dir/Makefile"));
  EXPECT_FALSE(globMatches("*.TXT", "a.txt"));
  EXPECT_FALSE(globMatches("*", "src/a.c"));
  EXPECT_FALSE(globMatches("*.txt", "a.txt.bak"));
  EXPECT_FALSE(globMatches("*.txt", "axtxt"));
  // '?' is the regex operator, not a single-character wildcard.
  EXPECT_TRUE(globMatches("file?.txt", "fil.txt"));
  EXPECT_TRUE(globMatches("file?.txt", "file.txt"));
  EXPECT_FALSE(globMatches("file?.txt", "file1.txt"));
}

// Switches the process into a directory for the lifetime of the object.
class CurrentDirectoryGuard {
 public:
  explicit CurrentDirectoryGuard(const fs::path& directory) : saved_(fs::current_path()) {
    fs::current_path(directory);
  }
  ~CurrentDirectoryGuard() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

class FindFilesByGlobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* file : {"a/x.txt", "a/b/c/y.txt", "a/x.txt.bak", "ax.txt", "b/a/x.txt",
                             "a.c", "src/main.c", "fil.txt", "file.txt", "file1.txt"}) {
      qz7test::writeFile(dir_.path() / file, "x");
    }
  }

  std::vector<std::string> find(std::string_view glob) {
    const CurrentDirectoryGuard inside(dir_.path());
    return findFilesByGlob(".", glob);
  }

  qz7test::TempDir dir_;
};

TEST_F(FindFilesByGlobTest, GlobstarMatchesAnyDepthBelowItsDirectory) {
  EXPECT_THAT(find("a/**/*.txt"), UnorderedElementsAre("./a/x.txt", "./a/b/c/y.txt"));
}

TEST_F(FindFilesByGlobTest, SingleStarStaysInOneElementAndReturnsDirectories) {
  EXPECT_THAT(find("*"), UnorderedElementsAre("./a", "./b", "./src", "./ax.txt", "./a.c",
                                              "./fil.txt", "./file.txt", "./file1.txt"));
  EXPECT_THAT(find("*.TXT"), IsEmpty());
}

TEST_F(FindFilesByGlobTest, QuestionMarkMakesThePreviousCharacterOptional) {
  EXPECT_THAT(find("file?.txt"), UnorderedElementsAre("./fil.txt", "./file.txt"));
}

TEST_F(FindFilesByGlobTest, LiteralPathReturnsJustThatEntry) {
  EXPECT_THAT(find("src/main.c"), ElementsAre("./src/main.c"));
  EXPECT_THAT(find("src/missing.c"), IsEmpty());
}

TEST_F(FindFilesByGlobTest, ResultsKeepTheBaseAsWritten) {
  const std::string base = dir_.path().string();
  EXPECT_THAT(findFilesByGlob(base, "src/*.c"), ElementsAre(base + "/src/main.c"));
  EXPECT_THAT(findFilesByGlob(base + "/", "src/*.c"), ElementsAre(base + "/src/main.c"));
  const CurrentDirectoryGuard inside(dir_.path());
  EXPECT_THAT(findFilesByGlob("a", "b/**/*.txt"), ElementsAre("a/b/c/y.txt"));
  EXPECT_THAT(findFilesByGlob("./src", "*"), ElementsAre("./src/main.c"));
}

TEST_F(FindFilesByGlobTest, WalkIsDepthFirstPreOrder) {
  const std::vector<std::string> all = find("**/*");
  const auto position = [&all](const std::string& path) {
    return std::find(all.begin(), all.end(), path) - all.begin();
  };
  ASSERT_EQ(all.size(), 16u);  // 10 files and 6 directories, each once
  EXPECT_LT(position("./a"), position("./a/b"));
  EXPECT_LT(position("./a/b"), position("./a/b/c"));
  EXPECT_EQ(position("./a/b/c") + 1, position("./a/b/c/y.txt"));
}

TEST_F(FindFilesByGlobTest, BadGlobsAndBasesThrow) {
  EXPECT_THROW(find("a/**"), std::runtime_error);
  EXPECT_THROW(find("a/(*.txt"), std::regex_error);
  EXPECT_THROW(find("a/*/../b"), std::regex_error);
  EXPECT_THROW(findFilesByGlob(dir_.file("missing"), "*"), fs::filesystem_error);
  EXPECT_THROW(findFilesByGlob(dir_.file("a.c"), "*"), fs::filesystem_error);
  EXPECT_THROW(findFilesByGlob("", "*"), fs::filesystem_error);
}

TEST(FindFilesByGlobEmptyTest, EmptyBaseDirectoryGivesNothing) {
  qz7test::TempDir empty;
  EXPECT_THAT(findFilesByGlob(empty.path().string(), "**/*"), IsEmpty());
}

}  // namespace

namespace {

// findFilesByGlob as a walk over the whole tree: the result every narrower
// walk must reproduce exactly, order included.
std::vector<std::string> findByWholeWalk(const std::string& baseDir, std::string_view glob) {
  const std::regex expression(globToRegex(glob));
  const fs::path base(baseDir);
  std::vector<std::string> matches;
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    const std::string relative = entry.path().lexically_relative(base).generic_string();
    if (std::regex_match(relative, expression)) matches.push_back(entry.path().generic_string());
  }
  return matches;
}

class FindFilesByGlobNarrowingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* file :
         {"usr/include/a.h", "usr/include/linux/b.h", "usr/include/linux/nf/c.h",
          "usr/include/linux/nf/C.h", "usr/include.h", "usr/includes/d.h", "usr/lib/x.so",
          "usr/lib/x86_64/y.so.1", "usr/share/doc/r.txt", "usr/share/doc.d/s.txt",
          "usr/sharedoc/t.txt", "usrx/include/e.h", "Usr/include/f.h", "a b/c d/e.txt",
          "x.y/z/w.c", "ab/c.txt", "abc/d.txt", "b/c.txt", "c.txt", "opt/Makefile",
          "usrlib/g.txt"}) {
      qz7test::writeFile(dir_.path() / file, "x");
    }
    fs::create_directories(dir_.path() / "usr/include/empty");
    // A link to a directory is listed but never entered by the walk.
    fs::create_directory_symlink(dir_.path() / "usr/include", dir_.path() / "usr/inc");
    fs::create_symlink(dir_.path() / "c.txt", dir_.path() / "usr/c-link.txt");
  }

  void expectSameAsWholeWalk(const std::string& base, std::string_view glob) {
    SCOPED_TRACE(std::string(glob) + " below " + base);
    std::vector<std::string> expected;
    bool expectedThrows = false;
    try {
      expected = findByWholeWalk(base, glob);
    } catch (const std::exception&) {
      expectedThrows = true;
    }
    if (expectedThrows) {
      EXPECT_ANY_THROW(findFilesByGlob(base, glob));
      return;
    }
    EXPECT_EQ(findFilesByGlob(base, glob), expected);
  }

  qz7test::TempDir dir_;
};

const char* const kNarrowingGlobs[] = {
    "**/*", "usr/**/*", "usr/include/**/*.h", "usr/include/linux/nf/*", "usr/include/*.h",
    "usr/include/linux/b.h", "usr/include/missing/*", "usr/include/empty/**/*",
    "usr/inc/**/*", "usr/inc/*", "usr/c-link.txt", "usr/c-link.txt/*", "usr/include.h/*",
    "usr/include/", "usr/", "usr", "usr/share/doc/*.txt", "usr/share/doc.d/*",
    "usr/lib/x86_64/*.so.1", "usr/lib/x?86_64/*", "usr/?lib/*", "usr/+lib/*",
    "usr/(lib|share)/**/*", "usr/include|b/c.txt", "c.txt|usr/lib/x.so", "[ab]*/c.txt",
    "ab?c/*.txt", "abc?/*.txt", "a b/c d/*", "x.y/z/*.c", "x\\.y/z/*.c", "./usr/./include/*.h",
    "usr/include/../lib/*", "usr/*/linux/*.h", "usr/{1}include/*", "Usr/**/*", "USR/**/*",
    "opt/*", "/usr/include/*.h", "../usr/*", "usr/**/../*", "usr/(include/*",
    "**/nf/*.h", "usr/include/linux/nf/C.h", ""};

TEST_F(FindFilesByGlobNarrowingTest, SameResultsInTheSameOrderAsAWholeWalk) {
  const CurrentDirectoryGuard inside(dir_.path());
  for (const char* glob : kNarrowingGlobs) {
    expectSameAsWholeWalk(".", glob);
    expectSameAsWholeWalk("usr", glob);
    expectSameAsWholeWalk("./usr/", glob);
    expectSameAsWholeWalk(dir_.path().string(), glob);
  }
}

TEST_F(FindFilesByGlobNarrowingTest, FixedDirectoriesStillFindEveryMatch) {
  const CurrentDirectoryGuard inside(dir_.path());
  EXPECT_THAT(findFilesByGlob(".", "usr/include/linux/**/*.h"),
              UnorderedElementsAre("./usr/include/linux/b.h", "./usr/include/linux/nf/c.h",
                                   "./usr/include/linux/nf/C.h"));
  EXPECT_THAT(findFilesByGlob(".", "usr/lib/x86_64/*"), ElementsAre("./usr/lib/x86_64/y.so.1"));
  EXPECT_THAT(findFilesByGlob(".", "x.y/z/*.c"), ElementsAre("./x.y/z/w.c"));
  EXPECT_THAT(findFilesByGlob(".", "a b/c d/*"), ElementsAre("./a b/c d/e.txt"));
  EXPECT_THAT(findFilesByGlob(".", "usr/inc/*"), IsEmpty());
  // An alternation makes no leading directory fixed.
  EXPECT_THAT(findFilesByGlob(".", "usr/include|b/c.txt"),
              UnorderedElementsAre("./usr/include", "./b/c.txt"));
}

TEST_F(FindFilesByGlobNarrowingTest, AMissingBaseStillThrows) {
  EXPECT_THROW(findFilesByGlob(dir_.file("missing"), "usr/include/*.h"), fs::filesystem_error);
  EXPECT_THROW(findFilesByGlob(dir_.file("c.txt"), "usr/include/*.h"), fs::filesystem_error);
}

}  // namespace
