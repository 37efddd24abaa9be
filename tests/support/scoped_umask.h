#pragma once

#include <sys/stat.h>

namespace qz7test {

// Sets the process's file mode creation mask while it lives, for a test whose
// files need modes that do not depend on the umask of whoever runs the tests.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

}  // namespace qz7test
