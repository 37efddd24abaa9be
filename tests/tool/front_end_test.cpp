// The command line as a whole: help, command-line errors, exit statuses and the
// -w pause, run against the built binary.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/archive_builder.h"
#include "tool/tool_test.h"

namespace qz7test {
namespace {

// The help texts as the args library renders them from the tool's parser tree.
// "{prog}" stands for the program name in the usage line.
constexpr std::string_view kProgramHelp =
    "  {prog} COMMAND {OPTIONS}\n"
    "\n"
    "    QZ7 archive tool.\n"
    "\n"
    "  OPTIONS:\n"
    "\n"
    "      -h, --help                        display this help menu\n"
    "      -w, --wait                        Wait before closing\n"
    "      commands\n"
    "        archive                           add files to an archive\n"
    "        extract                           extract an archive\n"
    "        info                              display information about an archive\n"
    "        verify                            verify the integrity of an archive\n"
    "        benchmark                         benchmark file extraction from an\n"
    "                                          archive\n"
    "        setup                             setup shell integration (note: will\n"
    "                                          reference this executable file)\n"
    "\n";

constexpr std::string_view kTerminatorNote =
    "      \"--\" can be used to terminate flag options and force all following\n"
    "      arguments to be treated as positional options\n"
    "\n";

constexpr std::string_view kArchiveHelp =
    "  {prog} archive archive_fn paths... {OPTIONS}\n"
    "\n"
    "    add files to an archive\n"
    "\n"
    "  OPTIONS:\n"
    "\n"
    "      archive_fn                        archive file name\n"
    "      paths...                          files or globs to archive\n"
    "      --comp=[comp]                     compression scheme - none/lz4/zstd/auto,\n"
    "                                        defaults to auto\n"
    "      -t[threads], --threads=[threads]  Use the given number of threads\n"
    "      -d[dictionary],\n"
    "      --dictionary=[dictionary]         Dictionary file (implies zstd scheme)\n"
    "      --exclude=[excludes...]           Exclude filenames matching this glob\n"
    "      --exclude-from=[exclude-from]     Read exclude globs from this file\n";

constexpr std::string_view kExtractHelp =
    "  {prog} extract archive_fn {OPTIONS}\n"
    "\n"
    "    extract an archive\n"
    "\n"
    "  OPTIONS:\n"
    "\n"
    "      archive_fn                        archive file name\n"
    "      -o, --overwrite                   Overwrite existing files\n"
    "      -v, --verbose                     Show verbose extraction information\n";

constexpr std::string_view kInfoHelp =
    "  {prog} info archive_fn {OPTIONS}\n"
    "\n"
    "    display information about an archive\n"
    "\n"
    "  OPTIONS:\n"
    "\n"
    "      archive_fn                        archive file name\n"
    "      -v, --verbose                     Show detailed information\n";

constexpr std::string_view kVerifyHelp =
    "  {prog} verify archive_fn {OPTIONS}\n"
    "\n"
    "    verify the integrity of an archive\n"
    "\n"
    "  OPTIONS:\n"
    "\n"
    "      archive_fn                        archive file name\n"
    "      -c, --compare                     Additionally compare extracted with\n"
    "                                        files in the filesystem at same paths\n"
    "                                        (slow)\n";

constexpr std::string_view kBenchmarkHelp =
    "  {prog} benchmark archive_fn {OPTIONS}\n"
    "\n"
    "    benchmark file extraction from an archive\n"
    "\n"
    "  OPTIONS:\n"
    "\n"
    "      archive_fn                        archive file name\n"
    "      -n[num_files],\n"
    "      --num_files=[num_files]           Number of accesses to measure\n";

constexpr std::string_view kSetupHelp =
    "  {prog} setup {OPTIONS}\n"
    "\n"
    "    setup shell integration (note: will reference this executable file)\n"
    "\n"
    "  OPTIONS:\n"
    "\n"
    "      -u, --uninstall                   uninstall shell integration\n"
    "\n";

// A help text with the program name the tests start qz7 by.
std::string help(std::string_view text, std::string_view program = "qz7") {
  std::string result(text);
  result.replace(result.find("{prog}"), 6, program);
  return result;
}

// A command's help: its options, then the note on "--" that every command with
// a positional gets.
std::string commandHelp(std::string_view text) { return help(text) + std::string(kTerminatorNote); }

class FrontEndTest : public ToolTest {};

TEST_F(FrontEndTest, UsageLineNamesTheProgramAsInvoked) {
  const std::string invokedAs = "some/other name";
  EXPECT_RUN(runProcess({invokedAs, "-h"}, {dir(), {}, true, qz7Binary()}), 0,
             help(kProgramHelp, invokedAs), "");
}

TEST_F(FrontEndTest, HelpBeforeTheCommandPrintsTheProgramHelp) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-h"}, {"--help"}, {"-h", "extract", "missing.kvz"}, {"-h", "list"}, {"-w", "-h"}}) {
    SCOPED_TRACE(args.front() + " ... (" + std::to_string(args.size()) + " words)");
    EXPECT_RUN(run(args), 0, help(kProgramHelp), "");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir()));
}

