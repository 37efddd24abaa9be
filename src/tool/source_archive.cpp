#include "tool/source_archive.h"

#include <algorithm>
#include <new>

#include "qz7lib/utils/positioned_io.h"

using qz7lib::utils::RegularFile;

namespace {

constexpr std::size_t kChunkSize = 1 << 20;

}  // namespace

SourceArchive::SourceArchive(const std::string& path)
    : file_(std::make_unique<const RegularFile>(path)), hash_(XXH64_createState(), XXH64_freeState) {
  if (!hash_) throw std::bad_alloc();
}

bool SourceArchive::readBlock(const qz7lib::archive::ArchiveEntry& entry,
                              const std::function<void(std::span<const std::byte>)>& sink) {
  if (!file_->isOpen()) return false;
  buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(entry.compressedSize, kChunkSize)));
  XXH64_reset(hash_.get(), 0);
  for (std::uint64_t done = 0; done < entry.compressedSize;) {
    const auto chunk = std::span(buffer_).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.compressedSize - done, kChunkSize)));
    if (!qz7lib::utils::readAllAt(file_->descriptor(), chunk.data(), chunk.size(), entry.startOffset + done)) {
      return false;
    }
    XXH64_update(hash_.get(), chunk.data(), chunk.size());
    sink(chunk);
    done += chunk.size();
  }
  return XXH64_digest(hash_.get()) == entry.compressedHash;
}
