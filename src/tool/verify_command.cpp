// The verify command: reads and checks every entry of an archive.

#include <args.hxx>
#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tool/commands.h"
#include "tool/entry_contents.h"
#include "tool/zeroed_buffer.h"

namespace fs = std::filesystem;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveIndex;

namespace {

// Compares the entry's bytes with the file of the same relative path.
void compareWithDisk(const ArchiveEntry& entry, std::span<const std::byte> contents) {
  // The name is taken as it stands, relative to the current directory; only a
  // damaged field without its NUL is refused, so nothing past it is read.
  if (!qz7lib::archive::hasTerminatedName(entry)) {
    throw std::runtime_error("entry name is not terminated within its 256 bytes");
  }
  const fs::path path(qz7lib::archive::entryName(entry));
  const std::uintmax_t size = fs::file_size(path);
  if (size != entry.uncompressedSize) {
    throw std::runtime_error("File size in archive differs from file in filesystem");
  }

  ZeroedBuffer disk(size);
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw std::runtime_error(fmt::format("Error opening file {}", path.string()));
  in.read(reinterpret_cast<char*>(disk.span().data()), static_cast<std::streamsize>(size));
  // A file that could not be read in full is a read failure, not a difference.
  if (static_cast<std::uintmax_t>(in.gcount()) != size) {
    throw std::runtime_error(fmt::format("Error reading file {}", path.string()));
  }

  if (!std::ranges::equal(disk.span(), contents)) {
    throw std::runtime_error("File contents in archive differ from file in filesystem");
  }
}

// Reads one entry with its stored block's hash checked, and optionally compares
// it with the file on disk. Throws on the first problem.
void verifyEntry(const std::string& archivePath, const ArchiveIndex& index,
                 const ArchiveEntry& entry, bool compare) {
  const ZeroedBuffer buffer = readEntryContents(archivePath, index, entry);
  if (compare) compareWithDisk(entry, buffer.span());
}

void reportBadEntry(const ArchiveEntry& entry, std::string_view reason) {
  std::cerr << "Error verifying " << qz7lib::archive::entryName(entry) << " : " << reason << "\n";
}

}  // namespace

void verifyCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::Flag compare(
      parser, "compare",
      "Additionally compare extracted with files in the filesystem at same paths (slow)",
      {'c', "compare"});
  parser.Parse();
  verifyArchive(args::get(archiveFn), compare);
}

void verifyArchive(std::string archivePath, bool compare) {
  const ArchiveIndex index = openArchiveOrExit(archivePath);

  // A bad entry is reported and ends the check; the command itself still succeeds.
  for (const ArchiveEntry& entry : index.entries) {
    try {
      verifyEntry(archivePath, index, entry, compare);
    } catch (const std::runtime_error& e) {
      reportBadEntry(entry, e.what());
      return;
    } catch (const std::bad_alloc&) {
      reportBadEntry(entry, fmt::format("not enough memory for {} bytes", entry.uncompressedSize));
      return;
    }
  }

  std::cout << "Archive " << archivePath << " verified successfully.\n";
}
