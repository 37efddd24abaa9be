#include "tool/hashed_read.h"

#include <xxhash.h>

#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "qz7lib/utils/positioned_io.h"
#include "qz7lib/utils/regular_file.h"

namespace {

// Large enough that a read costs little next to its bytes, small enough to
// stay in the core's cache while it is hashed.
constexpr std::uint64_t kChunkBytes = 256 << 10;

}  // namespace

std::optional<std::uint64_t> readHashedAt(int fd, std::uint64_t offset, std::uint64_t size,
                                          const ChunkConsumer& consume) {
  // Kept by each thread from one read to the next: most reads are of small
  // files and blocks, which would otherwise cost as much in allocations.
  thread_local const std::unique_ptr<XXH64_state_t, XXH_errorcode (*)(XXH64_state_t*)> hash(
      XXH64_createState(), XXH64_freeState);
  thread_local const std::unique_ptr<std::byte[]> buffer =
      std::make_unique_for_overwrite<std::byte[]>(kChunkBytes);
  XXH64_reset(hash.get(), 0);
  for (std::uint64_t done = 0; done < size;) {
    const auto chunk = static_cast<std::size_t>(std::min(size - done, kChunkBytes));
    if (!qz7lib::utils::readAllAt(fd, buffer.get(), chunk, offset + done)) return std::nullopt;
    XXH64_update(hash.get(), buffer.get(), chunk);
    if (consume) consume({buffer.get(), chunk});
    done += chunk;
  }
  return XXH64_digest(hash.get());
}

ContentHash hashFileContents(const std::string& path) {
  const qz7lib::utils::RegularFile file(path);
  if (!file.isOpen()) throw std::runtime_error(fmt::format("Error opening file {}", path));
  const std::optional<std::uint64_t> hash = readHashedAt(file.descriptor(), 0, file.size());
  if (!hash) throw std::runtime_error(fmt::format("Error reading file {}", path));
  return {file.size(), *hash};
}
