#include "qz7lib/log/logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qz7lib;
using namespace std::chrono;

// What a TestSink saw, kept outside the sink so that it outlives it.
struct SinkLog {
  std::vector<std::string> lines;     // formatted lines in arrival order
  std::vector<LogRecord> records;     // copies of the records (function is a dangling view later)
  std::vector<std::string> functions; // the function names, copied during the call
  bool deleted = false;               // the Logger has destroyed the sink
};

class TestSink : public LogSink {
 public:
  TestSink(SinkLog& log, LogLevel min, std::vector<char>* order = nullptr, char tag = 0)
      : log_(log), order_(order), tag_(tag) {
    minLevel = min;
  }
  ~TestSink() override { log_.deleted = true; }

  void write(const LogRecord& record, std::string_view line) override {
    log_.lines.emplace_back(line);
    log_.records.push_back(record);
    log_.functions.emplace_back(record.function);
    if (order_ != nullptr) order_->push_back(tag_);
  }

 private:
  SinkLog& log_;
  std::vector<char>* order_;  // shared record of which sink was called when
  char tag_;
};

class ThrowingSink : public LogSink {
 public:
  void write(const LogRecord&, std::string_view) override { throw std::runtime_error("sink failed"); }
};

// Every test starts and ends with a fresh Logger and the default fatal handler.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { Logger::reset(); }
  void TearDown() override {
    Logger::reset();
    setFatalHandler(&std::abort);
  }

  // A log that outlives every sink of the test, including those deleted in TearDown.
  SinkLog& newLog() { return logs_.emplace_back(); }

  LogSink* attach(SinkLog& log, LogLevel min = LogLevel::Trace) {
    return Logger::instance().addSink(std::make_unique<TestSink>(log, min));
  }

 private:
  std::deque<SinkLog> logs_;
};

LogRecord recordAt(system_clock::time_point time, LogLevel level = LogLevel::Info) {
  return LogRecord{"message", "qz7lib::archive::Archivist::getFileInternal", time, 244, level};
}

// 2024-03-05 09:41:07 UTC plus an offset.
system_clock::time_point sampleTime(nanoseconds offset = {}) {
  return sys_days{year{2024} / 3 / 5} + hours{9} + minutes{41} + seconds{7} + offset;
}

TEST_F(LoggerTest, TraceAndFatalUseTheLongFormOthersTheShortForm) {
  const auto at = sampleTime(milliseconds{250});
  EXPECT_EQ(formatLogLine(recordAt(at, LogLevel::Fatal)),
            "09:41:07.250 F [qz7lib::archive::Archivist::getFileInternal@244] message");
  EXPECT_EQ(formatLogLine(recordAt(at, LogLevel::Trace)),
            "09:41:07.250 T [qz7lib::archive::Archivist::getFileInternal@244] message");
  EXPECT_EQ(formatLogLine(recordAt(at, LogLevel::Info)), "09:41:07.250 I message");
  EXPECT_EQ(formatLogLine(recordAt(at, LogLevel::Warning)), "09:41:07.250 W message");
  EXPECT_EQ(formatLogLine(recordAt(at, LogLevel::Error)), "09:41:07.250 E message");
  EXPECT_EQ(formatLogLine(recordAt(at, static_cast<LogLevel>(5))), "09:41:07.250 ? message");
  EXPECT_EQ(formatLogLine(recordAt(at, static_cast<LogLevel>(-1))), "09:41:07.250 ? message");
}

