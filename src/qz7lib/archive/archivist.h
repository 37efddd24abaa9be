#pragma once

// Archivist merges the indexes of several archive files into one name space.
// Each added archive contributes one record per index entry, keyed by the
// entry's name; an archive added later replaces records of the same name.
// Alias rules add further names that lead to a real file. A lookup tries the
// name exactly, then in normalized form (ASCII lower case, '/' separators, no
// doubled '/').
//
// File contents are read through an optional read cache that keeps whole
// uncompressed files in their records, bounded by a byte limit and by a
// first-in-first-out ring of records; prefetchAllWithSuffix fills it in the
// background.
//
// Threads: registry operations (addArchive, addArchivesFromDir, addAlias,
// clear, construction and destruction) take no lock and must not overlap any
// other operation on the same object, a running prefetch included. Lookups
// (hasFile, getFileInternal, getFileSize, getCacheSize) and the reading
// operations (getFile, getFileCached, freeCacheIfRequired, setCacheLimit) may
// run on several threads at once while no registry operation runs.
// Lock order: cacheLock_ may be held while a record's lock is taken, never the
// reverse.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "qz7lib/archive/format.h"
#include "qz7lib/archive/reader.h"
#include "qz7lib/log/spin_lock.h"

namespace qz7lib::archive {

// One real file of one added archive.
struct FileRecord {
  FileRecord(std::string archivePath, const ArchiveEntry& entry, std::uint64_t archiveIndex);
  // Copies describe the same file but never carry cached data.
  FileRecord(const FileRecord& other);
  // Takes this record's lock (never other's), copies path, entry and archive
  // position, and empties the cached data.
  FileRecord& operator=(const FileRecord& other);

  std::string archivePath;       // the archive path exactly as passed to addArchive
  ArchiveEntry entry;            // copy of the file's index entry
  std::uint64_t archiveIndex;    // position of the file's archive in the Archivist's archives
  SpinLock lock;                 // guards data
  std::vector<std::byte> data;   // cached uncompressed content; empty when not cached
};

// A name's value: a real file, or an alias holding the entry name of the real
// file it stands for.
using FileMapValue = std::variant<FileRecord, std::string>;

// Number of slots of the cache ring.
inline constexpr std::size_t kCacheQueueSlots = 100000;

// The ring of cached records, oldest first, newest at head.
struct CacheQueue {
  std::array<FileRecord*, kCacheQueueSlots> slots;  // queued records; only the count newest are valid
  std::uint32_t head = 0;                           // slot of the newest queued record
  std::atomic<std::int32_t> count{0};               // queued records, 0 to kCacheQueueSlots
};

class Archivist {
 public:
  Archivist();
  // Waits for prefetches that still run, then releases everything.
  ~Archivist();
  Archivist(const Archivist&) = delete;
  Archivist& operator=(const Archivist&) = delete;

  // The process-wide instance, created on first use. The first call must not
  // race another thread's first call. At exit it is destroyed before the Logger.
  static Archivist* instance();
  // Deletes the process-wide instance, if any; the next instance() builds a fresh one.
  static void destroyInstance();

  // Reads the archive's index and registers its files and their aliases. The
  // reader's exceptions pass through with nothing registered.
  void addArchive(const std::string& path);
  // Adds the ".kvz" regular files of the directory in ascending path order.
  // A failing scan is logged and what was collected is still added; a failing
  // archive is logged and its exception rethrown, later archives not added.
  void addArchivesFromDir(const std::string& path);
  // Appends the rule: in the names of archives added afterwards, the first
  // occurrence of source is replaced by alias to form an extra name, when
  // nothing but a file name follows the occurrence.
  void addAlias(std::string_view alias, std::string_view source);
  // Forgets every name, alias rule and cached file. Added archives stay, so
  // records of later archives continue their positions.
  void clear();

