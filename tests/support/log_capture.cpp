#include "support/log_capture.h"

#include <memory>
#include <mutex>

namespace qz7test {

class LogCapture::Sink : public qz7lib::LogSink {
 public:
  Sink() { minLevel = static_cast<qz7lib::LogLevel>(-1); }

  void write(const qz7lib::LogRecord& record, std::string_view) override {
    std::lock_guard guard(mutex);
    records.push_back({record.level, std::string(record.function), record.line, record.message});
  }

  mutable std::mutex mutex;          // records may arrive from several threads
  std::vector<CapturedLog> records;  // oldest first
};

LogCapture::LogCapture()
    : sink_(static_cast<Sink*>(qz7lib::Logger::instance().addSink(std::make_unique<Sink>()))) {}

LogCapture::~LogCapture() { qz7lib::Logger::instance().removeSink(sink_); }

std::vector<CapturedLog> LogCapture::records() const {
  std::lock_guard guard(sink_->mutex);
  return sink_->records;
}

std::vector<CapturedLog> LogCapture::withLine(int line) const {
  std::vector<CapturedLog> matching;
  for (const CapturedLog& record : records())
    if (record.line == line) matching.push_back(record);
  return matching;
}

void LogCapture::clear() {
  std::lock_guard guard(sink_->mutex);
  sink_->records.clear();
}

}  // namespace qz7test
