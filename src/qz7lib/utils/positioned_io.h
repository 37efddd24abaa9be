#pragma once

// Whole reads and writes at a file offset, resuming after short transfers and
// interrupted calls. The one read and write loop of the code base.

#include <cstddef>
#include <cstdint>

namespace qz7lib::utils {

// Reads size bytes at offset into data; false when they cannot all be read
// (the file ends first, or a read fails: errno tells which).
bool readAllAt(int fd, void* data, std::size_t size, std::uint64_t offset);
// Writes size bytes of data at offset; false when a write fails (errno tells why).
bool writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset);

}  // namespace qz7lib::utils
