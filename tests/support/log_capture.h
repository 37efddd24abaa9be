#pragma once

// Collects the records logged through the process-wide Logger while the object
// lives, so tests can check levels, function names, line numbers and texts.

#include <string>
#include <vector>

#include "qz7lib/log/logger.h"

namespace qz7test {

struct CapturedLog {
  qz7lib::LogLevel level;
  std::string function;
  int line;
  std::string message;

  bool operator==(const CapturedLog&) const = default;
};

// Attaches a sink that receives every level; detaches it on destruction.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every record so far, oldest first.
  std::vector<CapturedLog> records() const;
  // The records logged with the given source line.
  std::vector<CapturedLog> withLine(int line) const;
  void clear();

 private:
  class Sink;
  Sink* sink_;  // owned by the Logger
};

}  // namespace qz7test
