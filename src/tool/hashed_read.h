#pragma once

// Reads of file bytes in chunks, hashed as they come, so that checking a file
// or a stored block of any size costs one small buffer instead of its size.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

// Receives the bytes of a hashed read, chunk by chunk, in order.
using ChunkConsumer = std::function<void(std::span<const std::byte>)>;

// Reads size bytes of fd from offset, hands each chunk to consume when one is
// given, and returns the XXH64 (seed 0) of all of them; nothing when they
// cannot all be read. The chunks live in a buffer of the calling thread's, so
// consume must not read through this function itself.
std::optional<std::uint64_t> readHashedAt(int fd, std::uint64_t offset, std::uint64_t size,
                                          const ChunkConsumer& consume = {});

// What a whole file holds, told without holding it.
struct ContentHash {
  std::uint64_t size;  // the file's length
  std::uint64_t hash;  // XXH64 (seed 0) of its bytes
};

// Reads the whole regular file in chunks. Throws std::runtime_error as
// readFileContents does: "Error opening file <path>" or "Error reading file <path>".
ContentHash hashFileContents(const std::string& path);
