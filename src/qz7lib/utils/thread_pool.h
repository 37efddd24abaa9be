#pragma once

// A small fixed-size thread pool: tasks run in submission order on a set of
// worker threads, each task's result or exception is handed back through a
// std::future. Loops are split into contiguous blocks of indexes, one task per block.

#include <algorithm>
#include <concepts>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace qz7lib::utils {

// The futures of the blocks of one submitted loop, in index order.
class MultiFuture {
 public:
  MultiFuture() = default;
  explicit MultiFuture(std::vector<std::future<void>> futures) : futures_(std::move(futures)) {}

  // Waits until every block has finished. An exception of a block stays in
  // that block's future; it is not rethrown here.
  void wait() const;
  // Waits for every block, then rethrows the exception of the first failed
  // block (in index order), if any. Consumes the futures.
  void get();

  // Number of blocks.
  std::size_t size() const { return futures_.size(); }

 private:
  std::vector<std::future<void>> futures_;  // one per block, in index order
};

class ThreadPool {
 public:
  // threadCount 0 means the number of hardware threads; at least one thread is started.
  explicit ThreadPool(std::size_t threadCount = 0);
  // Finishes every queued task, then joins the workers.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t get_thread_count() const { return workers_.size(); }

  // Queues task; its result or exception arrives through the returned future.
  template <typename F>
  auto submit_task(F&& task) -> std::future<std::invoke_result_t<std::decay_t<F>>> {
    using Result = std::invoke_result_t<std::decay_t<F>>;
    // std::function needs a copyable target, packaged_task is move-only.
    auto packaged = std::make_shared<std::packaged_task<Result()>>(std::forward<F>(task));
    std::future<Result> future = packaged->get_future();
    enqueue([packaged] { (*packaged)(); });
    return future;
  }

  // Queues every task of tasks, in order, as submit_task would each, but under
  // one lock and waking each idle worker at most once, so that a run of short
  // tasks costs its submitter a wake-up per worker, not per task.
  template <typename F>
  auto submit_tasks(std::vector<F> tasks) -> std::vector<std::future<std::invoke_result_t<F&>>> {
    using Result = std::invoke_result_t<F&>;
    std::vector<std::future<Result>> futures;
    std::vector<std::function<void()>> queued;
    futures.reserve(tasks.size());
    queued.reserve(tasks.size());
    for (F& task : tasks) {
      auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
      futures.push_back(packaged->get_future());
      queued.emplace_back([packaged] { (*packaged)(); });
    }
    enqueue(std::move(queued));
    return futures;
  }

  // Calls loop(i) for every i in [first, last), split into blockCount blocks of
  // consecutive indexes (0: one block per thread; never more blocks than indexes).
  // The blocks share one copy of loop, so it may run on several threads at once.
  // first and last may differ in type (0 and a container's size()); the loop
  // index has their common type.
  template <std::integral First, std::integral Last, typename F>
  MultiFuture submit_loop(First firstIndex, Last lastIndex, F&& loop, std::size_t blockCount = 0) {
    using Index = std::common_type_t<First, Last>;
    const auto first = static_cast<Index>(firstIndex);
    const auto last = static_cast<Index>(lastIndex);
    if (last <= first) return MultiFuture();
    const auto total = static_cast<std::size_t>(last - first);
    std::size_t blocks = blockCount == 0 ? get_thread_count() : blockCount;
    blocks = std::min(blocks, total);
    // The first `remainder` blocks take one index more than the others.
    const std::size_t blockSize = total / blocks;
    const std::size_t remainder = total % blocks;

    auto shared = std::make_shared<std::decay_t<F>>(std::forward<F>(loop));
    std::vector<std::future<void>> futures;
    futures.reserve(blocks);
    std::size_t start = 0;
    for (std::size_t block = 0; block < blocks; ++block) {
      const std::size_t end = start + blockSize + (block < remainder ? 1 : 0);
      const Index blockFirst = static_cast<Index>(first + static_cast<Index>(start));
      const Index blockLast = static_cast<Index>(first + static_cast<Index>(end));
      futures.push_back(submit_task([shared, blockFirst, blockLast] {
        for (Index i = blockFirst; i < blockLast; ++i) (*shared)(i);
      }));
      start = end;
    }
    return MultiFuture(std::move(futures));
  }

  // Blocks until the queue is empty and no task runs. Must not be called from a task.
  void wait();

 private:
  void enqueue(std::function<void()> task);
  void enqueue(std::vector<std::function<void()>> tasks);
  void workerLoop();

  std::mutex mutex_;                         // guards every field below except workers_
  std::condition_variable taskAvailable_;    // signalled on a new task and on stop
  std::condition_variable allDone_;          // signalled when the pool becomes idle
  std::queue<std::function<void()>> tasks_;  // waiting tasks, oldest first
  std::size_t running_ = 0;                  // tasks currently executing
  bool stopping_ = false;                    // set by the destructor once the queue is drained
  std::vector<std::thread> workers_;         // started by the constructor, joined by the destructor
};

}  // namespace qz7lib::utils