  // The record of name or of the file its alias stands for, exact first, then
  // normalized; null when absent.
  FileRecord* hasFile(std::string_view name);
  // Like hasFile, but an absent name is fatal: logged, then the fatal handler
  // runs; null when the handler returns.
  FileRecord* getFileInternal(std::string_view name);
  // The uncompressed size of the named file; 0 when it is absent and the fatal
  // handler returns.
  std::uint64_t getFileSize(std::string_view name);
  // Bytes held by the read cache.
  std::uint64_t getCacheSize() const;

  // Sets the cache limit in bytes; a value below 1 GiB turns the cache off.
  // Evicts at once when the cache is over the new limit.
  void setCacheLimit(std::uint64_t bytes);
  // Writes the file's uncompressed content to the front of out, through the
  // cache when it is on (then an empty out only fills the cache). The reader's
  // errors pass through; a file that failed to load stays uncached. record is
  // a non-null result of hasFile.
  void getFile(FileRecord* record, std::span<std::byte> out);
  // Same for a name. An absent name is fatal as in getFileInternal; when the
  // fatal handler returns, throws std::runtime_error naming the file.
  void getFile(std::string_view name, std::span<std::byte> out);
  // Loads the record into the cache unless it is there, then copies its
  // content to out unless out is empty. A non-empty out shorter than the file
  // throws InsufficientSpace before anything is read. Concurrent requests for
  // one record read it once. Empty files are never queued: there is nothing
  // to keep.
  void getFileCached(FileRecord* record, std::span<std::byte> out);
  // When the cache is over its limit or the ring is full, evicts the oldest
  // records until the cache is 256 MiB below the limit and 1000 slots are free.
  void freeCacheIfRequired();
  // Loads every real file whose entry name ends with suffix (byte for byte;
  // empty: every file) into the cache, on a thread of its own that runs a pool
  // of `threads` workers (0: one per hardware thread). wait false returns at
  // once; destroying the Archivist then waits until the prefetch has ended.
  void prefetchAllWithSuffix(std::string_view suffix, unsigned int threads, bool wait);

 private:
  // Names are looked up by std::string_view without building a std::string.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept {
      return std::hash<std::string_view>{}(name);
    }
  };
  using FileMap = std::unordered_map<std::string, FileMapValue, NameHash, std::equal_to<>>;

  // Registers one entry of archives_[position] and applies the alias rules to it.
  void registerEntry(const std::string& path, const ArchiveEntry& entry, std::uint64_t position);
  void applyAliasRules(const std::string& name);
  // The prefetch thread's work.
  void prefetch(const std::string& suffix, unsigned int threads);
  // Queues a record that this thread has just loaded as the newest in the ring.
  void enqueueLoaded(FileRecord* record);
  // Releases a queued record's data and takes its size off cacheSize_, never
  // below 0. The caller holds cacheLock_.
  void dropFromCache(FileRecord& record);

  friend struct ArchivistInspector;  // tests reach the cache fields

  std::vector<ArchiveIndex> archives_;                         // added archives, in order; never removed
  std::vector<std::pair<std::string, std::string>> aliases_;   // rules in order: (alias text, source text)
  FileMap files_;                                              // every entry name and alias name, once each
  SpinLock cacheLock_;                                         // guards cacheQueue_ and changes of cacheSize_
  std::unique_ptr<CacheQueue> cacheQueue_;                     // the cache ring, allocated with the object
  std::atomic<bool> fileLoaded_{false};                        // set by the first file read, never reset
  std::atomic<std::uint64_t> cacheLimit_{0};                   // cache limit in bytes; 0 = cache off
  std::atomic<std::uint64_t> cacheSize_{0};                    // bytes of the records in cacheQueue_

  std::mutex prefetchMutex_;                   // guards runningPrefetches_
  std::condition_variable prefetchEnded_;      // signalled when a prefetch thread is done with this object
  unsigned int runningPrefetches_ = 0;         // prefetch threads started and not yet done
};

}  // namespace qz7lib::archive
