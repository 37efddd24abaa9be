// The extract command: writes every entry of an archive below the current directory.

#include <args.hxx>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tool/commands.h"
#include "tool/entry_checks.h"
#include "tool/entry_contents.h"
#include "tool/staged_file.h"
#include "tool/zeroed_buffer.h"

namespace fs = std::filesystem;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveIndex;

namespace {

// Extracts one entry, or skips it when its file exists and overwrite is not set.
// Everything that can fail for the entry fails before anything is created for it,
// except directory creation and the write itself; the file appears under its
// name only once it is written in full.
void extractEntry(const std::string& archivePath, const ArchiveIndex& index,
                  const ArchiveEntry& entry, bool overwrite, bool verbose) {
  checkEntryName(entry);
  const std::string_view name = qz7lib::archive::entryName(entry);
  const fs::path destination(name);
  if (fs::exists(destination) && !overwrite) {
    std::cout << name << " already exists, skipping (use -o to overwrite)\n";
    return;
  }

  // A size that cannot be allocated throws std::bad_alloc, which the caller
  // reports like any other failure of the entry.
  const ZeroedBuffer buffer = readEntryContents(archivePath, index, entry);

  const fs::path parent = destination.parent_path();
  if (!parent.empty() && !fs::exists(parent)) fs::create_directories(parent);

  StagedFile out{std::string(name)};
  out.write(buffer.span());
  out.commit();

  if (verbose) std::cout << "Extracted file to " << name << "\n";
}

[[noreturn]] void exitExtracting(std::string_view name, std::string_view reason) {
  std::cerr << "Error extracting " << name << " : " << reason << "\n";
  std::exit(-1);
}

}  // namespace

void extractCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::Flag overwrite(parser, "overwrite", "Overwrite existing files", {'o', "overwrite"});
  args::Flag verbose(parser, "verbose", "Show verbose extraction information",
                     {'v', "verbose"});
  parser.Parse();
  extractArchive(args::get(archiveFn), overwrite, verbose);
}

void extractArchive(std::string archivePath, bool overwrite, bool verbose) {
  if (verbose) std::cout << "Extracting " << archivePath << " to " << fs::current_path() << "\n";
  const ArchiveIndex index = openArchiveOrExit(archivePath);

  for (const ArchiveEntry& entry : index.entries) {
    try {
      extractEntry(archivePath, index, entry, overwrite, verbose);
    } catch (const std::runtime_error& e) {
      exitExtracting(qz7lib::archive::entryName(entry), e.what());
    } catch (const std::bad_alloc& e) {
      exitExtracting(qz7lib::archive::entryName(entry),
                     std::string("not enough memory for ") +
                         std::to_string(entry.uncompressedSize) + " bytes (" + e.what() + ")");
    }
  }

  std::cout << "Archive " << archivePath << " extracted to " << fs::current_path() << ".\n";
}
