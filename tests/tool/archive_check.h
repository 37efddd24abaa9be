#pragma once

// Checks of archives that the archive command wrote: the layout of the file,
// each entry's stored block decoded back to the file it came from, and
// extraction with the tool itself.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qz7lib/archive/compression.h"
#include "qz7lib/archive/reader.h"
#include "support/temp_dir.h"
#include "tool/tool_test.h"

namespace qz7test {

// Entry name -> file content.
using FileMap = std::map<std::string, std::string>;

// Bytes that lz4 barely compresses, from a fixed generator.
inline std::string noise(std::size_t size, std::uint32_t seed = 1) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// Names in the directory (not recursive) that look like a writer's leftover.
inline std::vector<std::string> temporaryFiles(const std::filesystem::path& dir) {
  std::vector<std::string> found;
  for (const auto& item : std::filesystem::directory_iterator(dir)) {
    const std::string name = item.path().filename().string();
    if (name.ends_with(".tmp")) found.push_back(name);
  }
  return found;
}

// Checks that the archive holds exactly files, in name order, laid out by the
// placement rule with zero padding and nothing after the last block, and that
// every block decodes to its file. Returns the index for further checks.
inline qz7lib::archive::ArchiveIndex expectArchiveHolds(const std::filesystem::path& archive,
                                                        const FileMap& files) {
  using namespace qz7lib::archive;
  const std::string bytes = readFile(archive);
  ArchiveIndex index = readArchiveIndex(archive.string());
  EXPECT_EQ(index.header.version, kArchiveVersion);
  EXPECT_EQ(index.header.flags, index.dictionary ? kFlagHasDictionary : 0u);

  std::uint64_t position = kHeaderSize + kExtendedHeaderSize + index.entries.size() * kEntrySize;
  if (index.dictionary) position += kDictionaryHeaderSize + index.dictionary->size();
  EXPECT_EQ(index.entries.size(), files.size());
  auto file = files.begin();
  for (const ArchiveEntry& entry : index.entries) {
    if (file == files.end()) break;
    const std::string name(entryName(entry));
    EXPECT_EQ(name, file->first);
    const std::uint64_t start = alignBlockOffset(position);
    EXPECT_EQ(entry.startOffset, start) << name;
    EXPECT_EQ(bytes.substr(position, start - position), std::string(start - position, '\0'));
    position = start + entry.compressedSize;
    if (position > bytes.size()) {
      ADD_FAILURE() << name << " ends beyond the file";
      return index;
    }
    EXPECT_EQ(entry.uncompressedSize, file->second.size()) << name;
    if (entry.uncompressedSize == 0) {
      EXPECT_EQ(entry.compressedSize, 0u) << name;
      ++file;
      continue;
    }
    const auto block = std::as_bytes(std::span(bytes.data() + start, entry.compressedSize));
    std::vector<std::byte> content(entry.uncompressedSize);
    EXPECT_EQ(decompress(block, content, entry.scheme, index.dictionary.get()), content.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.data()), content.size()),
              file->second)
        << name;
    ++file;
  }
  EXPECT_EQ(bytes.size(), position);
  return index;
}

// Extracts the archive with the tool into a fresh directory and compares every
// extracted file with files.
inline void expectExtractsTo(const std::filesystem::path& archive, const FileMap& files) {
  TempDir target;
  const ProcessResult result = runQz7({"extract", archive.string()}, target.path());
  ASSERT_EQ(result.status, 0) << result.err;
  std::size_t count = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(target.path())) {
    if (item.is_regular_file()) ++count;
  }
  EXPECT_EQ(count, files.size());
  for (const auto& [name, content] : files) EXPECT_EQ(readFile(target.path() / name), content) << name;
}

}  // namespace qz7test