TEST_F(LoggerTest, MillisecondsRoundHalfToEven) {
  const auto millis = [](nanoseconds offset) {
    return formatLogLine(recordAt(sampleTime(offset))).substr(0, 12);
  };
  EXPECT_EQ(millis(nanoseconds{0}), "09:41:07.000");
  EXPECT_EQ(millis(microseconds{1500}), "09:41:07.002");
  EXPECT_EQ(millis(microseconds{2500}), "09:41:07.002");
  EXPECT_EQ(millis(nanoseconds{2'499'900}), "09:41:07.002");
  EXPECT_EQ(millis(nanoseconds{2'500'100}), "09:41:07.003");
  EXPECT_EQ(millis(microseconds{999'400}), "09:41:07.999");
}

TEST_F(LoggerTest, RoundingUpCarriesIntoSecondsMinutesAndHours) {
  EXPECT_EQ(formatLogLine(recordAt(sampleTime(seconds{52} + microseconds{999'600}))).substr(0, 12),
            "09:42:00.000");
  const auto lastMoment = sys_days{year{2024} / 3 / 5} + hours{23} + minutes{59} + seconds{59} +
                          microseconds{999'700};
  EXPECT_EQ(formatLogLine(recordAt(lastMoment)).substr(0, 12), "00:00:00.000");
  EXPECT_EQ(formatLogLine(recordAt(system_clock::time_point{})).substr(0, 12), "00:00:00.000");
}

// Sets TZ for the duration of a test and restores it afterwards.
class TimeZoneGuard {
 public:
  explicit TimeZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZoneGuard() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(LoggerTest, TimeIsUtcWhateverTheTimeZone) {
  const TimeZoneGuard zone("XYZ-14");  // fourteen hours east of UTC, no database needed
  EXPECT_EQ(formatLogLine(recordAt(sampleTime())).substr(0, 12), "09:41:07.000");

  SinkLog& log = newLog();
  attach(log);
  const auto before = system_clock::now();
  Logger::log(LogLevel::Info, "f", 1, "now");
  const auto after = system_clock::now();
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_GE(log.records[0].time, before);
  EXPECT_LE(log.records[0].time, after);
  EXPECT_EQ(log.lines[0], formatLogLine(log.records[0]));

  // Cross-check the hour against the C library's UTC conversion.
  const std::time_t seconds = system_clock::to_time_t(floor<std::chrono::seconds>(before));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  const std::string hour = log.lines[0].substr(0, 2);
  const int h = std::stoi(hour);
  EXPECT_TRUE(h == utc.tm_hour || h == (utc.tm_hour + 1) % 24) << log.lines[0];
}

TEST_F(LoggerTest, LogHandsRecordAndLineToSinks) {
  SinkLog& log = newLog();
  attach(log);
  Logger::log(LogLevel::Fatal, "qz7lib::f", 17, "text\n");
  ASSERT_EQ(log.lines.size(), 1u);
  const LogRecord& record = log.records[0];
  EXPECT_EQ(record.message, "text\n");
  EXPECT_EQ(log.functions[0], "qz7lib::f");
  EXPECT_EQ(record.line, 17);
  EXPECT_EQ(record.level, LogLevel::Fatal);
  // The line keeps a trailing newline of the message and adds none.
  EXPECT_EQ(log.lines[0].substr(12), " F [qz7lib::f@17] text\n");
}

TEST_F(LoggerTest, LoggingWithoutSinksIsHarmless) {
  Logger::log(LogLevel::Error, "f", 1, "dropped");
  Logger::log(static_cast<LogLevel>(99), "f", 1, "dropped");
}

TEST_F(LoggerTest, SinksReceiveOnlyRecordsAtOrAboveTheirMinimumLevel) {
  SinkLog& fromWarning = newLog();
  SinkLog& everything = newLog();
  SinkLog& nothing = newLog();
  attach(fromWarning, LogLevel::Warning);
  attach(everything, static_cast<LogLevel>(-3));
  attach(nothing, static_cast<LogLevel>(5));
  for (int level = 0; level <= 4; ++level) {
    Logger::log(static_cast<LogLevel>(level), "f", level, std::to_string(level));
  }
  std::vector<LogLevel> levels;
  for (const auto& r : fromWarning.records) levels.push_back(r.level);
  EXPECT_EQ(levels, (std::vector<LogLevel>{LogLevel::Warning, LogLevel::Error, LogLevel::Fatal}));
  EXPECT_EQ(everything.records.size(), 5u);
  EXPECT_TRUE(nothing.records.empty());
}

TEST_F(LoggerTest, SinksAreCalledInOrderAndRemovedSinksAreDeleted) {
  SinkLog& a = newLog();
  SinkLog& b = newLog();
  std::vector<char> order;
  LogSink* sinkA =
      Logger::instance().addSink(std::make_unique<TestSink>(a, LogLevel::Trace, &order, 'A'));
  Logger::instance().addSink(std::make_unique<TestSink>(b, LogLevel::Trace, &order, 'B'));

  Logger::log(LogLevel::Info, "f", 1, "one");
  EXPECT_EQ(order, (std::vector<char>{'A', 'B'}));

  TestSink stranger(a, LogLevel::Trace);
  Logger::instance().removeSink(&stranger);
  Logger::log(LogLevel::Info, "f", 1, "two");
  EXPECT_EQ(order, (std::vector<char>{'A', 'B', 'A', 'B'}));

  a.deleted = false;  // the stranger above shares a's log; only the Logger's deletion counts
  Logger::instance().removeSink(sinkA);
  EXPECT_TRUE(a.deleted);
  EXPECT_FALSE(b.deleted);
  Logger::log(LogLevel::Info, "f", 1, "three");
  EXPECT_EQ(order, (std::vector<char>{'A', 'B', 'A', 'B', 'B'}));
  EXPECT_EQ(b.lines.size(), 3u);
}

TEST_F(LoggerTest, NullSinkIsKeptSkippedAndRemovable) {
  SinkLog& log = newLog();
  EXPECT_EQ(Logger::instance().addSink(nullptr), nullptr);
  attach(log);
  Logger::log(LogLevel::Info, "f", 1, "through");
  Logger::instance().removeSink(nullptr);
  Logger::log(LogLevel::Info, "f", 1, "again");
  EXPECT_EQ(log.lines.size(), 2u);
}

TEST_F(LoggerTest, ResetDeletesSinksAndStartsAFreshLogger) {
  SinkLog& log = newLog();
  attach(log);
  Logger::reset();
  EXPECT_TRUE(log.deleted);
  Logger::log(LogLevel::Error, "f", 1, "nobody listens");
  EXPECT_TRUE(log.lines.empty());

  SinkLog& fresh = newLog();
  attach(fresh);
  Logger::log(LogLevel::Error, "f", 1, "heard");
  EXPECT_EQ(fresh.lines.size(), 1u);
}

TEST_F(LoggerTest, ThrowingSinkStopsTheWalkAndReleasesTheMutex) {
  SinkLog& before = newLog();
  SinkLog& after = newLog();
  attach(before);
  LogSink* thrower = Logger::instance().addSink(std::make_unique<ThrowingSink>());
  attach(after);
  EXPECT_THROW(Logger::log(LogLevel::Info, "f", 1, "x"), std::runtime_error);
  EXPECT_EQ(before.lines.size(), 1u);
  EXPECT_TRUE(after.lines.empty());

  // The mutex was released: the list can change and logging goes on.
  Logger::instance().removeSink(thrower);
  Logger::log(LogLevel::Info, "f", 1, "y");
  EXPECT_EQ(before.lines.size(), 2u);
  EXPECT_EQ(after.lines.size(), 1u);
}

TEST_F(LoggerTest, FatalHandlerCanBeReplacedOrEmptied) {
  int calls = 0;
  setFatalHandler([&calls] { ++calls; });
  callFatalHandler();
  callFatalHandler();
  EXPECT_EQ(calls, 2);

  setFatalHandler({});
  callFatalHandler();
  EXPECT_EQ(calls, 2);
}

TEST(LoggerDeathTest, DefaultFatalHandlerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(callFatalHandler(), "");
}

// A sink that counts without its own synchronisation: the Logger's mutex must
// serialise the calls.
class CountingSink : public LogSink {
 public:
  explicit CountingSink(int& count) : count_(count) {}
  void write(const LogRecord&, std::string_view) override { ++count_; }

 private:
  int& count_;
};

TEST_F(LoggerTest, ConcurrentLoggingReachesTheSinkOneRecordAtATime) {
  int count = 0;
  Logger::instance().addSink(std::make_unique<CountingSink>(count));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kPerThread; ++i) Logger::log(LogLevel::Info, "f", i, "concurrent");
    });
  }
  for (auto& thread : threads) thread.join();
  Logger::reset();
  EXPECT_EQ(count, kThreads * kPerThread);
}

}  // namespace