TEST_F(FrontEndTest, MissingCommandIsACommandLineError) {
  const std::string expected = "Command is required\n" + help(kProgramHelp);
  EXPECT_RUN(run({}), 1, "", expected);
  EXPECT_RUN(run({"-w"}), 1, "", expected);
  EXPECT_RUN(run({"--wait"}), 1, "", expected);
}

TEST_F(FrontEndTest, UnknownCommandIsACommandLineError) {
  EXPECT_RUN(run({"list"}), 1, "", "Unknown command: list\n" + help(kProgramHelp));
}

TEST_F(FrontEndTest, TopLevelFlagsAfterTheCommandAreUnknown) {
  writeArchive(path("a.kvz").string(), {{"x.txt", qz7lib::archive::CompressionScheme::none, "x"}});
  EXPECT_RUN(run({"info", "-h"}), 1, "",
             "Flag could not be matched: 'h'\n" + commandHelp(kInfoHelp));
  EXPECT_RUN(run({"info", "a.kvz", "-w"}), 1, "",
             "Flag could not be matched: 'w'\n" + commandHelp(kInfoHelp));
  EXPECT_RUN(run({"extract", "a.kvz", "--wait"}), 1, "",
             "Flag could not be matched: wait\n" + commandHelp(kExtractHelp));
  EXPECT_FALSE(exists("x.txt"));
}

TEST_F(FrontEndTest, EveryWordAfterTheCommandBelongsToIt) {
  writeArchive(path("a.kvz").string(), {{"x.txt", qz7lib::archive::CompressionScheme::none, "x"}});
  EXPECT_RUN(run({"extract", "a.kvz", "extract", "a.kvz"}), 1, "",
             "Passed in argument, but no positional arguments were ready to receive it: extract\n" +
                 commandHelp(kExtractHelp));
  EXPECT_RUN(run({"info", "a.kvz", "verify", "a.kvz"}), 1, "",
             "Passed in argument, but no positional arguments were ready to receive it: verify\n" +
                 commandHelp(kInfoHelp));
  EXPECT_FALSE(exists("x.txt"));
}

TEST_F(FrontEndTest, EachCommandDeclaresItsArguments) {
  const std::string required = "Option 'archive_fn' is required\n";
  EXPECT_RUN(run({"archive"}), 1, "", required + commandHelp(kArchiveHelp));
  EXPECT_RUN(run({"extract"}), 1, "", required + commandHelp(kExtractHelp));
  EXPECT_RUN(run({"info"}), 1, "", required + commandHelp(kInfoHelp));
  EXPECT_RUN(run({"verify"}), 1, "", required + commandHelp(kVerifyHelp));
  EXPECT_RUN(run({"benchmark"}), 1, "", required + commandHelp(kBenchmarkHelp));
  EXPECT_RUN(run({"setup", "-x"}), 1, "", "Flag could not be matched: 'x'\n" + help(kSetupHelp));
}

