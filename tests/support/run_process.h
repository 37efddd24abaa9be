#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qz7test {

struct ProcessResult {
  int status = -1;   // exit status 0..255, or 128 + signal number when killed
  std::string out;   // everything written to standard output
  std::string err;   // everything written to standard error
  // Bytes the process wrote with write system calls of any kind, its standard
  // output and error included; -1 when the system does not account them.
  long long bytesWritten = -1;
};

struct ProcessOptions {
  std::filesystem::path cwd;          // working directory; empty keeps the current one
  std::vector<std::string> env;       // "NAME=value" entries added to (or replacing in) the environment
  bool closedStdin = true;            // standard input reads end of file at once
  std::filesystem::path program{};    // the file to run; empty runs argv[0]
  long long fileSizeLimit = -1;       // when not negative, the largest file the process may
                                      // write (RLIMIT_FSIZE); a write beyond raises SIGXFSZ, as
                                      // under a shell's ulimit -f
};

// How long a process is given to end, or to print what a test waits for: far
// beyond what a working qz7 takes on a loaded machine, so that only a fault
// waits this long. The test then fails and the process is killed.
inline constexpr std::chrono::milliseconds kGiveUp = std::chrono::seconds(60);

// A started process whose standard output goes into a pipe of the smallest
// capacity the system allows, read only when asked: a process that writes more
// than that blocks until the test reads on. This catches a process in the middle
// of its work without depending on timing. Killed and reaped if never finished.
class RunningProcess {
 public:
  // Starts the program (searched on PATH when it has no '/').
  RunningProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  // Reads standard output until it holds text; false when the output ended
  // first, or, failing the test, when kGiveUp passed first.
  bool readOutputUntil(std::string_view text);
  // Sends the signal to the process.
  void signal(int signal) const;
  pid_t pid() const { return pid_; }
  // Reads both outputs to their end and waits for the process. A process that
  // has not ended within the time given fails the test and is killed.
  ProcessResult finish(std::chrono::milliseconds within = kGiveUp);

 private:
  // Reads what one of the pipes holds now; false at its end.
  bool readSome(int pipe, std::string& sink);

  std::string commandLine_;  // the command line, for messages
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  ProcessResult result_;
};

// Waits until process pid waits for a file lock (flock), as /proc/locks shows
// it; false when the process ends first or a minute passes.
bool waitsForAFileLock(pid_t pid);

// Gives SIGINT, SIGTERM and SIGHUP their default action and unblocks them in
// the calling thread, however the tests were started (under nohup, as a
// background job, with signals blocked): for a child that a test signals, or
// that raises one of them. Every process that RunningProcess starts has it done.
void restoreDefaultSignals();

// Runs the program (searched on PATH when it has no '/') and collects its output.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The qz7 binary under test.
std::filesystem::path qz7Binary();

// Runs the qz7 binary under test with the given arguments in cwd. Its argv[0] is
// "qz7", so that its help texts do not depend on where the build tree is.
ProcessResult runQz7(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                     const std::vector<std::string>& env = {});
// Starts it so, to be read and finished by the caller.
std::unique_ptr<RunningProcess> startQz7(const std::vector<std::string>& args,
                                         const std::filesystem::path& cwd,
                                         const std::vector<std::string>& env = {});

}  // namespace qz7test
