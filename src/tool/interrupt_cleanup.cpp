#include "tool/interrupt_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
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

// The process-wide hold, in one word so that the handler, whichever thread
// runs it, and the held steps agree on it atomically: how many held steps run,
// the signal that waits for them, and whether a signal is ending the process.
constexpr std::uint32_t kStepsMask = 0xffff;  // bits 0-15: held steps running
constexpr int kWaitingShift = 16;             // bits 16-23: the waiting signal, 0 for none
constexpr std::uint32_t kWaitingMask = 0xffu << kWaitingShift;
constexpr std::uint32_t kEnding = 1u << 31;   // a handler is ending the process
std::atomic<std::uint32_t> hold{0};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

void onSignal(int signal) {
  // While a held step runs, the signal waits for it (the first of several
  // does); otherwise it ends the process, and no held step may begin.
  std::uint32_t state = hold.load();
  std::uint32_t next = 0;
  do {
    if ((state & kStepsMask) == 0) {
      next = state | kEnding;
    } else if ((state & kWaitingMask) == 0) {
      next = state | static_cast<std::uint32_t>(signal) << kWaitingShift;
    } else {
      next = state;
    }
  } while (!hold.compare_exchange_weak(state, next));
  if ((next & kEnding) == 0) return;

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
  action.sa_handler = onSignal;
  // A signal held back returns from the handler: system calls it interrupted
  // on other threads resume instead of failing with EINTR.
  action.sa_flags = SA_RESTART;
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
  // The step's own thread takes none of them, so that the handler never cuts
  // into the step's system calls; other threads take them and leave them waiting.
  ::pthread_sigmask(SIG_BLOCK, &held, &previous_);
  std::uint32_t state = hold.load();
  do {
    // The signal that is ending the process came before this step, which must not begin.
    if ((state & kEnding) != 0) {
      for (;;) ::pause();
    }
  } while (!hold.compare_exchange_weak(state, state + 1));
}

InterruptsHeld::~InterruptsHeld() {
  // The last step to end takes the waiting signal and sends it to the process
  // again, as it first came: it ends the process unless a new step began.
  std::uint32_t state = hold.load();
  std::uint32_t left = 0;
  do {
    left = state - 1;
    if ((left & kStepsMask) == 0) left &= ~kWaitingMask;
  } while (!hold.compare_exchange_weak(state, left));
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  const int waiting = static_cast<int>((state & kWaitingMask) >> kWaitingShift);
  if ((left & kStepsMask) == 0 && waiting != 0) ::kill(::getpid(), waiting);
}

bool signalWaiting() { return (hold.load() & kWaitingMask) != 0; }

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
