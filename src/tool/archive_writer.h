#pragma once

// Writes an archive file block by block into a staged file, which takes the
// archive's place once everything is written, so a failed write leaves an
// existing archive as it was. Blocks are placed as they come; the region for
// the headers, the index and the dictionary block is reserved at the front and
// filled in last.
//
// The collecting thread writes the blocks it compressed itself. A reused block
// is only placed there: pool tasks copy the reused blocks from the old archive,
// checking each against its hash, so that an update of many unchanged files
// does not read, hash and write their blocks one after another on one thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qz7lib/archive/format.h"
#include "qz7lib/utils/thread_pool.h"
#include "tool/source_archive.h"
#include "tool/staged_file.h"
#include "tool/stretch_writer.h"

class ArchiveWriter {
 public:
  enum class Failure {
    none,
    header,  // the file could not be created
    data,    // a later write, the flush or the replacement failed
  };

  // The file that an archive name stands for: the name itself, or where its
  // symbolic links lead (even to a file that does not exist yet), so that the
  // file they lead to is replaced and the links stay, as when the archive is
  // written in place.
  static std::filesystem::path targetOf(const std::string& archiveName);

  // An archive of fileCount entries, with a dictionary block when dictionary
  // is not null, whose reused blocks are copied on pool. Creates the staged
  // file; a failure is recorded, not thrown, and after any failure the writer
  // writes nothing more but still places blocks.
  ArchiveWriter(const std::string& archiveName, std::uint64_t fileCount,
                const std::vector<char>* dictionary, qz7lib::utils::ThreadPool& pool);
  // Waits for the copies that are still queued or running.
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // Places a block at the next 64-byte boundary, sets entry.startOffset and
  // writes the block's bytes there.
  void writeBlock(qz7lib::archive::ArchiveEntry& entry, std::span<const std::byte> bytes);
  // Places the block that entry describes in source the same way and has it
  // copied there; index names the block in finishCopies. Blocks placed one
  // after another are copied together, up to a bound, by a pool task or by
  // the caller in copyPending.
  void copyBlock(qz7lib::archive::ArchiveEntry& entry, const SourceArchive& source, std::size_t index);
  // Copies one run of placed blocks that no task has begun yet, for a caller
  // that would otherwise wait. False when there is none.
  bool copyPending();
  // Copies what no task has begun, then waits for every copy. Returns the
  // index of the first block, in placement order, that source no longer held
  // as its entry said: the run must then fail, since the bytes written are
  // not the block.
  std::optional<std::size_t> finishCopies();

  // Writes the front region with the given index, then makes the staged file
  // the archive. Call after finishCopies. Returns the first failure of the
  // whole write.
  Failure commit(const std::vector<qz7lib::archive::ArchiveEntry>& entries);
  // Removes the staged file now, for a process that ends without unwinding.
  void discard();

 private:
  // A reused block placed in the new archive.
  struct PlacedBlock {
    std::size_t index;            // as given to copyBlock
    std::uint64_t sourceOffset;   // where it starts in the source
    std::uint64_t size;           // its compressedSize
    std::uint64_t hash;           // its compressedHash
    std::uint64_t offset;         // where it goes
  };
  // Reused blocks placed one after another, with the padding before each.
  struct CopyRun {
    const SourceArchive* source = nullptr;
    std::uint64_t start = 0;  // where the padding of the first block begins
    std::uint64_t end = 0;    // where the last block ends
    std::vector<PlacedBlock> blocks;
  };

  // Places a block of size bytes after the padding it needs and returns its offset.
  std::uint64_t placeNextBlock(std::uint64_t size);
  // Queues the run with a pool task to copy it and starts an empty one.
  void submitRun();
  // Copies the run's blocks.
  void copy(const CopyRun& run);

  qz7lib::utils::ThreadPool& pool_;
  std::optional<StagedFile> file_;  // empty when it could not be created
  std::uint64_t fileCount_;
  const std::vector<char>* dictionary_;  // not owned; null without a dictionary block
  std::vector<std::byte> buffer_;        // the collecting thread's gathered bytes
  std::optional<StretchWriter> out_;     // the collecting thread's writes to the data region
  std::uint64_t position_;               // where the next block's padding begins
  Failure failure_ = Failure::none;

  CopyRun run_;                              // placed blocks not queued yet
  std::vector<std::future<void>> copies_;    // one task per queued run
  std::mutex fileLock_;                      // lets one write to file_ through at a time
  std::mutex copyMutex_;                     // guards the three fields below
  std::deque<CopyRun> queued_;               // runs that no one has begun to copy
  bool copyFailed_ = false;                  // a copy's write failed
  std::optional<std::size_t> firstChanged_;  // the first block found changed
};
