#include "tool/compress_file.h"

#include <xxhash.h>

#include <memory>
#include <span>
#include <vector>

#include "qz7lib/archive/errors.h"
#include "qz7lib/utils/read_file.h"
#include "tool/hashed_read.h"
#include "tool/input_collection.h"

using qz7lib::archive::Archivist;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::CompressionDictionary;
using qz7lib::archive::CompressionScheme;
using qz7lib::archive::FileRecord;
using qz7lib::archive::canDecodeTo;

namespace {

// Under automatic, lz4 output at or above this share of the input is stored instead.
constexpr double kAutoStoreRatio = 0.95;

std::span<const std::byte> asBytes(const std::vector<char>& bytes) {
  return std::as_bytes(std::span<const char>(bytes));
}

// Whether an entry stored under scheme may be reused under option: it is the
// scheme the file would be compressed with, or automatic's other choice, none.
bool schemeFits(CompressionScheme scheme, CompressionOption option,
                const CompressionDictionary* dictionary) {
  return scheme == schemeForOption(option, dictionary) ||
         (option == CompressionOption::automatic && scheme == CompressionScheme::none);
}

// Follows the hashed read of a reused entry's block, chunk by chunk, to tell
// whether the entry's scheme agrees with the block: the index is not covered by
// a hash, and a scheme field changed to another valid code would otherwise be
// carried into the new archive. The first chunk is judged as a reader judges
// the whole block. An lz4 entry whose block would also pass as stored or as a
// zstd frame of the file's size, which is what such a change leaves and rarely
// what lz4 writes, is held and decoded.
class SchemeCheck {
 public:
  explicit SchemeCheck(const ArchiveEntry& entry) : entry_(entry) {}

  void take(std::span<const std::byte> chunk) {
    if (!started_) {
      started_ = true;
      agrees_ = canDecodeTo(chunk, entry_.compressedSize, entry_.uncompressedSize, entry_.scheme);
      holding_ = agrees_ && looksChanged(chunk);
      // Within the archive's length: the block was found to lie in it.
      if (holding_) block_.reserve(entry_.compressedSize);
    }
    if (holding_) block_.insert(block_.end(), chunk.begin(), chunk.end());
  }

  // Once the whole block has been taken.
  bool agrees() const {
    // No chunk came: the empty block, which every scheme stores for an empty file.
    if (!started_) return entry_.uncompressedSize == 0;
    return agrees_ && (!holding_ || decodesToFile());
  }

 private:
  bool looksChanged(std::span<const std::byte> start) const {
    return entry_.scheme == CompressionScheme::lz4 &&
           (entry_.compressedSize == entry_.uncompressedSize ||
            canDecodeTo(start, entry_.compressedSize, entry_.uncompressedSize, CompressionScheme::zStd));
  }

  // The content is the file's size, which the caller has read.
  bool decodesToFile() const {
    const auto size = static_cast<std::size_t>(entry_.uncompressedSize);
    const auto content = std::make_unique_for_overwrite<std::byte[]>(size);
    try {
      return qz7lib::archive::decompress(block_, {content.get(), size}, entry_.scheme, nullptr) == size &&
             XXH64(content.get(), size, 0) == entry_.fileHash;
    } catch (const qz7lib::archive::DecompressionFailed&) {
      return false;
    }
  }

  const ArchiveEntry& entry_;
  bool started_ = false;  // the first chunk has been judged
  bool agrees_ = false;   // it can decode to the entry's size under the entry's scheme
  bool holding_ = false;  // the block is held in block_ to be decoded
  std::vector<std::byte> block_;
};

// Whether the file is what old holds, and old's block in source is sound and
// agrees with its scheme. Reads the file and the block in chunks, holding
// neither on the normal path.
bool isUnchanged(const std::string& file, const SourceArchive& source, const ArchiveEntry& old) {
  const ContentHash content = hashFileContents(file);
  // A size that differs from the file's is a damaged entry, not carried on.
  if (content.hash != old.fileHash || content.size != old.uncompressedSize) return false;
  SchemeCheck check(old);
  // One reference: std::function keeps it without an allocation.
  return source.readBlock(old, [&check](std::span<const std::byte> chunk) { check.take(chunk); }) &&
         check.agrees();
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
  if (source != nullptr) {
    const std::string name = toEntryName(file);
    const FileRecord* record = archivist.hasFile(name);
    if (record != nullptr && schemeFits(record->entry.scheme, option, dictionary) &&
        isUnchanged(file, *source, record->entry)) {
      // The writer copies the block from source when it places it. The name
      // field is written as a fresh create writes it: nothing follows the name.
      ArchiveEntry entry = record->entry;
      qz7lib::archive::setEntryName(entry, name);
      return {entry, {}, true};
    }
  }
  return compressFile(file, option, dictionary);
}
