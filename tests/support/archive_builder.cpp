#include "support/archive_builder.h"

#include <lz4.h>
#include <xxhash.h>
#include <zdict.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace qz7test {

using namespace qz7lib::archive;

namespace {

std::string compressForTest(const std::string& content, CompressionScheme scheme,
                            const std::string& dictionary) {
  if (content.empty()) return {};
  switch (scheme) {
    case CompressionScheme::lz4: {
      std::string out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(content.size()))), '\0');
      int n = LZ4_compress_default(content.data(), out.data(), static_cast<int>(content.size()),
                                   static_cast<int>(out.size()));
      if (n <= 0) throw std::runtime_error("test lz4 compression failed");
      out.resize(static_cast<std::size_t>(n));
      return out;
    }
    case CompressionScheme::zStd:
    case CompressionScheme::zStdDict: {
      std::string out(ZSTD_compressBound(content.size()), '\0');
      std::size_t n;
      if (scheme == CompressionScheme::zStdDict && !dictionary.empty()) {
        ZSTD_CCtx* ctx = ZSTD_createCCtx();
        n = ZSTD_compress_usingDict(ctx, out.data(), out.size(), content.data(), content.size(),
                                    dictionary.data(), dictionary.size(), 3);
        ZSTD_freeCCtx(ctx);
      } else {
        n = ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3);
      }
      if (ZSTD_isError(n)) throw std::runtime_error("test zstd compression failed");
      out.resize(n);
      return out;
    }
    default:
      return content;  // none, and unknown codes stored raw
  }
}

template <typename T>
void append(std::string& bytes, const T& record, std::size_t size = sizeof(T)) {
  bytes.append(reinterpret_cast<const char*>(&record), size);
}

}  // namespace

BuiltArchive buildArchive(const std::vector<TestEntry>& entries, const ArchiveOptions& options) {
  const bool legacy = options.version < kArchiveVersion;
  const bool hasDictionary = !options.dictionary.empty() || options.forceDictionaryFlag;
  const std::size_t recordSize =
      legacy ? kLegacyEntrySize : options.entrySize.value_or(static_cast<std::uint32_t>(kEntrySize));

  BuiltArchive built;
  std::vector<std::string> blocks;
  for (const TestEntry& e : entries) {
    ArchiveEntry entry{};
    setEntryName(entry, e.name);
    blocks.push_back(compressForTest(e.content, e.scheme, options.dictionary));
    entry.scheme = e.scheme;
    entry.compressedSize = blocks.back().size();
    entry.uncompressedSize = e.content.size();
    entry.compressedHash = XXH64(blocks.back().data(), blocks.back().size(), 0);
    entry.fileHash = legacy ? 0 : XXH64(e.content.data(), e.content.size(), 0);
    built.entries.push_back(entry);
  }

  built.indexOffset = kHeaderSize + (legacy ? 0 : kExtendedHeaderSize);
  std::uint64_t position = built.indexOffset + recordSize * entries.size();
  if (hasDictionary) position += kDictionaryHeaderSize + options.dictionary.size();
  built.dataOffset = position;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    position = alignBlockOffset(position);
    built.entries[i].startOffset = position;
    position += blocks[i].size();
  }

  std::string& bytes = built.bytes;
  append(bytes, ArchiveHeader(hasDictionary ? kFlagHasDictionary : 0, entries.size(), options.version));
  if (!legacy) {
    append(bytes, ExtendedHeader(kExtendedHeaderSize, static_cast<std::uint32_t>(recordSize)));
  }
  for (const ArchiveEntry& entry : built.entries) {
    append(bytes, entry, std::min(recordSize, kEntrySize));
    if (recordSize > kEntrySize) bytes.append(recordSize - kEntrySize, '\xEE');
  }
  if (hasDictionary) {
    append(bytes, DictionaryHeader(options.dictionary.size()));
    bytes += options.dictionary;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    bytes.resize(built.entries[i].startOffset, '\0');
    bytes += blocks[i];
  }
  return built;
}

BuiltArchive writeArchive(const std::string& path, const std::vector<TestEntry>& entries,
                          const ArchiveOptions& options) {
  BuiltArchive built = buildArchive(entries, options);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(built.bytes.data(), static_cast<std::streamsize>(built.bytes.size()));
  if (!out) throw std::runtime_error("cannot write test archive " + path);
  return built;
}

std::string layoutArchive(const ArchiveHeader& header, const std::vector<ArchiveEntry>& entries) {
  std::string bytes;
  append(bytes, header);
  append(bytes, ExtendedHeader(kExtendedHeaderSize, kEntrySize));
  for (const ArchiveEntry& entry : entries) append(bytes, entry);
  return bytes;
}

void rehashHeader(std::string& bytes) {
  ArchiveHeader header;
  std::memcpy(&header, bytes.data(), sizeof header);
  header.hash = header.computeHash();
  std::memcpy(bytes.data(), &header, sizeof header);
}

std::string sampleDictionary() {
  static const std::string dictionary = [] {
    std::string samples;
    std::vector<std::size_t> sizes;
    for (int i = 0; i < 400; ++i) {
      std::string s = "{\"id\": " + std::to_string(i * 7919 % 1000) +
                      ", \"kind\": \"texture\", \"path\": \"textures/hd/stone_" + std::to_string(i) +
                      ".png\", \"flags\": [\"mipmap\", \"srgb\"], \"size\": " +
                      std::to_string(i * 131 % 4096) + "}\n";
      samples += s;
      sizes.push_back(s.size());
    }
    std::string dict(4096, '\0');
    std::size_t n = ZDICT_trainFromBuffer(dict.data(), dict.size(), samples.data(), sizes.data(),
                                          static_cast<unsigned>(sizes.size()));
    if (ZDICT_isError(n)) throw std::runtime_error("dictionary training failed");
    dict.resize(n);
    return dict;
  }();
  return dictionary;
}

}  // namespace qz7test
