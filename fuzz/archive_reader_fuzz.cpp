// Feeds arbitrary bytes to the archive reader as an archive file: opens it and
// reads every entry with and without the block hash check. Any library failure
// must be a std::runtime_error; anything else (a crash, a sanitizer report, an
// allocation failure escaping as std::bad_alloc) is a finding.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "qz7lib/archive/reader.h"

namespace {

using namespace qz7lib::archive;

// Entries claiming more than this are skipped, so that the fuzzer itself does
// not allocate without bound; the reader's own bounds are what is under test.
constexpr std::uint64_t kMaxEntryBytes = 1 << 20;
// Total uncompressed bytes read per input, to keep each run short.
constexpr std::uint64_t kMaxBytesPerInput = 32 << 20;

// Memory-backed when possible: rewriting a file on a disk file system for every
// input makes the run wait on the disk rather than fuzz.
std::filesystem::path scratchDirectory() {
  std::error_code ignored;
  if (std::filesystem::is_directory("/dev/shm", ignored)) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

// One archive file per process, rewritten for every input. A fixed path keeps
// the reader's per-thread stream map at one open stream.
class ScratchFile {
 public:
  ScratchFile()
      : path_((scratchDirectory() / ("qz7-reader-fuzz-" + std::to_string(getpid()) + ".kvz"))
                  .string()) {}
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& write(const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::logic_error("cannot write the fuzz input file");
    return path_;
  }

 private:
  std::string path_;
};

void readEveryEntry(const std::string& path, const ArchiveIndex& index) {
  std::uint64_t budget = kMaxBytesPerInput;
  for (const ArchiveEntry& entry : index.entries) {
    entryName(entry);  // names come straight from the file; this must stay inside the field
    if (entry.uncompressedSize > kMaxEntryBytes || entry.uncompressedSize > budget) continue;
    budget -= entry.uncompressedSize;
    auto out = std::make_unique_for_overwrite<std::byte[]>(entry.uncompressedSize);
    const std::span<std::byte> buffer(out.get(), entry.uncompressedSize);
    for (bool verify : {true, false}) {
      try {
        readFile(path, index, entry, buffer, verify);
      } catch (const std::runtime_error&) {
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile scratch;
  const std::string& path = scratch.write(data, size);
  try {
    const ArchiveIndex index = readArchiveIndex(path);
    readEveryEntry(path, index);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
