#include "tool/compress_file.h"

#include <xxhash.h>

#include <span>

#include "qz7lib/utils/read_file.h"
#include "tool/hashed_read.h"
#include "tool/input_collection.h"

using qz7lib::archive::Archivist;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::CompressionDictionary;
using qz7lib::archive::CompressionScheme;
using qz7lib::archive::FileRecord;

namespace {

// Under automatic, lz4 output at or above this share of the input is stored instead.
constexpr double kAutoStoreRatio = 0.95;

std::span<const std::byte> asBytes(const std::vector<char>& bytes) {
  return std::as_bytes(std::span<const char>(bytes));
}

}  // namespace

CompressionScheme schemeForOption(CompressionOption option,
                                  const CompressionDictionary* dictionary) {
  if (dictionary != nullptr) return CompressionScheme::zStdDict;
  if (option == CompressionOption::automatic) return CompressionScheme::lz4;
  return optionToScheme.at(option);
}

CompressionResult compressFile(const std::filesystem::path& path, CompressionOption option,
                               const CompressionDictionary* dictionary) {
  CompressionResult result;
  ArchiveEntry& entry = result.entry;
  qz7lib::archive::setEntryName(entry, toEntryName(path));
  // Asked before the read, so that a vanished file is reported by the file-system error.
  entry.uncompressedSize = std::filesystem::file_size(path);
  std::unique_ptr<std::vector<char>> content = qz7lib::utils::readFileContents(path.string());
  // What was read counts, so entry and block agree when the file changed in between.
  entry.uncompressedSize = content->size();
  entry.fileHash = XXH64(content->data(), content->size(), 0);

  entry.scheme = schemeForOption(option, dictionary);
  std::unique_ptr<std::vector<std::byte>> compressed;
  if (entry.scheme != CompressionScheme::none) {
    compressed = qz7lib::archive::compress(asBytes(*content), entry.scheme, dictionary);
    if (option == CompressionOption::automatic &&
        static_cast<double>(compressed->size()) >=
            static_cast<double>(entry.uncompressedSize) * kAutoStoreRatio) {
      entry.scheme = CompressionScheme::none;
      compressed.reset();
    }
  }
  if (entry.scheme == CompressionScheme::none) {
    result.block = BlockBytes(std::move(content));
  } else {
    // The block may wait for collection a while; it need not keep the codec's
    // worst-case room. Shrunk only once the content is gone, and only when the
    // smaller copy fits in the room the content left.
    const std::size_t contentSize = content->size();
    content.reset();
    if (compressed->size() <= contentSize) compressed->shrink_to_fit();
    result.block = BlockBytes(std::move(compressed));
  }
  entry.compressedSize = result.block.bytes().size();
  entry.compressedHash = XXH64(result.block.bytes().data(), entry.compressedSize, 0);
  return result;
}

CompressionResult compressFileTask(Archivist& archivist, const SourceArchive* source,
                                   const std::vector<std::string>& files,
                                   const CompressionDictionary* dictionary,
                                   CompressionOption option, std::size_t index) {
  const std::string& file = files[index];
  if (const FileRecord* record = source != nullptr ? archivist.hasFile(toEntryName(file)) : nullptr) {
    const ArchiveEntry& old = record->entry;
    const auto expected = schemeForOption(option, dictionary);
    const bool schemeFits =
        old.scheme == expected ||
        (option == CompressionOption::automatic && old.scheme == CompressionScheme::none);
    if (schemeFits) {
      // Neither the file nor the block is held: the writer copies the block
      // from source when it places it. A size that differs from the file's
      // is a damaged entry, not carried on.
      const ContentHash content = hashFileContents(file);
      if (content.hash == old.fileHash && content.size == old.uncompressedSize && source->readBlock(old)) {
        return {old, {}, true};
      }
    }
  }
  return compressFile(file, option, dictionary);
}
