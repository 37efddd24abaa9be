#pragma once

// Writes an archive file block by block into a staged file, which takes the
// archive's place once everything is written, so a failed write leaves an
// existing archive as it was. Blocks are written as they come; the region for
// the headers, the index and the dictionary block is reserved at the front and
// filled in last.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qz7lib/archive/format.h"
#include "tool/source_archive.h"
#include "tool/staged_file.h"

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
  // is not null. Creates the staged file; a failure is recorded, not thrown,
  // and after any failure the writer writes nothing more but still places
  // blocks.
  ArchiveWriter(const std::string& archiveName, std::uint64_t fileCount,
                const std::vector<char>* dictionary);
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // Places a block at the next 64-byte boundary, sets entry.startOffset and
  // writes the block's bytes there.
  void writeBlock(qz7lib::archive::ArchiveEntry& entry, std::span<const std::byte> bytes);
  // Places the block that entry describes in source the same way, copying it
  // in chunks. False when source no longer holds it as entry says: the run
  // must then fail, since the bytes written are not the block.
  bool copyBlock(qz7lib::archive::ArchiveEntry& entry, const SourceArchive& source);

  // Writes the front region with the given index, then makes the staged file
  // the archive. Returns the first failure of the whole write.
  Failure commit(const std::vector<qz7lib::archive::ArchiveEntry>& entries);
  // Removes the staged file now, for a process that ends without unwinding.
  void discard();

 private:
  // Writes bytes at the write position, through the buffer, and advances it.
  void write(std::span<const std::byte> bytes);
  // Writes out the buffered bytes.
  void flush();
  // Writes bytes at offset now, unless the write failed before; records a data failure.
  void writeAt(std::uint64_t offset, std::span<const std::byte> bytes);
  template <typename Record>
  void writeRecords(const Record* records, std::size_t count) {
    write(std::as_bytes(std::span(records, count)));
  }
  // Writes the zero padding up to the next block boundary and returns it.
  std::uint64_t placeNextBlock();

  std::optional<StagedFile> file_;  // empty when it could not be created
  std::uint64_t fileCount_;
  const std::vector<char>* dictionary_;  // not owned; null without a dictionary block
  std::uint64_t position_;               // where the next byte of the data region goes
  std::vector<std::byte> buffer_;        // bytes written but not yet in the file, up to position_
  Failure failure_ = Failure::none;
};
