#include "tool/compression_window.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace {

// Bound on the input bytes of submitted but uncollected files, per pool thread
// and at least. It has to hold enough work to keep every thread busy while
// collection waits for a slow file, and room for several large files at once:
// the largest files of a tree take seconds each, and started one after the
// other they would make the run as long as their sum. A file larger than the
// counting cap (below) counts as the cap, so the bytes in flight stay under the
// bound plus the largest file.
constexpr std::uint64_t kBytesInFlightPerThread = std::uint64_t{32} << 20;
constexpr std::uint64_t kMinBytesInFlight = std::uint64_t{64} << 20;
// Files from this size on are started ahead of their turn, largest first.
constexpr std::uint64_t kLargeFileBytes = std::uint64_t{256} << 10;
// What a task and its result cost beyond the file's bytes, counted per file so
// that many tiny files are bounded too.
constexpr std::uint64_t kTaskOverheadBytes = 4096;
// Share of the bound that the results of reused files free before the window
// is refilled. Reusing a file takes the pool far less time than compressing
// it: refilled task by task, the workers would finish each task at once and
// sleep, and the collecting thread would wake one for every file.
constexpr std::uint64_t kReusedRefillShare = 16;
// Results of reused files that the collecting thread waits for at once, per
// pool thread, when the next is not ready: woken for each, it would spend more
// time going to sleep and waking up than on the results.
constexpr std::size_t kReusedRunPerThread = 4;

}  // namespace

CompressionWindow::CompressionWindow(qz7lib::utils::ThreadPool& pool,
                                     const std::vector<std::string>& files, Task task)
    : pool_(pool),
      task_(std::move(task)),
      costs_(files.size()),
      futures_(files.size()),
      submitted_(files.size(), false),
      maxBytesInFlight_(std::max(kMinBytesInFlight, kBytesInFlightPerThread * pool.get_thread_count())),
      // Files started ahead of their turn take at most half of the bound, so
      // that the files at the head of the list always find room.
      maxBytesAhead_(maxBytesInFlight_ / 2),
      reusedRefillBytes_(maxBytesInFlight_ / kReusedRefillShare),
      reusedRunLength_(kReusedRunPerThread * pool.get_thread_count()) {
  // Most that one file counts against the bound. A larger file is held whole
  // anyway; counted in full it would keep every other file out of the window
  // while it is compressed, leaving the other threads idle. So capped, it leaves
  // the rest of the bound to the other files, and with the task overhead two
  // such files never fit in together.
  const std::uint64_t maxCountedFileBytes = maxBytesAhead_;
  std::vector<std::uint64_t> sizes(files.size(), 0);
  // Asked on the pool, whose threads have nothing to do yet: for a tree of
  // many small files, a status call per file is a good share of the time the
  // collecting thread spends per file.
  pool.submit_loop(std::size_t{0}, files.size(), [&files, &sizes](std::size_t i) {
        std::error_code error;  // a file that cannot be read is its task's to report
        const std::uint64_t size = std::filesystem::file_size(files[i], error);
        if (!error) sizes[i] = size;
      }).get();
  for (std::size_t i = 0; i < files.size(); ++i) {
    costs_[i] = kTaskOverheadBytes + std::min(sizes[i], maxCountedFileBytes);
    if (sizes[i] >= kLargeFileBytes) largestFirst_.push_back(i);
  }
  std::stable_sort(largestFirst_.begin(), largestFirst_.end(),
                   [&sizes](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
  fill();
}

CompressionWindow::~CompressionWindow() {
  for (std::future<CompressionResult>& future : futures_) {
    if (future.valid()) future.wait();
  }
}

CompressionResult CompressionWindow::take(std::size_t index) {
  const bool ranDry = !submitted_[index];
  if (ranDry) {
    std::vector<std::size_t> head;
    admit(index, head);
    submit(head);
  }
  std::future<CompressionResult> future = std::move(futures_[index]);
  bytesInFlight_ -= costs_[index];
  freedBytes_ += costs_[index];
  // After a compressed file, the room goes to the next tasks at once; after a
  // reused one, once enough of it has come free for a batch.
  if (!lastReused_ || ranDry || freedBytes_ >= reusedRefillBytes_) fill();
  if (lastReused_) awaitRun(index, future);
  CompressionResult result = future.get();
  lastReused_ = result.reused;
  return result;
}

bool CompressionWindow::wouldWait(std::size_t index) const {
  return submitted_[index] && futures_[index].wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void CompressionWindow::awaitRun(std::size_t index, const std::future<CompressionResult>& head) {
  if (head.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return;
  // The pool runs tasks in the order they were submitted: once the last task
  // of the run is done, the ones before it mostly are too. Not a large file's,
  // which may be compressed long after the others are done.
  const std::size_t end = std::min(index + reusedRunLength_, nextInOrder_);
  if (end <= index + 1) return;
  const std::size_t last = end - 1;
  if (costs_[last] < kTaskOverheadBytes + kLargeFileBytes && futures_[last].valid()) futures_[last].wait();
}

void CompressionWindow::admit(std::size_t index, std::vector<std::size_t>& batch) {
  submitted_[index] = true;
  bytesInFlight_ += costs_[index];
  batch.push_back(index);
}

void CompressionWindow::submit(const std::vector<std::size_t>& batch) {
  std::vector<std::function<CompressionResult()>> tasks;
  tasks.reserve(batch.size());
  for (const std::size_t index : batch) tasks.emplace_back([this, index] { return task_(index); });
  std::vector<std::future<CompressionResult>> futures = pool_.submit_tasks(std::move(tasks));
  for (std::size_t i = 0; i < batch.size(); ++i) futures_[batch[i]] = std::move(futures[i]);
}

void CompressionWindow::fill() {
  freedBytes_ = 0;
  auto fits = [this](std::size_t index, std::uint64_t bound) {
    return bytesInFlight_ == 0 || bytesInFlight_ + costs_[index] <= bound;
  };
  std::vector<std::size_t> batch;
  // Large files first, into their share of the bound.
  for (; nextLarge_ < largestFirst_.size(); ++nextLarge_) {
    const std::size_t index = largestFirst_[nextLarge_];
    if (submitted_[index]) continue;
    if (!fits(index, maxBytesAhead_)) break;
    admit(index, batch);
  }
  // Then in file order, into the whole bound.
  for (; nextInOrder_ < costs_.size(); ++nextInOrder_) {
    if (submitted_[nextInOrder_]) continue;
    if (!fits(nextInOrder_, maxBytesInFlight_)) break;
    admit(nextInOrder_, batch);
  }
  if (!batch.empty()) submit(batch);
}
