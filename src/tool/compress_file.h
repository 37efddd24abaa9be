#pragma once

// Compression of one input file into its archive block, and the archive
// command's per-file task, which reuses the entry of an unchanged file when an
// archive is updated.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "qz7lib/archive/archivist.h"
#include "qz7lib/archive/compression.h"
#include "qz7lib/archive/format.h"
#include "tool/compression_option.h"
#include "tool/block_bytes.h"
#include "tool/source_archive.h"

// What one per-file task produces.
struct CompressionResult {
  // The file's index record. Its startOffset is assigned when the block is
  // placed: 0 for a fresh result, the old archive's offset for a reused one.
  qz7lib::archive::ArchiveEntry entry{};
  // The stored block, entry.compressedSize bytes; empty for a reused entry,
  // whose block is copied from the old archive when it is placed.
  BlockBytes block;
  // The entry and its block are the old archive's.
  bool reused = false;
};

// The scheme a file is compressed with first: zStdDict with a dictionary, lz4
// for automatic, otherwise the option's row of optionToScheme.
qz7lib::archive::CompressionScheme schemeForOption(
    CompressionOption option, const qz7lib::archive::CompressionDictionary* dictionary);

// Compresses one file afresh. Under automatic the file is stored uncompressed
// when lz4 does not get it below 95% of its size. Holds at most the file's
// content and the compressor's worst-case output at once; a block stored
// uncompressed is the content itself. Throws what file_size, readFileContents
// and compress throw.
CompressionResult compressFile(const std::filesystem::path& path, CompressionOption option,
                               const qz7lib::archive::CompressionDictionary* dictionary);

// The task for files[index]. Reuses the old entry that archivist holds for the
// file when the file's content hash and size are the entry's, the entry's
// scheme is the one the option asks for (automatic also accepts none), and its
// block in source is whole and sound and agrees with that scheme as a reader
// judges it; an lz4 block that could pass for a stored block or a zstd frame
// of the file is decoded to be sure. Otherwise compresses the file. Both reads
// are in chunks. The reused entry's name field holds the name alone, as in a
// fresh create. source is null when there is no old archive. Exceptions pass
// to the caller, which reports them.
CompressionResult compressFileTask(qz7lib::archive::Archivist& archivist, const SourceArchive* source,
                                   const std::vector<std::string>& files,
                                   const qz7lib::archive::CompressionDictionary* dictionary,
                                   CompressionOption option, std::size_t index);
