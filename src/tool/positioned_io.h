#pragma once

// Whole reads and writes at a file offset, resuming after short transfers and
// interrupted calls.

#include <cstddef>
#include <cstdint>

// Reads size bytes at offset into data; false when they cannot all be read.
bool readAllAt(int fd, void* data, std::size_t size, std::uint64_t offset);
// Writes size bytes of data at offset; false when a write fails.
bool writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset);
