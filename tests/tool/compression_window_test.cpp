// The archive command's window of compression tasks, in-process: results in
// file order, and no task outliving the window when collection ends early.

#include "tool/compression_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "qz7lib/utils/thread_pool.h"

namespace qz7test {
namespace {

using namespace std::chrono_literals;

CompressionResult resultNamed(std::size_t index) {
  CompressionResult result;
  result.entry.uncompressedSize = index;
  return result;
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
