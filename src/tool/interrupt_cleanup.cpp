#include "tool/interrupt_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>

namespace interrupt_cleanup {

namespace {

// A run writes one archive or one extracted file at a time; a few spare slots
// cover overlapping lifetimes.
constexpr int kSlotCount = 8;
constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};

// The handler reads a slot's path only while it is armed; claiming and
// releasing are atomic, so the handler never sees a path being written.
struct Slot {
  enum State : int { free, claimed, armed };
  std::atomic<int> state{free};
  char path[PATH_MAX] = {};
};

Slot slots[kSlotCount];

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

void removeTemporaryFiles(int signal) {
  for (Slot& slot : slots) {
    if (slot.state.load(std::memory_order_acquire) == Slot::armed) ::unlink(slot.path);
  }
  // Ends the process as the signal would have without the handler.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

void installHandlers() {
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = removeTemporaryFiles;
  sigemptyset(&action.sa_mask);
  // A second signal waits until the first one's cleanup has ended the process.
  for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kSignals) {
    struct sigaction previous {};
    // A signal ignored by whoever started the process stays ignored.
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

InterruptsHeld::InterruptsHeld() {
  sigset_t held;
  sigemptyset(&held);
  for (int signal : kSignals) sigaddset(&held, signal);
  ::pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

InterruptsHeld::~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

TemporaryFileGuard::TemporaryFileGuard(const std::string& path) : slot_(-1) {
  if (path.size() >= PATH_MAX) return;
  for (int i = 0; i < kSlotCount; ++i) {
    int expected = Slot::free;
    if (slots[i].state.compare_exchange_strong(expected, Slot::claimed,
                                               std::memory_order_acquire)) {
      std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
      slots[i].state.store(Slot::armed, std::memory_order_release);
      slot_ = i;
      return;
    }
  }
}

TemporaryFileGuard::~TemporaryFileGuard() {
  if (slot_ >= 0) slots[slot_].state.store(Slot::free, std::memory_order_release);
}

}  // namespace interrupt_cleanup
