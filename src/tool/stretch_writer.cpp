#include "tool/stretch_writer.h"

#include <algorithm>
#include <system_error>

namespace {

// Padding is written in slices of this.
constexpr std::byte kZeros[64] = {};
// A piece at least this large is written at once, not copied into the buffer.
constexpr std::size_t kDirectWriteBytes = 64 << 10;

}  // namespace

void StretchWriter::write(std::span<const std::byte> bytes) {
  if (buffer_->size() + bytes.size() > kBufferBytes || bytes.size() >= kDirectWriteBytes) flush();
  if (bytes.size() >= kDirectWriteBytes) {
    writeAt(position_, bytes);
  } else {
    buffer_->insert(buffer_->end(), bytes.begin(), bytes.end());
  }
  position_ += bytes.size();
}

void StretchWriter::padTo(std::uint64_t offset) {
  while (position_ < offset) {
    write(std::span(kZeros).first(static_cast<std::size_t>(std::min<std::uint64_t>(offset - position_, sizeof kZeros))));
  }
}

void StretchWriter::skipTo(std::uint64_t offset) {
  writeAt(position_ - buffer_->size(), *buffer_);
  buffer_->clear();
  position_ = offset;
}

void StretchWriter::writeAt(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (failed_ || bytes.empty()) return;
  try {
    const std::lock_guard guard(*fileLock_);
    file_->writeAt(offset, bytes);
  } catch (const std::system_error&) {
    failed_ = true;
  }
}
