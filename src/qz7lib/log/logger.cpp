#include "qz7lib/log/logger.h"

#include <fmt/format.h>

#include <atomic>
#include <cstdlib>
#include <utility>

namespace qz7lib {

namespace {

// Null until first use and after reset. Plain values, so that they stay
// readable while the exit-time destroyer runs and afterwards.
Logger* currentLogger = nullptr;
std::atomic<bool> loggerDestroyed{false};

// Deletes the Logger with its sinks at exit; log calls after that are dropped.
// It is registered by the first use of the Logger, so every singleton that
// makes sure of the Logger before it is built is destroyed before it.
struct ExitTimeDestroyer {
  ExitTimeDestroyer() noexcept {}  // not constexpr: registered when first reached
  ~ExitTimeDestroyer() {
    loggerDestroyed = true;
    delete std::exchange(currentLogger, nullptr);
  }
};

// Run after a Fatal message; aborts unless replaced.
std::function<void()> fatalHandler = &std::abort;

// Hour, minute, second and millisecond of a time of day in UTC.
struct UtcClockTime {
  std::int64_t hour;
  std::int64_t minute;
  std::int64_t second;
  std::int64_t millisecond;
};

// Rounds first and derives every field from the rounded value, so that a time
// just below a full minute prints as the next minute rather than ":00" of the old one.
UtcClockTime utcClockTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const milliseconds sinceEpoch = round<milliseconds>(time.time_since_epoch());
  // system_clock counts UTC without leap seconds, so every day has 86400 s.
  const milliseconds ofDay = sinceEpoch - floor<days>(sinceEpoch);
  const hh_mm_ss<milliseconds> parts(ofDay);
  return {parts.hours().count(), parts.minutes().count(), parts.seconds().count(),
          parts.subseconds().count()};
}

bool isLongForm(LogLevel level) { return level == LogLevel::Trace || level == LogLevel::Fatal; }

}  // namespace

char logLevelLetter(LogLevel level) {
  switch (level) {
    case LogLevel::Trace: return 'T';
    case LogLevel::Info: return 'I';
    case LogLevel::Warning: return 'W';
    case LogLevel::Error: return 'E';
    case LogLevel::Fatal: return 'F';
  }
  return '?';
}

std::string formatLogLine(const LogRecord& record) {
  const UtcClockTime t = utcClockTime(record.time);
  const char letter = logLevelLetter(record.level);
  if (isLongForm(record.level)) {
    return fmt::format("{:02}:{:02}:{:02}.{:03} {} [{}@{}] {}", t.hour, t.minute, t.second,
                       t.millisecond, letter, record.function, record.line, record.message);
  }
  return fmt::format("{:02}:{:02}:{:02}.{:03} {} {}", t.hour, t.minute, t.second, t.millisecond,
                     letter, record.message);
}

void Logger::log(LogLevel level, std::string_view function, int line, std::string_view message) {
  if (loggerDestroyed) return;
  instance().write(level, function, line, message);
}

Logger& Logger::instance() {
  static const ExitTimeDestroyer destroyer;
  if (currentLogger == nullptr) currentLogger = new Logger();
  return *currentLogger;
}

void Logger::reset() {
  // Empty the holder before the old Logger's sinks are deleted.
  delete std::exchange(currentLogger, nullptr);
}

void Logger::write(LogLevel level, std::string_view function, int line,
                   std::string_view message) {
  const LogRecord record{std::string(message), function, std::chrono::system_clock::now(), line,
                         level};
  // Formatting happens outside the lock; a failure here reaches no sink.
  const std::string text = formatLogLine(record);

  std::lock_guard guard(mutex_);
  for (const auto& sink : sinks_) {
    if (sink && record.level >= sink->minLevel) sink->write(record, text);
  }
}

LogSink* Logger::addSink(std::unique_ptr<LogSink> sink) {
  std::lock_guard guard(mutex_);
  sinks_.push_back(std::move(sink));
  return sinks_.back().get();
}

void Logger::removeSink(LogSink* sink) {
  std::lock_guard guard(mutex_);
  std::erase_if(sinks_, [sink](const std::unique_ptr<LogSink>& entry) { return entry.get() == sink; });
}

void setFatalHandler(std::function<void()> handler) { fatalHandler.swap(handler); }

void callFatalHandler() {
  if (fatalHandler) fatalHandler();
}

}  // namespace qz7lib
