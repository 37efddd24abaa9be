#include "support/run_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace qz7test {

namespace {

void check(int rc, const char* what) {
  if (rc < 0) throw std::system_error(errno, std::generic_category(), what);
}

using Clock = std::chrono::steady_clock;

// The milliseconds from now until deadline, for poll: 0 once it passed.
int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    vars[entry.substr(0, entry.find('='))] = entry;
  }
  for (const std::string& entry : extra) vars[entry.substr(0, entry.find('='))] = entry;
  std::vector<std::string> result;
  for (auto& [name, entry] : vars) result.push_back(entry);
  return result;
}

// The bytes that process pid wrote, from its I/O accounting; -1 without one.
long long writtenBytes(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return -1;
}

// A pipe whose ends lie above the standard streams, so that a child of tests
// started without them still gets the pipe as its own.
void makePipe(int (&ends)[2]) {
  check(pipe2(ends, O_CLOEXEC), "pipe");
  for (int& end : ends) {
    if (end > STDERR_FILENO) continue;
    const int moved = fcntl(end, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    check(moved, "F_DUPFD_CLOEXEC");
    close(end);
    end = moved;
  }
}

// The processes that tests start, directly or as death tests, are waited for:
// were SIGCHLD ignored by whoever started the tests, the system would reap
// them unasked.
const bool childrenAreWaitedFor = [] {
  struct sigaction action {};
  if (sigaction(SIGCHLD, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) ::signal(SIGCHLD, SIG_DFL);
  return true;
}();

}  // namespace

void restoreDefaultSignals() {
  sigset_t caught;
  sigemptyset(&caught);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ::signal(signal, SIG_DFL);
    sigaddset(&caught, signal);
  }
  pthread_sigmask(SIG_UNBLOCK, &caught, nullptr);
}

RunningProcess::RunningProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int outPipe[2], errPipe[2];
  makePipe(outPipe);
  makePipe(errPipe);
  // The kernel rounds the size up to its minimum, one page.
  check(fcntl(outPipe[1], F_SETPIPE_SZ, 1), "F_SETPIPE_SZ");

  std::vector<std::string> env = mergedEnvironment(options.env);
  std::vector<char*> argvPtrs, envPtrs;
  for (const std::string& a : argv) argvPtrs.push_back(const_cast<char*>(a.c_str()));
  argvPtrs.push_back(nullptr);
  for (const std::string& e : env) envPtrs.push_back(const_cast<char*>(e.c_str()));
  envPtrs.push_back(nullptr);
  const std::string cwd = options.cwd.string();
  const std::string program = options.program.empty() ? argv.at(0) : options.program.string();
  for (const std::string& word : argv) commandLine_ += (commandLine_.empty() ? "" : " ") + word;

  pid_ = fork();
  check(pid_, "fork");
  if (pid_ == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0 && options.closedStdin) dup2(devnull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    restoreDefaultSignals();
    if (options.fileSizeLimit >= 0) {
      ::signal(SIGXFSZ, SIG_DFL);
      const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                         static_cast<rlim_t>(options.fileSizeLimit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    environ = envPtrs.data();
    execvp(program.c_str(), argvPtrs.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  out_ = outPipe[0];
  err_ = errPipe[0];
}

RunningProcess::~RunningProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    finish();
  }
}

bool RunningProcess::readSome(int pipe, std::string& sink) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(pipe, buffer, sizeof buffer);
    if (n > 0) {
      sink.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    if (n == 0 || errno != EINTR) return false;
  }
}

bool RunningProcess::readOutputUntil(std::string_view text) {
  const Clock::time_point deadline = Clock::now() + kGiveUp;
  while (result_.out.find(text) == std::string::npos) {
    if (out_ < 0) return false;
    pollfd ready{out_, POLLIN, 0};
    const int polled = poll(&ready, 1, millisecondsUntil(deadline));
    if (polled == 0) {
      ADD_FAILURE() << commandLine_ << " did not print \"" << text << "\" within " << kGiveUp.count() << " ms";
      return false;
    }
    if (polled < 0 && errno != EINTR) check(-1, "poll");
    if (polled > 0 && !readSome(out_, result_.out)) return false;
  }
  return true;
}

void RunningProcess::signal(int signal) const { check(::kill(pid_, signal), "kill"); }

ProcessResult RunningProcess::finish(std::chrono::milliseconds within) {
  const Clock::time_point deadline = Clock::now() + within;
  // Both outputs to their end, and the process's end, which its descriptor
  // shows as readable.
  const int ending = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  pollfd fds[3] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}, {ending, POLLIN, 0}};
  std::string* sinks[2] = {&result_.out, &result_.err};
  const auto done = [&fds](int i) {
    close(fds[i].fd);
    fds[i].fd = -1;
  };
  while (fds[0].fd >= 0 || fds[1].fd >= 0 || fds[2].fd >= 0) {
    const int polled = poll(fds, 3, millisecondsUntil(deadline));
    if (polled == 0) {
      // Whatever it started may hold the pipes on: they are closed, not drained.
      for (int i = 0; i < 3; ++i) {
        if (fds[i].fd >= 0) done(i);
      }
      break;
    }
    if (polled < 0) {
      if (errno == EINTR) continue;
      check(-1, "poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0 && !readSome(fds[i].fd, *sinks[i])) done(i);
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) done(2);
  }
  out_ = err_ = -1;

  // The ended process's accounting is read before it is reaped. Its end is
  // waited for here where the system gave no descriptor to poll for it.
  siginfo_t ended{};
  bool killed = false;
  while (ended.si_pid == 0) {
    if (!killed && Clock::now() >= deadline) {
      ADD_FAILURE() << commandLine_ << " did not end within " << within.count() << " ms; killed";
      ::kill(pid_, SIGKILL);
      killed = true;
    }
    const int options = WEXITED | WNOWAIT | (killed ? 0 : WNOHANG);
    if (waitid(P_PID, static_cast<id_t>(pid_), &ended, options) < 0 && errno != EINTR) check(-1, "waitid");
    if (ended.si_pid == 0 && !killed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  result_.bytesWritten = writtenBytes(pid_);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) check(-1, "waitpid");
  }
  pid_ = -1;
  result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result_;
}

bool waitsForAFileLock(pid_t pid) {
  const std::string waiter = "-> FLOCK";
  const std::string owner = " " + std::to_string(pid) + " ";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      if (line.find(waiter) != std::string::npos && line.find(owner) != std::string::npos) return true;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field, state;
    // The third field is the state; a process that ended is a zombie until reaped.
    if (!(stat >> field >> field >> state) || state == "Z") return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  return RunningProcess(argv, options).finish();
}

std::filesystem::path qz7Binary() {
#ifdef QZ7_BINARY
  return QZ7_BINARY;
#else
  return "qz7";
#endif
}

std::unique_ptr<RunningProcess> startQz7(const std::vector<std::string>& args,
                                         const std::filesystem::path& cwd,
                                         const std::vector<std::string>& env) {
  std::vector<std::string> argv{"qz7"};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<RunningProcess>(argv, ProcessOptions{cwd, env, true, qz7Binary()});
}

ProcessResult runQz7(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                     const std::vector<std::string>& env) {
  return startQz7(args, cwd, env)->finish();
}

}  // namespace qz7test
