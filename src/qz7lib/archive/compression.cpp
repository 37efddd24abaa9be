#include "qz7lib/archive/compression.h"

#include <lz4.h>
#include <lz4hc.h>
#include <zstd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>

#include "qz7lib/archive/errors.h"
#include "qz7lib/utils/read_file.h"

namespace qz7lib::archive {

namespace {

// LZ4 takes sizes as int; inputs beyond this cannot be handed to it.
constexpr std::size_t kLz4MaxInput = std::numeric_limits<int>::max();
constexpr int kLz4Level = 12;
// The most output one stored byte can give: an LZ4 length byte adds up to 255
// bytes; a zstd block of up to 128 KiB takes at least 4 stored bytes (an RLE block).
constexpr std::uint64_t kLz4MaxExpansion = 255;
constexpr std::uint64_t kZstdMaxExpansion = 32768;

// True when size is at most stored * expansion, without overflowing.
bool withinExpansion(std::uint64_t size, std::uint64_t stored, std::uint64_t expansion) {
  return stored >= std::numeric_limits<std::uint64_t>::max() / expansion ||
         size <= stored * expansion;
}

std::atomic<std::uint64_t> contextsCreated{0};

template <typename Context>
using ContextHolder = std::unique_ptr<Context, std::function<void(Context*)>>;

// The calling thread's zstd contexts, created on first use and freed at thread end.
ZSTD_CCtx* threadCompressionContext() {
  thread_local ContextHolder<ZSTD_CCtx> holder(nullptr, [](ZSTD_CCtx* c) { ZSTD_freeCCtx(c); });
  if (!holder) {
    holder.reset(ZSTD_createCCtx());
    contextsCreated.fetch_add(1, std::memory_order_relaxed);
  }
  return holder.get();
}

ZSTD_DCtx* threadDecompressionContext() {
  thread_local ContextHolder<ZSTD_DCtx> holder(nullptr, [](ZSTD_DCtx* c) { ZSTD_freeDCtx(c); });
  if (!holder) {
    holder.reset(ZSTD_createDCtx());
    contextsCreated.fetch_add(1, std::memory_order_relaxed);
  }
  return holder.get();
}

std::unique_ptr<std::vector<std::byte>> zstdCompress(std::span<const std::byte> src,
                                                     const CompressionDictionary* dictionary) {
  ZSTD_CCtx* context = threadCompressionContext();
  const std::size_t bound = ZSTD_compressBound(src.size());
  auto output = std::make_unique<std::vector<std::byte>>(bound);
  const std::size_t r =
      dictionary != nullptr
          ? ZSTD_compress_usingCDict(context, output->data(), bound, src.data(), src.size(),
                                     dictionary->get())
          : ZSTD_compressCCtx(context, output->data(), bound, src.data(), src.size(),
                              ZSTD_maxCLevel());
  if (ZSTD_isError(r)) throw CompressionFailed();
  output->resize(r);  // shrinks in place; the capacity stays at the bound
  return output;
}

std::size_t zstdDecompress(std::span<const std::byte> src, std::span<std::byte> dst,
                           const DecompressionDictionary* dictionary) {
  ZSTD_DCtx* context = threadDecompressionContext();
  const std::size_t r =
      dictionary != nullptr
          ? ZSTD_decompress_usingDDict(context, dst.data(), dst.size(), src.data(), src.size(),
                                       dictionary->get())
          : ZSTD_decompressDCtx(context, dst.data(), dst.size(), src.data(), src.size());
  if (ZSTD_isError(r)) throw DecompressionFailed();
  return r;
}

std::unique_ptr<std::vector<std::byte>> lz4Compress(std::span<const std::byte> src) {
  if (src.size() > kLz4MaxInput) throw FileTooLarge();
  const int bound = LZ4_compressBound(static_cast<int>(src.size()));
  if (bound <= 0) throw FileTooLarge();
  auto output = std::make_unique<std::vector<std::byte>>(static_cast<std::size_t>(bound));
  const int n = LZ4_compress_HC(reinterpret_cast<const char*>(src.data()),
                                reinterpret_cast<char*>(output->data()),
                                static_cast<int>(src.size()), bound, kLz4Level);
  if (n <= 0) throw CompressionFailed();
  output->resize(static_cast<std::size_t>(n));
  return output;
}

}  // namespace

bool canDecodeTo(std::span<const std::byte> start, std::uint64_t storedSize, std::uint64_t size,
                 CompressionScheme scheme) {
  switch (scheme) {
    case CompressionScheme::none:
      return size == storedSize;
    case CompressionScheme::lz4:
      return size <= kLz4MaxInput && withinExpansion(size, storedSize, kLz4MaxExpansion);
    case CompressionScheme::zStd:
    case CompressionScheme::zStdDict: {
      // A frame that does not declare its size, or no frame at all, is damage.
      const std::uint64_t declared = ZSTD_getFrameContentSize(start.data(), start.size());
      return declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != ZSTD_CONTENTSIZE_ERROR &&
             declared == size && withinExpansion(size, storedSize, kZstdMaxExpansion);
    }
  }
  throw UnknownCompressionScheme();
}

const char* compressionSchemeName(CompressionScheme scheme) {
  switch (scheme) {
    case CompressionScheme::none: return "none";
    case CompressionScheme::lz4: return "lz4";
    case CompressionScheme::zStd: return "zStd";
    case CompressionScheme::zStdDict: return "zStdDict";
  }
  return "unknown";
}

CompressionDictionary::CompressionDictionary(const std::string& path) {
  auto bytes = utils::readFileContents(path);
  handle_ = ZSTD_createCDict(bytes->data(), bytes->size(), ZSTD_maxCLevel());
}

CompressionDictionary::~CompressionDictionary() { ZSTD_freeCDict(handle_); }

DecompressionDictionary::DecompressionDictionary(const std::vector<char>& bytes)
    : handle_(nullptr), bytes_(bytes) {
  // Digested only once the copy exists, so that a failing copy leaks no handle.
  handle_ = ZSTD_createDDict(bytes_.data(), bytes_.size());
  if (handle_ == nullptr) throw std::runtime_error("Could not load decompression dictionary");
}

DecompressionDictionary::~DecompressionDictionary() { ZSTD_freeDDict(handle_); }

std::unique_ptr<std::vector<std::byte>> compress(std::span<const std::byte> src,
                                                 CompressionScheme scheme,
                                                 const CompressionDictionary* dictionary) {
  if (dictionary != nullptr && scheme != CompressionScheme::zStdDict) {
    throw IncompatibleCompressionScheme();
  }
  if (src.empty()) return std::make_unique<std::vector<std::byte>>();
  switch (scheme) {
    case CompressionScheme::none:
      return std::make_unique<std::vector<std::byte>>(src.begin(), src.end());
    case CompressionScheme::lz4:
      return lz4Compress(src);
    case CompressionScheme::zStd:
    case CompressionScheme::zStdDict:
      return zstdCompress(src, dictionary);
  }
  throw UnknownCompressionScheme();
}

std::size_t decompress(std::span<const std::byte> src, std::span<std::byte> dst,
                       CompressionScheme scheme, const DecompressionDictionary* dictionary) {
  if (dictionary != nullptr && scheme != CompressionScheme::zStdDict) {
    throw IncompatibleCompressionScheme();
  }
  switch (scheme) {
    case CompressionScheme::none:
      if (src.size() > dst.size()) throw DecompressionFailed();
      if (!src.empty()) std::memcpy(dst.data(), src.data(), src.size());
      return src.size();
    case CompressionScheme::lz4: {
      // LZ4 takes int sizes: never hand it more capacity than dst really has,
      // and refuse sources it cannot address.
      if (src.size() > kLz4MaxInput) throw DecompressionFailed();
      const int capacity = static_cast<int>(std::min(dst.size(), kLz4MaxInput));
      const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(src.data()),
                                        reinterpret_cast<char*>(dst.data()),
                                        static_cast<int>(src.size()), capacity);
      if (n <= 0) throw DecompressionFailed();
      return static_cast<std::size_t>(n);
    }
    case CompressionScheme::zStd:
    case CompressionScheme::zStdDict:
      return zstdDecompress(src, dst, dictionary);
  }
  throw UnknownCompressionScheme();
}

void checkDecodedSize(std::span<const std::byte> src, std::uint64_t size, CompressionScheme scheme) {
  if (!canDecodeTo(src, src.size(), size, scheme)) throw DecompressionFailed();
}

namespace detail {
std::uint64_t zstdContextsCreated() { return contextsCreated.load(std::memory_order_relaxed); }
}  // namespace detail

}  // namespace qz7lib::archive
