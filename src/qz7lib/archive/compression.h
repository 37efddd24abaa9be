#pragma once

// Compression of whole buffers under the four storage schemes, and the zstd
// dictionaries they use. zstd contexts are kept per thread, created on a
// thread's first zstd call and freed when the thread ends.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qz7lib/archive/compression_scheme.h"

typedef struct ZSTD_CDict_s ZSTD_CDict;
typedef struct ZSTD_DDict_s ZSTD_DDict;

namespace qz7lib::archive {

// A digested zstd compression dictionary at level 22, shared read-only by all
// compression threads.
class CompressionDictionary {
 public:
  // Reads the dictionary file; its "Error opening/reading file" passes through.
  // Bytes that zstd cannot digest leave get() null, and compressing with it fails.
  explicit CompressionDictionary(const std::string& path);
  ~CompressionDictionary();
  CompressionDictionary(const CompressionDictionary&) = delete;
  CompressionDictionary& operator=(const CompressionDictionary&) = delete;

  ZSTD_CDict* get() const { return handle_; }

 private:
  ZSTD_CDict* handle_;  // owned; null when zstd could not digest the bytes
};

// A digested zstd decompression dictionary, read from an archive's dictionary block.
class DecompressionDictionary {
 public:
  // Throws std::runtime_error "Could not load decompression dictionary".
  explicit DecompressionDictionary(const std::vector<char>& bytes);
  ~DecompressionDictionary();
  DecompressionDictionary(const DecompressionDictionary&) = delete;
  DecompressionDictionary& operator=(const DecompressionDictionary&) = delete;

  ZSTD_DDict* get() const { return handle_; }
  // Length of the raw dictionary in bytes.
  std::uint64_t size() const { return bytes_.size(); }

  // Equal when both raw dictionaries hold the same bytes.
  bool operator==(const DecompressionDictionary& other) const { return bytes_ == other.bytes_; }
  bool operator!=(const DecompressionDictionary& other) const { return !(*this == other); }

 private:
  ZSTD_DDict* handle_;       // owned, never null
  std::vector<char> bytes_;  // the raw dictionary, kept for the equality test
};

// The stored block for src under scheme. Never null; empty for an empty src.
// Throws IncompatibleCompressionScheme (a dictionary with a scheme other than
// zStdDict), FileTooLarge, CompressionFailed, UnknownCompressionScheme.
std::unique_ptr<std::vector<std::byte>> compress(std::span<const std::byte> src,
                                                 CompressionScheme scheme,
                                                 const CompressionDictionary* dictionary);

// Decodes the stored block src into the front of dst and returns the number of
// bytes written. Throws IncompatibleCompressionScheme, DecompressionFailed,
// UnknownCompressionScheme.
std::size_t decompress(std::span<const std::byte> src, std::span<std::byte> dst,
                       CompressionScheme scheme, const DecompressionDictionary* dictionary);

// Whether a stored block of storedSize bytes that begins with start can decode
// to exactly size bytes under scheme, judged without decoding it, so that a
// damaged or hostile index never sizes a buffer: a block stored as is holds
// exactly its bytes; an LZ4 block yields at most 255 bytes per stored byte and
// at most INT_MAX; a zstd frame declares its content size, and it yields at
// most 32768 bytes per stored byte. start is the block or a prefix of it that
// holds a zstd frame's header (ZSTD_FRAMEHEADERSIZE_MAX bytes), so that a block
// read in chunks is judged by its first. Throws UnknownCompressionScheme for an
// unknown scheme.
bool canDecodeTo(std::span<const std::byte> start, std::uint64_t storedSize, std::uint64_t size,
                 CompressionScheme scheme);

// Throws DecompressionFailed unless the stored block src can decode to exactly
// size bytes under scheme, as canDecodeTo judges it. Throws
// UnknownCompressionScheme for an unknown scheme.
void checkDecodedSize(std::span<const std::byte> src, std::uint64_t size, CompressionScheme scheme);

namespace detail {
// Number of zstd contexts (compression and decompression) created so far in the
// process; lets tests check that each thread creates its contexts only once.
std::uint64_t zstdContextsCreated();
}  // namespace detail

}  // namespace qz7lib::archive