TEST_F(FrontEndTest, ValuesThatDoNotConvertAreCommandLineErrors) {
  EXPECT_RUN(run({"benchmark", "a.kvz", "-n", "many"}), 1, "",
             "Argument 'num_files' received invalid value type 'many'\n" +
                 commandHelp(kBenchmarkHelp));
  EXPECT_RUN(run({"archive", "a.kvz", "x", "--comp", "LZ4"}), 1, "",
             "Could not find key 'LZ4' in map for arg 'comp'\n" + commandHelp(kArchiveHelp));
  EXPECT_FALSE(exists("a.kvz"));
}

TEST_F(FrontEndTest, RuntimeErrorLeavingACommandEndsWithStatusTwo) {
  // Testing an over-long name fails in the file system, not as "not found".
  const std::string name(300, 'n');
  EXPECT_RUN(run({"extract", name}), 2, "",
             "filesystem error: status: File name too long [" + name + "]\n");
}

// Minimal containers and sandboxes have no /proc: the read commands run there
// as anywhere, here with an empty file system mounted over it in a mount
// namespace of their own.
TEST_F(FrontEndTest, ReadCommandsNeedNoProcFileSystem) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer runtimes need /proc";
#endif
  auto withoutProc = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c",
                                     "mount -t tmpfs none /proc && exec \"$0\" \"$@\""};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.cwd = dir();
    return runProcess(argv, options);
  };
  // A mount namespace needs root, and root in a container often lacks the capability.
  if (const ProcessResult result = withoutProc({"true"}); result.status != 0) {
    GTEST_SKIP() << "cannot mount over /proc here: " << result.err;
  }

  writeArchive(path("a.kvz").string(), {{"x.txt", qz7lib::archive::CompressionScheme::lz4, "x"}});
  const std::string binary = qz7Binary().string();
  const ProcessResult info = run({"info", "a.kvz"});
  EXPECT_RUN(withoutProc({binary, "info", "a.kvz"}), 0, info.out, "");
  EXPECT_RUN(withoutProc({binary, "verify", "a.kvz"}), 0, "Archive a.kvz verified successfully.\n", "");
  EXPECT_RUN(withoutProc({binary, "extract", "a.kvz"}), 0,
             "Archive a.kvz extracted to " + quotedPath(dir()) + ".\n", "");
  EXPECT_EQ(contents("x.txt"), "x");
}

TEST_F(FrontEndTest, WaitWithoutTerminalNeverBlocks) {
  writeArchive(path("a.kvz").string(), {{"x.txt", qz7lib::archive::CompressionScheme::none, "x"}});
  const std::string closing = "Archive a.kvz extracted to " + quotedPath(dir()) + ".\n";
  EXPECT_RUN(run({"-w", "extract", "a.kvz"}), 0, closing, "");
  EXPECT_EQ(contents("x.txt"), "x");
}

TEST_F(FrontEndTest, WaitIsSkippedWhenTheCommandFails) {
  EXPECT_RUN(run({"-w", "extract", "missing.kvz"}), 255, "",
             "Error: archive missing.kvz does not exist!\n");
}

// How long a terminal run is given to print or end: far beyond what a working
// qz7 takes on a loaded machine, so only a fault waits this long.
constexpr int kGiveUpMs = 60000;

// Runs qz7 with standard input on a pseudo-terminal.
class TerminalRun {
 public:
  TerminalRun(const std::filesystem::path& cwd, const std::vector<std::string>& args) {
    if (!openTerminal()) return;
    const std::string binary = qz7Binary().string();
    std::vector<char*> argv{const_cast<char*>("qz7")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    tcgetattr(slave_, &initialMode_);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      dup2(slave_, 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      if (chdir(cwd.c_str()) != 0) _exit(127);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    output_ = out[0];
  }
  ~TerminalRun() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {master_, slave_, output_}) {
      if (fd >= 0) close(fd);
    }
  }

