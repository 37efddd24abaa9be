#include "qz7lib/archive/format.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>

#include "qz7lib/archive/errors.h"

#include <fmt/format.h>

namespace qz7lib::archive {

const ExtendedHeader defaultExtendedHeader(0, 0);

ArchiveHeader::ArchiveHeader(std::uint32_t flags, std::uint64_t fileCount, std::uint32_t version)
    : magic(kArchiveMagic), flags(flags), version(version), fileCount(fileCount) {
  hash = computeHash();
}

std::uint64_t ArchiveHeader::computeHash() const {
  return XXH64(this, offsetof(ArchiveHeader, hash), 0);
}

bool ArchiveHeader::isValid() const { return hash == computeHash(); }

ExtendedHeader::ExtendedHeader(std::uint32_t headerSize, std::uint32_t entrySize)
    : headerSize(headerSize), entrySize(entrySize) {
  hash = computeHash();
}

std::uint64_t ExtendedHeader::computeHash() const {
  return XXH64(reinterpret_cast<const char*>(this) + offsetof(ExtendedHeader, headerSize),
               sizeof(ExtendedHeader) - offsetof(ExtendedHeader, headerSize), 0);
}

bool ExtendedHeader::isValid() const { return hash == computeHash(); }

DictionaryHeader::DictionaryHeader(std::uint64_t size) : magic(kDictionaryMagic), size(size) {}

std::string_view entryName(const ArchiveEntry& entry) {
  const char* end = std::find(entry.name, entry.name + kNameFieldSize, '\0');
  return {entry.name, static_cast<std::size_t>(end - entry.name)};
}

bool hasTerminatedName(const ArchiveEntry& entry) {
  return std::memchr(entry.name, '\0', kNameFieldSize) != nullptr;
}

void setEntryName(ArchiveEntry& entry, std::string_view name) {
  std::memset(entry.name, 0, kNameFieldSize);
  std::memcpy(entry.name, name.data(), std::min(name.size(), kMaxNameLength));
}

IncompatibleArchiveVersion::IncompatibleArchiveVersion(std::uint32_t version,
                                                       std::uint32_t supported)
    : std::runtime_error(
          fmt::format("Unsupported kvz version {}. Supporting only up to {}\n", version, supported)) {}

}  // namespace qz7lib::archive
