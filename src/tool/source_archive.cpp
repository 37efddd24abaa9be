#include "tool/source_archive.h"

#include "tool/positioned_io.h"

using qz7lib::utils::RegularFile;

SourceArchive::SourceArchive(const std::string& path)
    : file_(std::make_unique<const RegularFile>(path)) {}

bool SourceArchive::isNamedBy(const std::string& path) const {
  const RegularFile named(path);
  return file_->isOpen() && named.isOpen() && named.identity() == file_->identity();
}

bool SourceArchive::read(std::uint64_t offset, std::span<std::byte> bytes) const {
  return file_->isOpen() && readAllAt(file_->descriptor(), bytes.data(), bytes.size(), offset);
}
