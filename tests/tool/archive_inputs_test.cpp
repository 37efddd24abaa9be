// The archive command's input side through the built binary: its command-line
// errors, the dictionary warning, the exclude file, the path rules and the
// file list as the archive's entries show it.

#include <gmock/gmock.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "qz7lib/archive/reader.h"
#include "support/scoped_umask.h"
#include "tool/tool_test.h"

namespace qz7test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::StartsWith;

constexpr std::string_view kDictionaryWarning =
    "Warning: providing a dictionary file forces the Zstd compression scheme\n";

class ArchiveInputsTest : public ToolTest {
 protected:
  // The archive command's help as the parser prints it after an error.
  std::string archiveHelp() const {
    const std::string err = run({"archive"}).err;
    return err.substr(err.find('\n') + 1);
  }

  // The entry names and schemes of an archive, in index order.
  std::vector<std::string> entryNames(std::string_view archive) const {
    std::vector<std::string> names;
    for (const auto& entry : qz7lib::archive::readArchiveIndex(path(archive).string()).entries) {
      names.emplace_back(qz7lib::archive::entryName(entry));
    }
    return names;
  }
};

TEST_F(ArchiveInputsTest, CommandLineErrorsPrintTheArchiveHelp) {
  write("x.txt", "x");
  const std::string help = archiveHelp();
  ASSERT_THAT(help, StartsWith("  "));
  EXPECT_RUN(run({"archive", "a.kvz"}), 1, "", "Option 'paths...' is required\n" + help);
  EXPECT_RUN(run({"archive", "a.kvz", "x.txt", "-t", "many"}), 1, "",
             "Argument 'threads' received invalid value type 'many'\n" + help);
  EXPECT_RUN(run({"archive", "a.kvz", "x.txt", "--comp", "Zstd"}), 1, "",
             "Could not find key 'Zstd' in map for arg 'comp'\n" + help);
  EXPECT_FALSE(exists("a.kvz"));
}

TEST_F(ArchiveInputsTest, NegativeThreadCountIsACommandLineError) {
  write("x.txt", "x");
  const std::string help = archiveHelp();
  EXPECT_RUN(run({"archive", "a.kvz", "x.txt", "-t", "-1"}), 1, "",
             "Option 'threads' must not be negative, got -1\n" + help);
  // Rejected before the dictionary warning or the exclude file.
  EXPECT_RUN(run({"archive", "a.kvz", "x.txt", "--threads=-8", "-d", "d.bin", "--comp", "lz4",
                  "--exclude-from", "missing.txt"}),
             1, "", "Option 'threads' must not be negative, got -8\n" + help);
  EXPECT_FALSE(exists("a.kvz"));
}

TEST_F(ArchiveInputsTest, DictionaryWarnsOnlyWhenItOverridesNoneOrLz4) {
  // A missing exclude file ends the command right after the option is settled.
  const std::vector<std::string> tail = {"--exclude-from", "missing.txt"};
  const std::string excludeError = "Error loading exclude-from file: missing.txt\n";
  auto runWith = [&](std::vector<std::string> options) {
    std::vector<std::string> args = {"archive", "a.kvz", "x.txt"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), tail.begin(), tail.end());
    return run(args);
  };
  for (const char* comp : {"none", "lz4"}) {
    SCOPED_TRACE(comp);
    EXPECT_RUN(runWith({"-d", "d.bin", "--comp", comp}), 255, "",
               std::string(kDictionaryWarning) + excludeError);
  }
  for (const std::vector<std::string>& options :
       std::vector<std::vector<std::string>>{{"-d", "d.bin"},
                                             {"--dictionary=d.bin", "--comp", "auto"},
                                             {"-d", "d.bin", "--comp", "zstd"},
                                             {"--dictionary=", "--comp", "lz4"},
                                             {}}) {
    EXPECT_RUN(runWith(options), 255, "", excludeError);
  }
  EXPECT_FALSE(exists("a.kvz"));
}

TEST_F(ArchiveInputsTest, PathRuleFailureEndsTheCommandBeforeWriting) {
  write("a.txt", "a");
  EXPECT_RUN(run({"archive", "a.kvz", "a.txt", "A.TXT"}), 255, "",
             "ERROR: the path specifier A.TXT occurred more than once with different "
             "capitalization.\nAborting.\n");
  // The doubled separator names the file that the directory input reaches.
  write("d/b.txt", "b");
  EXPECT_RUN(run({"archive", "a.kvz", "d", "d//b.txt"}), 255, "",
             "ERROR: the path specifier d/b.txt occurred more than once with different "
             "capitalization.\nAborting.\n");
  EXPECT_RUN(run({"archive", "a.kvz", "/etc/hostname"}), 255, "",
             "ERROR: the path specifier /etc/hostname is an absolute path. Only relative paths "
             "are allowed.\nAborting.\n");
  EXPECT_RUN(run({"archive", "a.kvz", "C:\\data\\a.txt"}), 255, "",
             "ERROR: the path specifier C:\\data\\a.txt is an absolute path. Only relative paths "
             "are allowed.\nAborting.\n");
  EXPECT_FALSE(exists("a.kvz"));
}

