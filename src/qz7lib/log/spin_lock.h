#pragma once

#include <atomic>
#include <cstdint>

namespace qz7lib {

// A one-byte busy-wait lock for very short critical sections; usable with
// std::lock_guard and std::scoped_lock. Not recursive, not fair, never enters
// the operating system. Waiters spin on plain reads and only attempt the
// exchange once the lock reads free (test and test-and-set).
class SpinLock {
 public:
  void lock() noexcept {
    while (flag_.exchange(1, std::memory_order_acquire) != 0) {
      while (flag_.load(std::memory_order_relaxed) != 0) pause();
    }
  }

  // Takes the lock only when it is free; never writes to a held lock.
  bool try_lock() noexcept {
    if (flag_.load(std::memory_order_relaxed) != 0) return false;
    return flag_.exchange(1, std::memory_order_acquire) == 0;
  }

  void unlock() noexcept { flag_.store(0, std::memory_order_release); }

 private:
  // Tells the processor that this is a spin-wait loop.
  static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  std::atomic<std::uint8_t> flag_{0};  // 0 free, 1 held
};

static_assert(sizeof(SpinLock) == 1, "every cached file record carries one");

}  // namespace qz7lib
