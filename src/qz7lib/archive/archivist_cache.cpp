// The Archivist's reading operations: the size-limited read cache and the
// background prefetch.

#include <fmt/format.h>

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "qz7lib/archive/archivist.h"
#include "qz7lib/archive/errors.h"
#include "qz7lib/log/logger.h"
#include "qz7lib/utils/strings.h"
#include "qz7lib/utils/thread_pool.h"

namespace qz7lib::archive {

namespace {

constexpr std::string_view kFreeCacheIfRequired = "qz7lib::archive::Archivist::freeCacheIfRequired";
constexpr std::string_view kPrefetch =
    "qz7lib::archive::Archivist::prefetchAllWithSuffix::<lambda_1>::operator ()";

// Source lines carried by the log records; fixed values, like those of the registry.
constexpr int kLineFreeingCache = 254;
constexpr int kLineCacheFreed = 271;
constexpr int kLinePrefetchStarted = 212;
constexpr int kLinePrefetchFinished = 231;

// Smaller limits turn the cache off.
constexpr std::uint64_t kMinCacheLimit = 1ull << 30;
// Eviction goes this far below the limit, so that it does not run on every request.
constexpr std::uint64_t kSizeHeadroom = 256ull << 20;
// Eviction of a full ring leaves at least this many slots free.
constexpr std::int32_t kFreeSlots = 1000;
constexpr auto kRingSlots = static_cast<std::int32_t>(kCacheQueueSlots);

double toMiB(std::uint64_t bytes) {
  return static_cast<double>(bytes) * (1.0 / 1024) * (1.0 / 1024);
}

}  // namespace

void Archivist::setCacheLimit(std::uint64_t bytes) {
  cacheLimit_.store(bytes >= kMinCacheLimit ? bytes : 0);
  freeCacheIfRequired();
}

void Archivist::getFile(FileRecord* record, std::span<std::byte> out) {
  fileLoaded_.store(true, std::memory_order_relaxed);
  if (cacheLimit_.load() != 0) {
    getFileCached(record, out);
  } else {
    readFile(record->archivePath, archives_[record->archiveIndex], record->entry, out, true);
  }
}

void Archivist::getFile(std::string_view name, std::span<std::byte> out) {
  FileRecord* record = getFileInternal(name);
  if (record == nullptr) {
    throw std::runtime_error(
        fmt::format("Tried getting file {}, but not available in any archive.", name));
  }
  getFile(record, out);
}

void Archivist::getFileCached(FileRecord* record, std::span<std::byte> out) {
  const std::uint64_t size = record->entry.uncompressedSize;
  if (!out.empty() && out.size() < size) throw InsufficientSpace();
  freeCacheIfRequired();
  // An empty file never counts as cached; queuing it on every request would
  // only push real files out of the ring.
  if (size == 0) return;

  bool loaded = false;
  {
    std::lock_guard guard(record->lock);
    if (record->data.empty()) {
      // The size comes from the index, which no hash covers: it is allocated
      // only once the stored block has been read and found able to yield it.
      const ArchiveIndex& index = archives_[record->archiveIndex];
      const StoredBlock block = readStoredBlock(record->archivePath, index, record->entry, true);
      record->data.resize(size);
      try {
        decodeStoredBlock(block, index, record->entry, record->data);
      } catch (...) {
        std::vector<std::byte>().swap(record->data);
        throw;
      }
      loaded = true;
    }
    if (!out.empty()) std::memcpy(out.data(), record->data.data(), size);
  }
  // Queued only after the record's lock is released: cacheLock_ is never taken
  // under a record's lock.
  if (loaded) enqueueLoaded(record);
}

void Archivist::enqueueLoaded(FileRecord* record) {
  std::lock_guard guard(cacheLock_);
  CacheQueue& queue = *cacheQueue_;
  queue.head = (queue.head + 1) % kCacheQueueSlots;
  const std::int32_t count = queue.count.load(std::memory_order_relaxed);
  if (count == kRingSlots) {
    // Other threads filled the ring after this load's eviction test. The new
    // record takes the oldest slot, and the oldest record is evicted so that no
    // data is kept (and counted) outside the ring.
    FileRecord* oldest = queue.slots[queue.head];
    if (oldest == record) {
      // Queued twice (its contents were replaced while queued): only the stale
      // slot's share of the size goes.
      const std::uint64_t current = cacheSize_.load();
      const std::uint64_t stale = record->entry.uncompressedSize;
      cacheSize_.store(current > stale ? current - stale : 0);
    } else {
      dropFromCache(*oldest);
    }
  } else {
    queue.count.store(count + 1, std::memory_order_relaxed);
  }
  cacheSize_.fetch_add(record->entry.uncompressedSize);
  queue.slots[queue.head] = record;
}

void Archivist::dropFromCache(FileRecord& record) {
  std::uint64_t size = 0;
  {
    std::lock_guard guard(record.lock);
    std::vector<std::byte>().swap(record.data);
    size = record.entry.uncompressedSize;
  }
  const std::uint64_t current = cacheSize_.load();
  cacheSize_.store(current > size ? current - size : 0);
}

void Archivist::freeCacheIfRequired() {
  CacheQueue& queue = *cacheQueue_;
  // The first test takes no lock, so that requests within the limit stay cheap.
  if (cacheSize_.load() <= cacheLimit_.load() &&
      queue.count.load(std::memory_order_relaxed) != kRingSlots) {
    return;
  }
  Logger::log(LogLevel::Info, kFreeCacheIfRequired, kLineFreeingCache,
              fmt::format("Freeing KVZ cache, current size {:.2f} MiB, target size {:.2f} MiB; "
                          "current entries {}\n",
                          toMiB(cacheSize_.load()), toMiB(cacheLimit_.load()),
                          queue.count.load(std::memory_order_relaxed)));

  std::lock_guard guard(cacheLock_);
  int removed = 0;
  for (std::int32_t count = queue.count.load(std::memory_order_relaxed); count > 0; --count) {
    const bool sizeMet = cacheSize_.load() + kSizeHeadroom <= cacheLimit_.load();
    const bool slotsMet = count + kFreeSlots <= kRingSlots;
    if (sizeMet && slotsMet) break;
    std::int32_t oldest = static_cast<std::int32_t>(queue.head) - count + 1;
    if (oldest < 0) oldest += kRingSlots;
    dropFromCache(*queue.slots[static_cast<std::size_t>(oldest)]);
    queue.count.store(count - 1, std::memory_order_relaxed);
    ++removed;
  }
  Logger::log(LogLevel::Info, kFreeCacheIfRequired, kLineCacheFreed,
              fmt::format("KVZ cache size now {:.2f} MiB, removed {} entries\n",
                          toMiB(cacheSize_.load()), removed));
}

void Archivist::prefetchAllWithSuffix(std::string_view suffix, unsigned int threads, bool wait) {
  {
    std::lock_guard guard(prefetchMutex_);
    ++runningPrefetches_;
  }
  std::thread prefetcher;
  try {
    prefetcher = std::thread([this, threads, suffix = std::string(suffix)] {
      prefetch(suffix, threads);
      // The last touch of this object: once the lock is released the
      // destructor may go ahead, so the notification happens under it.
      std::lock_guard guard(prefetchMutex_);
      --runningPrefetches_;
      prefetchEnded_.notify_all();
    });
  } catch (...) {
    std::lock_guard guard(prefetchMutex_);
    --runningPrefetches_;
    throw;
  }
  if (wait) {
    prefetcher.join();
  } else {
    prefetcher.detach();
  }
}

void Archivist::prefetch(const std::string& suffix, unsigned int threads) {
  Logger::log(LogLevel::Info, kPrefetch, kLinePrefetchStarted,
              fmt::format("Starting prefetching for all archive data with suffix \"{}\".", suffix));

  std::vector<FileMapValue*> values;
  values.reserve(files_.size());
  for (auto& [name, value] : files_) values.push_back(&value);
  std::atomic<std::uint64_t> prefetched{0};
  {
    utils::ThreadPool pool(threads);
    // A failing file ends the rest of its block; the wait does not rethrow, the
    // other blocks go on and the count leaves the block's remaining files out.
    pool.submit_loop(std::size_t{0}, values.size(), [&](std::size_t i) {
          // Aliases are skipped: a file reachable under several names loads once.
          auto* record = std::get_if<FileRecord>(values[i]);
          if (record == nullptr || !utils::endsWith(entryName(record->entry), suffix)) return;
          getFileCached(record, {});
          prefetched.fetch_add(1, std::memory_order_relaxed);
        })
        .wait();
  }

  Logger::log(LogLevel::Info, kPrefetch, kLinePrefetchFinished,
              fmt::format("Finished prefetching all archive data with suffix \"{}\": {} files.",
                          suffix, prefetched.load()));
}

}  // namespace qz7lib::archive
