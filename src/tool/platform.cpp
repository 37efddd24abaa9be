#include "tool/platform.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace platform {

namespace {

// Puts the terminal into single-key mode for its lifetime and restores it after.
class RawTerminal {
 public:
  explicit RawTerminal(int fd) : fd_(fd) {
    active_ = tcgetattr(fd_, &saved_) == 0;
    if (!active_) return;
    termios raw = saved_;
    // No line buffering, no echo, and Ctrl-C is read as a key, so the
    // terminal is always restored.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

void waitForKey() {
  if (isatty(STDIN_FILENO) == 0) return;
  std::cout << "Press any key to continue . . . " << std::flush;
  {
    RawTerminal terminal(STDIN_FILENO);
    char key = 0;
    // End of file (0) or an error (-1) ends the wait as well.
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
  }
  std::cout << std::endl;
}

bool isAdministrator() { return geteuid() == 0; }

std::string executablePath(unsigned long& errorCode) {
  std::error_code ec;
  std::filesystem::path target = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    errorCode = static_cast<unsigned long>(ec.value());
    return {};
  }
  errorCode = 0;
  return target.string();
}

int importRegistryScript(const std::string& scriptPath) {
  // Whatever the child writes must follow what this process wrote before.
  std::cout.flush();
  std::cerr.flush();
  const std::string command = "regedit /s " + scriptPath;
  return std::system(command.c_str());
}

}  // namespace platform
