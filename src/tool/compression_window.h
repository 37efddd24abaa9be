#pragma once

// Runs the archive command's per-file tasks on a thread pool and hands their
// results back in file order, keeping the input bytes of the files that are
// submitted but not collected yet under a bound, so that memory does not grow
// with the archive.
//
// Results are collected in file order, so a slow file holds up collection
// while the files behind it finish. Large files are therefore started first:
// otherwise the largest file of a tree, reached late in the list, would be
// compressed alone at the end while every other thread has nothing to do.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "qz7lib/utils/thread_pool.h"
#include "tool/compress_file.h"

class CompressionWindow {
 public:
  using Task = std::function<CompressionResult(std::size_t index)>;

  // Starts submitting task(i) for the files; pool must outlive the window.
  CompressionWindow(qz7lib::utils::ThreadPool& pool, const std::vector<std::string>& files,
                    Task task);
  // Waits for the tasks that were submitted and not taken: they call this
  // window's task, so none may still run or wait in the pool once it is gone
  // (as when a task's exception ends the collection early).
  ~CompressionWindow();
  CompressionWindow(const CompressionWindow&) = delete;
  CompressionWindow& operator=(const CompressionWindow&) = delete;

  // The result of file index, waiting for it when needed. Call with index
  // 0, 1, 2, ... in turn. Rethrows what the task threw.
  CompressionResult take(std::size_t index);
  // Whether take(index) would now wait for a task that was submitted.
  bool wouldWait(std::size_t index) const;

 private:
  // Counts the file as submitted and adds it to the batch.
  void admit(std::size_t index, std::vector<std::size_t>& batch);
  // Submits the tasks of the batch's files at once.
  void submit(const std::vector<std::size_t>& batch);
  // Submits the files that fit into the bound now.
  void fill();
  // When the result of file index, head, is not ready, waits for the run of
  // results that it begins instead.
  void awaitRun(std::size_t index, const std::future<CompressionResult>& head);

  qz7lib::utils::ThreadPool& pool_;
  Task task_;
  std::vector<std::uint64_t> costs_;                        // per file: its bytes (capped) plus overhead
  std::vector<std::future<CompressionResult>> futures_;     // valid while submitted, not taken
  std::vector<bool> submitted_;                             // per file: its task was submitted
  std::vector<std::size_t> largestFirst_;                   // large files, by descending size
  std::size_t nextLarge_ = 0;                               // next candidate in largestFirst_
  std::size_t nextInOrder_ = 0;                             // next candidate in file order
  std::uint64_t maxBytesInFlight_;                          // bound on bytesInFlight_
  std::uint64_t maxBytesAhead_;                             // share of it for files ahead of their turn
  std::uint64_t bytesInFlight_ = 0;                         // costs of submitted, untaken files
  std::uint64_t reusedRefillBytes_;                         // room that reused results free before a refill
  std::size_t reusedRunLength_;                             // results of reused files awaited at once
  std::uint64_t freedBytes_ = 0;                            // costs of the files taken since the last fill
  bool lastReused_ = false;                                 // the last result taken was a reused file's
};
