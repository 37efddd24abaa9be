#pragma once

// The stored bytes of one archive entry as a compression task hands them on:
// either the compressor's output or, for a block stored as it is, the file's
// content itself, so that such a block costs no copy.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

class BlockBytes {
 public:
  BlockBytes() = default;
  // Takes the buffer; the block is all of its bytes.
  template <typename Byte>
  explicit BlockBytes(std::unique_ptr<std::vector<Byte>> buffer)
      : bytes_(std::as_bytes(std::span(*buffer))), owner_(std::move(buffer)) {}

  std::span<const std::byte> bytes() const { return bytes_; }

 private:
  std::span<const std::byte> bytes_;
  std::shared_ptr<const void> owner_;  // the buffer, whichever its element type
};
