#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace qz7test {

namespace {

void check(int rc, const char* what) {
  if (rc < 0) throw std::system_error(errno, std::generic_category(), what);
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

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int outPipe[2], errPipe[2];
  check(pipe2(outPipe, O_CLOEXEC), "pipe");
  check(pipe2(errPipe, O_CLOEXEC), "pipe");

  std::vector<std::string> env = mergedEnvironment(options.env);
  std::vector<char*> argvPtrs, envPtrs;
  for (const std::string& a : argv) argvPtrs.push_back(const_cast<char*>(a.c_str()));
  argvPtrs.push_back(nullptr);
  for (const std::string& e : env) envPtrs.push_back(const_cast<char*>(e.c_str()));
  envPtrs.push_back(nullptr);
  const std::string cwd = options.cwd.string();
  const std::string program = options.program.empty() ? argv.at(0) : options.program.string();

  pid_t pid = fork();
  check(pid, "fork");
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0 && options.closedStdin) dup2(devnull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    if (options.fileSizeLimit >= 0) {
      // Ignored, the signal no longer ends the process: the write fails instead.
      signal(SIGXFSZ, SIG_IGN);
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

  ProcessResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      check(-1, "poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) check(-1, "waitpid");
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::filesystem::path qz7Binary() {
#ifdef QZ7_BINARY
  return QZ7_BINARY;
#else
  return "qz7";
#endif
}

ProcessResult runQz7(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                     const std::vector<std::string>& env) {
  std::vector<std::string> argv{"qz7"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, {cwd, env, true, qz7Binary()});
}

}  // namespace qz7test