  // Why no pseudo-terminal could be made; empty when one was.
  const std::string& whyNoTerminal() const { return whyNoTerminal_; }
  bool started() const { return pid_ > 0; }
  // Reads output until it holds text, at end of output or after the timeout.
  bool readUntil(std::string_view text, int timeoutMs) {
    while (out_.find(text) == std::string::npos) {
      pollfd p{output_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return false;
      char buffer[256];
      const ssize_t n = read(output_, buffer, sizeof buffer);
      if (n <= 0) return false;
      out_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  bool exited() { return status_ >= 0 || waitpid(pid_, &status_, WNOHANG) == pid_; }
  void press(char key) { ASSERT_EQ(write(master_, &key, 1), 1); }
  // The exit status after the process ended within the timeout, else -1.
  int wait(int timeoutMs) {
    readUntil("\x01never", timeoutMs);  // drains the output up to its end
    // A process that still waits is killed by the destructor, not waited for.
    for (int waited = 0; !exited(); waited += 10) {
      if (waited >= timeoutMs) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  const std::string& out() const { return out_; }
  // The terminal's mode before qz7 started, which it may change at once.
  const termios& initialMode() const { return initialMode_; }
  termios terminalMode() const {
    termios mode{};
    tcgetattr(slave_, &mode);
    return mode;
  }

 private:
  // Opens both ends of a pseudo-terminal, which a minimal container may lack
  // (no /dev/ptmx, no devpts); false, saying why, when it cannot.
  bool openTerminal() {
    const auto fail = [this](const std::string& step) {
      whyNoTerminal_ = "cannot make a pseudo-terminal: " + step + ": " + std::strerror(errno);
      return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return fail("posix_openpt");
    if (grantpt(master_) != 0) return fail("grantpt");
    if (unlockpt(master_) != 0) return fail("unlockpt");
    const char* slaveName = ptsname(master_);
    if (slaveName == nullptr) return fail("ptsname");
    slave_ = open(slaveName, O_RDWR | O_NOCTTY);
    if (slave_ < 0) return fail("open " + std::string(slaveName));
    return true;
  }

  std::string whyNoTerminal_;
  int master_ = -1;
  int slave_ = -1;
  int output_ = -1;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_;
  termios initialMode_{};
};

TEST_F(FrontEndTest, WaitOnATerminalPausesForOneKeyAfterTheCommand) {
  writeArchive(path("a.kvz").string(), {});
  TerminalRun terminal(dir(), {"-w", "extract", "a.kvz"});
  if (!terminal.whyNoTerminal().empty()) GTEST_SKIP() << terminal.whyNoTerminal();
  ASSERT_TRUE(terminal.started());
  const termios before = terminal.initialMode();
  const std::string prompt = "Press any key to continue . . . ";
  ASSERT_TRUE(terminal.readUntil(prompt, kGiveUpMs)) << terminal.out();
  EXPECT_EQ(terminal.out(),
            "Archive a.kvz extracted to " + quotedPath(dir()) + ".\n" + prompt);

  // Still waiting a moment later.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(terminal.exited());

  terminal.press('q');
  EXPECT_EQ(terminal.wait(kGiveUpMs), 0);
  EXPECT_EQ(terminal.out(),
            "Archive a.kvz extracted to " + quotedPath(dir()) + ".\n" + prompt + "\n");
  const termios after = terminal.terminalMode();
  EXPECT_EQ(after.c_lflag, before.c_lflag);  // line mode and echo are back
}

TEST_F(FrontEndTest, WaitOnATerminalIsSkippedAfterAnyError) {
  const std::string prompt = "Press any key to continue . . . ";
  const std::string longName(300, 'n');
  const struct {
    std::vector<std::string> args;
    int status;
    std::string firstLine;
  } cases[] = {
      {{"-w", "extract", "missing.kvz"}, 255, "Error: archive missing.kvz does not exist!\n"},
      {{"-w"}, 1, "Command is required\n"},
      {{"-w", "info", "a.kvz", "-w"}, 1, "Flag could not be matched: 'w'\n"},
      {{"-w", "extract", longName}, 2, "filesystem error: status: File name too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back().substr(0, 20));
    TerminalRun terminal(dir(), c.args);
    if (!terminal.whyNoTerminal().empty()) GTEST_SKIP() << terminal.whyNoTerminal();
    ASSERT_TRUE(terminal.started());
    // No key is pressed: the process ends by itself.
    EXPECT_EQ(terminal.wait(kGiveUpMs), c.status);
    EXPECT_TRUE(terminal.out().starts_with(c.firstLine)) << terminal.out();
    EXPECT_EQ(terminal.out().find(prompt), std::string::npos) << terminal.out();
  }
}

}  // namespace
}  // namespace qz7test
