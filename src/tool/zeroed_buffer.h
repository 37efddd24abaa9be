#pragma once

// A zero-filled byte buffer for whole entries. The memory comes from calloc, so
// a large buffer is mapped lazily instead of being written with zeros up front:
// only the pages that a read fills are ever touched.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <span>

class ZeroedBuffer {
 public:
  ZeroedBuffer() = default;
  // Throws std::bad_alloc when size bytes cannot be had.
  explicit ZeroedBuffer(std::uint64_t size) { allocate(size); }

  std::span<std::byte> span() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }

  // Replaces the buffer by size zero bytes when it is smaller; never shrinks.
  void growTo(std::uint64_t size) {
    if (size > size_) allocate(size);
  }

 private:
  struct Free {
    void operator()(std::byte* bytes) const { std::free(bytes); }
  };

  void allocate(std::uint64_t size) {
    if (size > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    // calloc(0) may return null; one byte keeps a valid pointer for empty entries.
    auto* bytes = static_cast<std::byte*>(std::calloc(size == 0 ? 1 : size, 1));
    if (bytes == nullptr) throw std::bad_alloc();
    data_.reset(bytes);
    size_ = static_cast<std::size_t>(size);
  }

  std::unique_ptr<std::byte, Free> data_;
  std::size_t size_ = 0;
};