TEST_F(ArchiveInputsTest, BadGlobEndsTheCommandWithStatusTwo) {
  const std::string message =
      "Glob expression must not contain '**' followed by anything other than /\n";
  EXPECT_RUN(run({"archive", "a.kvz", "foo**"}), 2, "", message);
  EXPECT_RUN(run({"archive", "a.kvz", "x", "--exclude", "a/**"}), 2, "", message);
  EXPECT_FALSE(exists("a.kvz"));
}

TEST_F(ArchiveInputsTest, DirectoryTheWalkCannotOpenIsNamedWithTheReason) {
  // Every directory but the locked one is open to the user the tool runs as.
  const ScopedUmask openDirectories(022);
  write("d/a.txt", "a");
  fs::create_directory(path("d/locked"));
  fs::permissions(path("d/locked"), fs::perms::none);
  // Root opens any directory, so the binary runs as the user nobody then.
  std::vector<std::string> argv;
  if (geteuid() == 0) {
    argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    fs::permissions(dir(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  }
  argv.push_back(qz7Binary());
  ProcessOptions options;
  options.cwd = dir();
  std::vector<std::string> probe = argv;
  probe.push_back("--help");
  if (const ProcessResult result = runProcess(probe, options); result.status != 0) {
    GTEST_SKIP() << "cannot run the binary as user 65534: " << result.err;
  }
  for (const char* arg : {"archive", "a.kvz", "d"}) argv.emplace_back(arg);
  EXPECT_RUN(runProcess(argv, options), 2, "",
             "filesystem error: cannot open directory: Permission denied [./d/locked]\n");
  EXPECT_FALSE(exists("a.kvz"));
}

// Each step's failure shows only when every step before it passed: the exclude
// file, the exclude globs, the dictionary, the path rules, then the existing
// archive.
TEST_F(ArchiveInputsTest, FailuresComeInTheOrderOfTheSteps) {
  write("a.kvz", "not an archive");
  const std::vector<std::string> base = {"archive", "a.kvz", "../x.txt"};
  auto runWith = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  };
  EXPECT_RUN(runWith({"--exclude-from", "missing.txt", "--exclude", "a/**", "-d", "missing.bin"}),
             255, "", "Error loading exclude-from file: missing.txt\n");
  EXPECT_RUN(runWith({"--exclude", "a/**", "-d", "missing.bin"}), 2, "",
             "Glob expression must not contain '**' followed by anything other than /\n");
  EXPECT_RUN(runWith({"-d", "missing.bin"}), 255, "",
             "Error loading dictionary:\nError opening file missing.bin\n");
  EXPECT_RUN(runWith({}), 255, "",
             "ERROR: the path specifier ../x.txt contains a pseudo-path (\".\" or \"..\"). "
             "This is not allowed.\nAborting.\n");
  write("x.txt", "x");
  EXPECT_RUN(run({"archive", "a.kvz", "x.txt"}), 2, "", "QZ7 archive header reading failed\n");
  EXPECT_EQ(contents("a.kvz"), "not an archive");
}

TEST_F(ArchiveInputsTest, EntriesAreTheCollectedFilesInLowerCase) {
  write("Docs/Read Me.TXT", "typed in mixed case");
  write("src/Main.cpp", "int main() {}");
  write("src/Makefile", "all:");
  write("src/sub/.gitignore", "*.o");
  write("src/sub/x.tmp", "tmp");
  write("src/y.tmp", "tmp");
  write("excludes", "*.tmp\r\n\r\n   \r\nsrc/*.tmp\r\n");
  const auto result = run({"archive", "a.kvz", "./Docs/Read Me.TXT", "src", "--exclude-from",
                           "excludes", "--exclude", "nothing"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(result.out, StartsWith("Creating archive a.kvz containing 4 files.\n"));
  EXPECT_THAT(entryNames("a.kvz"), ElementsAre("docs/read me.txt", "src/main.cpp",
                                               "src/sub/.gitignore", "src/sub/x.tmp"));
}

TEST_F(ArchiveInputsTest, DictionarySelectsTheDictionaryScheme) {
  write("d.bin", std::string(512, 'd') + "some shared dictionary content");
  write("a.txt", "some shared dictionary content, again and again and again");
  const auto result = run({"archive", "a.kvz", "a.txt", "-d", "d.bin", "--comp", "lz4"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, kDictionaryWarning);
  const auto index = qz7lib::archive::readArchiveIndex(path("a.kvz").string());
  ASSERT_EQ(index.entries.size(), 1u);
  EXPECT_EQ(index.entries[0].scheme, qz7lib::archive::CompressionScheme::zStdDict);
}

}  // namespace
}  // namespace qz7test
