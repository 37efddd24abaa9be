#include "qz7lib/archive/archive_file.h"

#include <array>

#include "qz7lib/archive/errors.h"
#include "qz7lib/utils/regular_file.h"

namespace qz7lib::archive {

namespace {

static_assert(sizeof(long) == sizeof(std::uint64_t), "a stream word holds one identity field");

// The stream's own words (std::ios_base::iword) that hold the identity of its
// file: device, inode and creation time. They move with the stream.
const std::array<int, 3>& identityWords() {
  static const std::array<int, 3> words{std::ios_base::xalloc(), std::ios_base::xalloc(),
                                        std::ios_base::xalloc()};
  return words;
}

void recordIdentity(std::ios_base& stream, const utils::FileIdentity& identity) {
  const auto& words = identityWords();
  stream.iword(words[0]) = static_cast<long>(identity.device);
  stream.iword(words[1]) = static_cast<long>(identity.inode);
  stream.iword(words[2]) = static_cast<long>(identity.created);
}

}  // namespace

std::ifstream openArchiveFile(const std::string& path) {
  // The path is opened once; the stream then opens that very file through its
  // descriptor, so the identity it records is that of the file it reads even
  // when the path is being replaced meanwhile.
  const utils::RegularFile file(path);
  if (!file.isOpen()) throw ArchiveFileAccessError();
  std::ifstream stream;
  stream.rdbuf()->pubsetbuf(nullptr, 0);
  stream.open("/proc/self/fd/" + std::to_string(file.descriptor()), std::ios::binary);
  if (!stream.good()) throw ArchiveFileAccessError();
  recordIdentity(stream, file.identity());
  return stream;
}

utils::FileIdentity archiveFileIdentity(std::ios_base& stream) {
  const auto& words = identityWords();
  return {static_cast<std::uint64_t>(stream.iword(words[0])),
          static_cast<std::uint64_t>(stream.iword(words[1])), stream.iword(words[2])};
}

}  // namespace qz7lib::archive
