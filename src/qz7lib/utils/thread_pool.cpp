#include "qz7lib/utils/thread_pool.h"

namespace qz7lib::utils {

void MultiFuture::wait() const {
  for (const std::future<void>& future : futures_) future.wait();
}

void MultiFuture::get() {
  // Wait for all blocks first: a failed block must not let the caller go on
  // while later blocks still use what the loop refers to.
  wait();
  for (std::future<void>& future : futures_) future.get();
}

ThreadPool::ThreadPool(std::size_t threadCount) {
  if (threadCount == 0) threadCount = std::thread::hardware_concurrency();
  if (threadCount == 0) threadCount = 1;
  workers_.reserve(threadCount);
  try {
    for (std::size_t i = 0; i < threadCount; ++i) workers_.emplace_back([this] { workerLoop(); });
  } catch (...) {
    // Threads already started must be stopped and joined before the exception leaves.
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    taskAvailable_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  {
    std::unique_lock lock(mutex_);
    allDone_.wait(lock, [this] { return tasks_.empty() && running_ == 0; });
    stopping_ = true;
  }
  taskAvailable_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ThreadPool::wait() {
  std::unique_lock lock(mutex_);
  allDone_.wait(lock, [this] { return tasks_.empty() && running_ == 0; });
}

void ThreadPool::enqueue(std::function<void()> task) {
  {
    std::lock_guard guard(mutex_);
    tasks_.push(std::move(task));
  }
  taskAvailable_.notify_one();
}

void ThreadPool::enqueue(std::vector<std::function<void()>> tasks) {
  {
    std::lock_guard guard(mutex_);
    for (std::function<void()>& task : tasks) tasks_.push(std::move(task));
  }
  if (tasks.size() >= workers_.size()) {
    taskAvailable_.notify_all();
  } else {
    for (std::size_t i = 0; i < tasks.size(); ++i) taskAvailable_.notify_one();
  }
}

void ThreadPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    taskAvailable_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop();
    ++running_;
    lock.unlock();
    // Tasks come from submit_task, whose packaged_task keeps any exception.
    task();
    task = nullptr;  // release the task's captures outside the lock
    lock.lock();
    --running_;
    if (tasks_.empty() && running_ == 0) allDone_.notify_all();
  }
}

}  // namespace qz7lib::utils
