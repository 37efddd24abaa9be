// Steps held against SIGINT, SIGTERM and SIGHUP in-process: the hold covers
// the whole process, so that a signal the system hands to any thread waits
// for the step and then ends the process as it would have.

#include "tool/interrupt_cleanup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "qz7lib/utils/thread_pool.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace qz7test {
namespace {

// Pending for the process or the calling thread: sent, and not yet taken by a thread.
bool pending(int signal) {
  sigset_t set;
  sigpending(&set);
  return sigismember(&set, signal) == 1;
}

// The process sends itself the signal several times inside the step, each
// once the one before was taken, and marks the step's end. Idle pool workers
// take the signal while the main thread holds, and the main thread while a
// worker holds; either way the step ends, and then the signal ends the process.
TEST(InterruptsHeldTest, SignalsToAnyThreadWaitForTheStep) {
  for (const bool onWorker : {false, true}) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      SCOPED_TRACE(std::string(onWorker ? "held on a worker, " : "held on the main thread, ") +
                   strsignal(signal));
      const TempDir dir;
      const std::filesystem::path done = dir.path() / "done";
      EXPECT_EXIT(
          {
            restoreDefaultSignals();
            interrupt_cleanup::installHandlers();
            qz7lib::utils::ThreadPool pool(4);
            const auto step = [&] {
              const interrupt_cleanup::InterruptsHeld held;
              const auto deadline = std::chrono::steady_clock::now() + kGiveUp;
              for (int i = 0; i < 3; ++i) {
                ::kill(::getpid(), signal);
                while (!interrupt_cleanup::signalWaiting() || pending(signal)) {
                  if (std::chrono::steady_clock::now() > deadline) {
                    std::fprintf(stderr, "signal %d, sent %d times, was not taken within %lld ms\n", signal,
                                 i + 1, static_cast<long long>(kGiveUp.count()));
                    std::_Exit(2);
                  }
                  std::this_thread::yield();
                }
              }
              writeFile(done, "the step ended");
            };
            if (onWorker) {
              // The main thread waits in the pool's condition variable, where
              // ThreadSanitizer hands it the signal at once; in future::get()
              // it would wait in a system call that the sanitizer holds
              // signals back from for good.
              pool.submit_task(step);
              pool.wait();
            } else {
              step();
            }
            // Exits normally, failing the test, unless the signal ended the process.
            std::exit(0);
          },
          ::testing::KilledBySignal(signal), "");
      EXPECT_EQ(readFile(done), "the step ended");
    }
  }
}

}  // namespace
}  // namespace qz7test
