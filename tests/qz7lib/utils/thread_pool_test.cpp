#include "qz7lib/utils/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using qz7lib::utils::MultiFuture;
using qz7lib::utils::ThreadPool;

TEST(ThreadPoolTest, ThreadCountZeroMeansHardwareThreadsAndAtLeastOne) {
  ThreadPool automatic(0);
  const std::size_t hardware = std::thread::hardware_concurrency();
  EXPECT_EQ(automatic.get_thread_count(), hardware == 0 ? 1u : hardware);
  ThreadPool three(3);
  EXPECT_EQ(three.get_thread_count(), 3u);
}

TEST(ThreadPoolTest, SubmitTaskDeliversResultOrExceptionAndPoolStaysUsable) {
  ThreadPool pool(2);
  std::future<int> answer = pool.submit_task([] { return 42; });
  std::future<void> failing = pool.submit_task([] { throw std::runtime_error("boom"); });
  EXPECT_EQ(answer.get(), 42);
  EXPECT_THROW(failing.get(), std::runtime_error);
  // A move-only result type goes through as well.
  std::future<std::unique_ptr<int>> owned = pool.submit_task([] { return std::make_unique<int>(7); });
  EXPECT_EQ(*owned.get(), 7);
}

// Runs a loop on a fresh pool and returns how often each index of [0, size) was visited.
std::vector<int> visitCounts(std::size_t threads, std::size_t size, std::size_t blocks,
                             std::size_t* blockCountOut) {
  ThreadPool pool(threads);
  std::vector<std::atomic<int>> visits(size);
  MultiFuture future =
      pool.submit_loop(0, size, [&visits](std::size_t i) { visits[i].fetch_add(1); }, blocks);
  future.get();
  *blockCountOut = future.size();
  std::vector<int> result;
  for (const auto& v : visits) result.push_back(v.load());
  return result;
}

TEST(ThreadPoolTest, SubmitLoopVisitsEveryIndexOnceInTheRequestedNumberOfBlocks) {
  std::size_t blocks = 0;
  // Default: one block per thread.
  EXPECT_EQ(visitCounts(3, 10, 0, &blocks), std::vector<int>(10, 1));
  EXPECT_EQ(blocks, 3u);
  // Explicit block count.
  EXPECT_EQ(visitCounts(2, 100, 7, &blocks), std::vector<int>(100, 1));
  EXPECT_EQ(blocks, 7u);
  // Never more blocks than indexes.
  EXPECT_EQ(visitCounts(4, 2, 0, &blocks), std::vector<int>(2, 1));
  EXPECT_EQ(blocks, 2u);
  // An empty range submits nothing.
  EXPECT_TRUE(visitCounts(4, 0, 0, &blocks).empty());
  EXPECT_EQ(blocks, 0u);
}

TEST(ThreadPoolTest, SubmitLoopBlocksAreContiguousAndAcceptMixedIndexTypes) {
  ThreadPool pool(1);  // one worker: blocks run one after another, in submission order
  std::vector<long> seen;
  // int first, long last; the range starts below zero.
  pool.submit_loop(-3, 7L, [&seen](long i) { seen.push_back(i); }, 4).get();
  EXPECT_EQ(seen, (std::vector<long>{-3, -2, -1, 0, 1, 2, 3, 4, 5, 6}));
}

TEST(ThreadPoolTest, FailedBlockKeepsItsExceptionWhileOtherBlocksFinish) {
  ThreadPool pool(2);
  std::atomic<int> visited{0};
  MultiFuture future = pool.submit_loop(
      0, 40,
      [&visited](int i) {
        if (i == 5) throw std::runtime_error("block failed");
        visited.fetch_add(1);
      },
      4);
  EXPECT_NO_THROW(future.wait());
  // Block 0 ([0,10)) stops at index 5; the other three blocks run in full.
  EXPECT_EQ(visited.load(), 5 + 30);
  EXPECT_THROW(future.get(), std::runtime_error);
}

TEST(ThreadPoolTest, WaitAndDestructorFinishEveryQueuedTask) {
  std::atomic<int> done{0};
  {
    ThreadPool pool(2);
    for (int i = 0; i < 20; ++i)
      pool.submit_task([&done] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        done.fetch_add(1);
      });
    pool.wait();
    EXPECT_EQ(done.load(), 20);
    for (int i = 0; i < 20; ++i)
      pool.submit_task([&done] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        done.fetch_add(1);
      });
  }
  EXPECT_EQ(done.load(), 40);
}

TEST(ThreadPoolConcurrentTest, TasksRunInParallelAndSubmittersMayRace) {
  constexpr int kThreads = 4;
  ThreadPool pool(kThreads);

  // Every worker must be busy at the same time for all four tasks to meet.
  std::mutex mutex;
  std::condition_variable arrived;
  int waiting = 0;
  std::vector<std::future<bool>> meetings;
  for (int i = 0; i < kThreads; ++i)
    meetings.push_back(pool.submit_task([&] {
      std::unique_lock lock(mutex);
      ++waiting;
      arrived.notify_all();
      // Gives up long after any working pool, however loaded the machine, had them all meet.
      return arrived.wait_for(lock, std::chrono::seconds(60), [&] { return waiting == kThreads; });
    }));
  for (auto& met : meetings) EXPECT_TRUE(met.get());

  // Several threads submit tasks and loops to the same pool at once.
  std::atomic<std::int64_t> sum{0};
  std::vector<std::thread> submitters;
  for (int s = 0; s < 3; ++s)
    submitters.emplace_back([&pool, &sum] {
      std::vector<std::future<void>> tasks;
      for (int i = 1; i <= 50; ++i) tasks.push_back(pool.submit_task([&sum, i] { sum += i; }));
      pool.submit_loop(0, 100, [&sum](int i) { sum += i; }).get();
      for (auto& task : tasks) task.get();
    });
  for (auto& submitter : submitters) submitter.join();
  pool.wait();
  EXPECT_EQ(sum.load(), 3 * (1275 + 4950));
}

}  // namespace
