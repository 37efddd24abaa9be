#include "tool/signal_point.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tool/interrupt_cleanup.h"

namespace {

// Whether a thread of this process may take signal now: it is not ignored, and
// some thread does not block it, as /proc/self/task tells (without it, none).
bool someThreadMayTake(int signal) {
  struct sigaction action {};
  if (::sigaction(signal, nullptr, &action) != 0 ||
      ((action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN)) {
    return false;
  }
  const std::uint64_t bit = std::uint64_t{1} << (signal - 1);
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("SigBlk:") && (std::stoull(line.substr(7), nullptr, 16) & bit) == 0) return true;
    }
  }
  return false;
}

}  // namespace

void signalPoint(std::string_view name) {
  static const char* const wanted = std::getenv("QZ7_SIGNAL_AT");
  static std::atomic<bool> sent = false;
  if (wanted == nullptr || name != wanted || sent.exchange(true)) return;
  ::kill(::getpid(), SIGTERM);
  // Taken by a thread, the signal either ends the process or waits for a held
  // step. Where no thread may take it, it does what a user's would: ignored,
  // nothing; blocked by every thread, such as a held step's only one, it takes
  // effect once unblocked. Either way the run goes on.
  while (!interrupt_cleanup::signalWaiting() && someThreadMayTake(SIGTERM)) std::this_thread::yield();
}
