#pragma once

// Removes the files a run is still writing under temporary names when SIGINT,
// SIGTERM or SIGHUP ends the process, then lets the signal end it with its
// usual status. Files written in full are renamed into place and unregistered,
// so an interrupted run leaves nothing but what it had finished.

#include <signal.h>

#include <string>

namespace interrupt_cleanup {

// Installs the handlers, and makes a write beyond the file-size limit fail
// with EFBIG instead of ending the process with SIGXFSZ, so that the failure
// is reported and cleaned up like any other. Called once, at the start of main.
void installHandlers();

// Holds SIGINT, SIGTERM and SIGHUP back from the whole process while it lives,
// whichever thread the system hands them to; one that arrives meanwhile takes
// effect once the last held step ends. For steps that must not be cut in two,
// such as giving a file a temporary name and registering it, or writing an
// archive over in place. A step cannot begin once a signal is ending the process.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Whether a signal that arrived during a held step waits for it to end.
bool signalWaiting();

// Registers a temporary file for removal on those signals for its lifetime.
// Construct it right after the file was created, destroy it once the file was
// renamed or removed. A path too long to hold goes unregistered.
class TemporaryFileGuard {
 public:
  explicit TemporaryFileGuard(const std::string& path);
  ~TemporaryFileGuard();
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;

 private:
  int slot_;  // the registration's slot, or -1 when unregistered
};

}  // namespace interrupt_cleanup
