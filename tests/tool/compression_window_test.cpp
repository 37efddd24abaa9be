// The archive command's window of compression tasks, in-process: results in
// file order, and no task outliving the window when collection ends early.

#include "tool/compression_window.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "qz7lib/utils/thread_pool.h"
#include "support/temp_dir.h"

namespace qz7test {
namespace {

using namespace std::chrono_literals;

// How long a task waits for others to run beside it: far beyond what a working
// window needs on a loaded machine, so only a fault waits this long.
constexpr auto kGiveUp = 60s;

CompressionResult resultNamed(std::size_t index) {
  CompressionResult result;
  result.entry.uncompressedSize = index;
  return result;
}

// Why this process may not make a file of size bytes, even a sparse one; empty
// when it may. Beyond a file size limit (a shell's ulimit -f) SIGXFSZ ends the
// whole test program.
std::string whyNoFileOf(std::uint64_t size) {
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= size) {
    return {};
  }
  return "needs a file of " + std::to_string(size) + " bytes, beyond the file size limit of " +
         std::to_string(limit.rlim_cur) + " bytes (ulimit -f)";
}

TEST(CompressionWindowTest, ConcurrentResultsComeInFileOrder) {
  // Files that do not exist cost only the per-task overhead.
  const std::vector<std::string> files(200, "no such file");
  qz7lib::utils::ThreadPool pool(4);
  CompressionWindow window(pool, files, [](std::size_t index) {
    if (index % 7 == 0) std::this_thread::sleep_for(1ms);
    return resultNamed(index);
  });
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(window.take(i).entry.uncompressedSize, i);
  }
}

// A file larger than the whole bound is held in memory anyway; while it is
// compressed ahead of its turn, the other threads keep working through the
// files before it instead of one file at a time.
TEST(CompressionWindowTest, ConcurrentFilesRunBesideAFileLargerThanTheBound) {
  // Twice the bound of a pool of four threads; a file counts against the bound
  // only up to half of it, so a larger one changes nothing.
  constexpr std::uint64_t kBigSize = std::uint64_t{256} << 20;
  if (const std::string why = whyNoFileOf(kBigSize); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  std::vector<std::string> files;
  for (int i = 0; i < 40; ++i) {
    files.push_back((dir.path() / ("f" + std::to_string(100 + i))).string());
    writeFile(files.back(), "small");
  }
  // A sparse file: large by its size, without the bytes on disk.
  std::filesystem::resize_file(files[20], kBigSize);

  std::atomic<bool> bigRunning{false};
  std::atomic<int> running{0};
  std::atomic<int> mostBesideTheBigOne{0};
  qz7lib::utils::ThreadPool pool(4);
  CompressionWindow window(pool, files, [&](std::size_t index) {
    if (index == 20) {
      // Runs until two of the files before it ran at once beside it, or gives up.
      bigRunning = true;
      const auto deadline = std::chrono::steady_clock::now() + kGiveUp;
      while (mostBesideTheBigOne < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      bigRunning = false;
      return resultNamed(index);
    }
    const int now = ++running;
    if (bigRunning && index < 20) {
      int most = mostBesideTheBigOne;
      while (now > most && !mostBesideTheBigOne.compare_exchange_weak(most, now)) {
      }
    }
    std::this_thread::sleep_for(10ms);
    --running;
    return resultNamed(index);
  });
  // The large file starts first, ahead of the files before it.
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(window.take(i).entry.uncompressedSize, i);
  }
  EXPECT_GE(mostBesideTheBigOne, 2);
}

// The largest files of a tree take seconds each: they run together, ahead of
// their turn, even while collection still waits for the first file, instead of
// one after the other as collection reaches them.
TEST(CompressionWindowTest, ConcurrentLargeFilesRunTogether) {
  constexpr std::uint64_t kLargeSize = std::uint64_t{30} << 20;
  if (const std::string why = whyNoFileOf(kLargeSize); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  std::vector<std::string> files;
  for (int i = 0; i < 40; ++i) {
    files.push_back((dir.path() / ("f" + std::to_string(100 + i))).string());
    writeFile(files.back(), "small");
  }
  // Sparse files: large by their size, without the bytes on disk.
  for (int i : {10, 20, 30}) std::filesystem::resize_file(files[i], kLargeSize);

  std::atomic<int> largeRunning{0};
  std::atomic<bool> allTogether{false};
  // Holds its task until the three large files run at once, or gives up.
  const auto waitForAllLarge = [&] {
    const auto deadline = std::chrono::steady_clock::now() + kGiveUp;
    while (!allTogether && largeRunning < 3 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    if (largeRunning == 3) allTogether = true;
  };
  qz7lib::utils::ThreadPool pool(4);
  CompressionWindow window(pool, files, [&](std::size_t index) {
    if (index == 0) waitForAllLarge();
    if (index % 10 == 0 && index > 0) {
      ++largeRunning;
      waitForAllLarge();
      --largeRunning;
    }
    return resultNamed(index);
  });
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(window.take(i).entry.uncompressedSize, i);
  }
  EXPECT_TRUE(allTogether);
}

// A task's exception ends the collection and the window with it, while tasks
// behind it are still queued or running: they call the window's task, so they
// must all be over before it is gone.
TEST(CompressionWindowTest, ConcurrentFailedTaskLeavesNoTaskBehindTheWindow) {
  const std::vector<std::string> files(64, "no such file");
  std::atomic<bool> windowGone{false};
  std::atomic<int> ranAfterwards{0};
  qz7lib::utils::ThreadPool pool(2);
  try {
    CompressionWindow window(pool, files, [&](std::size_t index) {
      if (index == 0) throw std::bad_alloc();
      std::this_thread::sleep_for(1ms);
      if (windowGone) ++ranAfterwards;
      return resultNamed(index);
    });
    window.take(0);
    ADD_FAILURE() << "the task's exception did not reach take";
  } catch (const std::bad_alloc&) {
    windowGone = true;
  }
  pool.wait();
  EXPECT_EQ(ranAfterwards, 0);
}

}  // namespace
}  // namespace qz7test
