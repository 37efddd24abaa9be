#include "tool/compression_window.h"

#include <algorithm>
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
      maxBytesAhead_(maxBytesInFlight_ / 2) {
  // Most that one file counts against the bound. A larger file is held whole
  // anyway; counted in full it would keep every other file out of the window
  // while it is compressed, leaving the other threads idle. So capped, it leaves
  // the rest of the bound to the other files, and with the task overhead two
  // such files never fit in together.
  const std::uint64_t maxCountedFileBytes = maxBytesAhead_;
  std::vector<std::uint64_t> sizes(files.size(), 0);
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::error_code error;  // a file that cannot be read is its task's to report
    const std::uint64_t size = std::filesystem::file_size(files[i], error);
    if (error) continue;
    sizes[i] = size;
    if (size >= kLargeFileBytes) largestFirst_.push_back(i);
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    costs_[i] = kTaskOverheadBytes + std::min(sizes[i], maxCountedFileBytes);
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
  if (!submitted_[index]) submit(index);
  std::future<CompressionResult> future = std::move(futures_[index]);
  bytesInFlight_ -= costs_[index];
  fill();
  return future.get();
}

void CompressionWindow::submit(std::size_t index) {
  submitted_[index] = true;
  bytesInFlight_ += costs_[index];
  futures_[index] = pool_.submit_task([this, index] { return task_(index); });
}

void CompressionWindow::fill() {
  // Large files first, into their share of the bound.
  while (nextLarge_ < largestFirst_.size()) {
    const std::size_t index = largestFirst_[nextLarge_];
    if (submitted_[index]) {
      ++nextLarge_;
      continue;
    }
    if (bytesInFlight_ > 0 && bytesInFlight_ + costs_[index] > maxBytesAhead_) break;
    submit(index);
    ++nextLarge_;
  }
  // Then in file order, into the whole bound.
  for (; nextInOrder_ < costs_.size(); ++nextInOrder_) {
    if (submitted_[nextInOrder_]) continue;
    if (bytesInFlight_ > 0 && bytesInFlight_ + costs_[nextInOrder_] > maxBytesInFlight_) break;
    submit(nextInOrder_);
  }
}
