#include "qz7lib/log/spin_lock.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

using qz7lib::SpinLock;

TEST(SpinLockTest, TryLockSucceedsOnlyWhenFree) {
  SpinLock lock;
  EXPECT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock());
  lock.unlock();
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(SpinLockTest, WorksWithStandardGuards) {
  SpinLock lock;
  {
    std::lock_guard guard(lock);
    EXPECT_FALSE(lock.try_lock());
  }
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();

  SpinLock other;
  {
    std::scoped_lock both(lock, other);
    EXPECT_FALSE(lock.try_lock());
    EXPECT_FALSE(other.try_lock());
  }
  EXPECT_TRUE(other.try_lock());
  other.unlock();
}

TEST(SpinLockTest, ConcurrentIncrementsUnderTheLockAreNotLost) {
  SpinLock lock;
  long counter = 0;  // plain: only the lock protects it
  constexpr int kThreads = 4;
  constexpr int kPerThread = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        if (i % 2 == 0) {
          std::lock_guard guard(lock);
          ++counter;
        } else {
          while (!lock.try_lock()) {
          }
          ++counter;
          lock.unlock();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kPerThread);
}

}  // namespace
