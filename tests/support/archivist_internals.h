#pragma once

// Test access to the Archivist's cache fields, which only the cache operations change.

#include <cstddef>
#include <cstdint>

#include "qz7lib/archive/archivist.h"

namespace qz7lib::archive {

struct ArchivistInspector {
  static void markFileLoaded(Archivist& a) { a.fileLoaded_ = true; }
  static bool fileLoaded(const Archivist& a) { return a.fileLoaded_; }
  static CacheQueue& queue(Archivist& a) { return *a.cacheQueue_; }
  static void setCacheSize(Archivist& a, std::uint64_t bytes) { a.cacheSize_ = bytes; }
  static std::uint64_t cacheLimit(const Archivist& a) { return a.cacheLimit_; }
  static std::size_t archiveCount(const Archivist& a) { return a.archives_.size(); }
  // Queues a record whose data the test has filled, as a load would.
  static void enqueueLoaded(Archivist& a, FileRecord* record) { a.enqueueLoaded(record); }
};

}  // namespace qz7lib::archive
