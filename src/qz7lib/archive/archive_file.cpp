#include "qz7lib/archive/archive_file.h"

#include <sys/stat.h>

#include <array>
#include <bit>
#include <type_traits>

#include "qz7lib/archive/errors.h"

namespace qz7lib::archive {

namespace {

// The stream's own words (std::ios_base::iword) that hold what it knows.
using Words = std::array<long, sizeof(KnownArchiveFile) / sizeof(long)>;
static_assert(sizeof(Words) == sizeof(KnownArchiveFile) &&
              std::is_trivially_copyable_v<KnownArchiveFile>);

const std::array<int, Words().size()>& wordIndexes() {
  static const auto indexes = [] {
    std::array<int, Words().size()> allocated;
    for (int& index : allocated) index = std::ios_base::xalloc();
    return allocated;
  }();
  return indexes;
}

}  // namespace

std::ifstream openArchiveFile(const std::string& path) {
  // Stat before opening: opening a named pipe would wait for a writer, and a
  // directory opens like a file.
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) {
    throw ArchiveFileAccessError();
  }
  std::ifstream stream;
  stream.rdbuf()->pubsetbuf(nullptr, 0);
  stream.open(path, std::ios::binary);
  if (!stream.good()) throw ArchiveFileAccessError();
  // The file opened is the one both stats saw, unless the path changed in
  // between: then its identity stays unknown, and its bytes decide.
  struct stat after {};
  const utils::FileIdentity identity = utils::fileIdentity(before);
  if (::stat(path.c_str(), &after) == 0 && utils::fileIdentity(after) == identity) {
    rememberArchiveFile(stream, {identity, {}});
  }
  return stream;
}

KnownArchiveFile knownArchiveFile(std::ios_base& stream) {
  Words words;
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = stream.iword(wordIndexes()[i]);
  return std::bit_cast<KnownArchiveFile>(words);
}

void rememberArchiveFile(std::ios_base& stream, const KnownArchiveFile& known) {
  const Words words = std::bit_cast<Words>(known);
  for (std::size_t i = 0; i < words.size(); ++i) stream.iword(wordIndexes()[i]) = words[i];
}

}  // namespace qz7lib::archive
