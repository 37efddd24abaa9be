#pragma once

// The process-wide logger. Library code calls Logger::log with a level, its own
// qualified function name, a source line and a ready message; every attached
// sink whose minLevel the record reaches gets the record and one formatted line.
// The library ships no concrete sink: without sinks lines are formatted and dropped.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qz7lib {

// Stored as a signed 32-bit value; values outside 0-4 are tolerated and print as '?'.
enum class LogLevel : std::int32_t {
  Trace = 0,
  Info = 1,
  Warning = 2,
  Error = 3,
  Fatal = 4,
};

// One log call as handed to the sinks.
struct LogRecord {
  std::string message;                          // copy of the caller's message
  std::string_view function;                    // caller's qualified name; valid during the call only
  std::chrono::system_clock::time_point time;   // when the record was built
  int line = 0;                                 // caller's source line
  LogLevel level = LogLevel::Info;              // severity
};

// Base class of every sink. The Logger owns its sinks and calls write one
// record at a time under its mutex, so write must not log or touch the sink list.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // record and line are valid only during the call.
  virtual void write(const LogRecord& record, std::string_view line) = 0;

  // Records below this level (signed comparison) are not passed to write.
  LogLevel minLevel = LogLevel::Trace;
};

// The letter of a level in a log line: T, I, W, E, F, or '?' for other values.
char logLevelLetter(LogLevel level);

// The log line of a record: "HH:MM:SS.mmm L message", and for Trace and Fatal
// "HH:MM:SS.mmm L [function@line] message". The time is UTC, rounded to whole
// milliseconds with ties to even. No newline is added.
std::string formatLogLine(const LogRecord& record);

class Logger {
 public:
  // Logs through the process-wide Logger, creating it on first use. Once the
  // Logger has been deleted at exit, the call does nothing.
  static void log(LogLevel level, std::string_view function, int line, std::string_view message);
  // The process-wide Logger, created without sinks on first use. The first use
  // must not race another thread's first use. It is deleted at exit after every
  // static object whose construction was complete only after that first use.
  static Logger& instance();
  // Deletes the Logger and its sinks; the next use creates a fresh one. Must not
  // overlap any other use of the Logger.
  static void reset();

  // Builds and formats the record, then hands it to the sinks under the mutex.
  void write(LogLevel level, std::string_view function, int line, std::string_view message);
  // Appends a sink (a null one is kept and skipped) and returns its raw pointer.
  LogSink* addSink(std::unique_ptr<LogSink> sink);
  // Removes and deletes every attached sink equal to sink; others keep their order.
  void removeSink(LogSink* sink);

 private:
  std::mutex mutex_;                          // guards sinks_; not recursive
  std::vector<std::unique_ptr<LogSink>> sinks_;  // in order of addition; entries may be null
};

// Replaces the process-wide fatal handler (default: abort). An empty function
// turns callFatalHandler into a no-op. Must not overlap callFatalHandler.
void setFatalHandler(std::function<void()> handler);
// Runs the fatal handler when one is set; returns if the handler returns.
// Library code calls it right after logging at LogLevel::Fatal.
void callFatalHandler();

}  // namespace qz7lib
