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
// cannot all be read.
std::optional<std::uint64_t> readHashedAt(int fd, std::uint64_t offset, std::uint64_t size,
                                          const ChunkConsumer& consume = {});

// The XXH64 (seed 0) of the whole regular file, read in chunks. Throws
// std::runtime_error as readFileContents does: "Error opening file <path>"
// or "Error reading file <path>".
std::uint64_t hashFileContents(const std::string& path);
