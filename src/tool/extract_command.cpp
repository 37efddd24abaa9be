// The extract command: writes every entry of an archive below the current directory.

#include <args.hxx>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "tool/commands.h"
#include "tool/entry_checks.h"
#include "tool/entry_contents.h"
#include "tool/staged_file.h"
#include "tool/temporary_name.h"
#include "tool/zeroed_buffer.h"

namespace fs = std::filesystem;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveIndex;

namespace {

// The directories that entries go to, each looked at once per run: when it
// stands already, it is cleared of the temporary files of runs that were
// killed, whether its entries are extracted or skipped; when it is missing, it
// is created for the first entry extracted into it. A file that the archive
// holds under a temporary file's name is the user's, never cleared.
class OutputDirectories {
 public:
  explicit OutputDirectories(const ArchiveIndex& index) {
    for (const ArchiveEntry& entry : index.entries) {
      const std::string_view name = qz7lib::archive::entryName(entry);
      if (isTemporaryFileName(name)) entryFiles_.insert(fs::path(name).lexically_normal().native());
    }
  }

  void visit(const fs::path& directory) {
    const auto [known, added] = exists_.try_emplace(directory.native(), true);
    if (!added) return;
    if (directory.empty() || fs::exists(directory)) {
      removeStaleTemporaries(directory.empty() ? "." : directory, [&](std::string_view name) {
        return !entryFiles_.contains((directory / name).lexically_normal().native());
      });
    } else {
      known->second = false;
    }
  }
  // Creates the directory, visited before, when it is missing.
  void create(const fs::path& directory) {
    bool& exists = exists_.at(directory.native());
    if (!exists) fs::create_directories(directory);
    exists = true;
  }

 private:
  std::unordered_map<std::string, bool> exists_;  // visited directories: whether each stands
  std::unordered_set<std::string> entryFiles_;    // entries named as temporary files, normalised
};

// What stands at path, without following a final symbolic link; nullopt when nothing does.
std::optional<struct stat> statusOf(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) return status;
  // Reported as the existence test would report it.
  if (errno != ENOENT) static_cast<void>(fs::exists(path));
  return std::nullopt;
}

// Whether something exists under the name, following a symbolic link as the
// existence test does.
bool existsFollowingLinks(const fs::path& path, const std::optional<struct stat>& status) {
  return status && (!S_ISLNK(status->st_mode) || fs::exists(path));
}

// Extracts one entry, or skips it when its file exists and overwrite is not set.
// Everything that can fail for the entry fails before anything is created for it,
// except directory creation and the write itself; the file appears under its
// name only once it is written in full.
void extractEntry(const std::string& archivePath, const ArchiveIndex& index,
                  const ArchiveEntry& entry, bool overwrite, bool verbose,
                  OutputDirectories& directories) {
  checkEntryName(entry);
  const std::string_view name = qz7lib::archive::entryName(entry);
  const fs::path destination(name);
  directories.visit(destination.parent_path());
  const std::optional<struct stat> existing = statusOf(destination);
  if (existsFollowingLinks(destination, existing) && !overwrite) {
    std::cout << name << " already exists, skipping (use -o to overwrite)\n";
    return;
  }

  // A size that cannot be allocated throws std::bad_alloc, which the caller
  // reports like any other failure of the entry.
  const ZeroedBuffer buffer = readEntryContents(archivePath, index, entry);

  directories.create(destination.parent_path());
  StagedFile out(std::string(name), existing ? &*existing : nullptr, false);
  out.writeAt(0, buffer.span());
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

  OutputDirectories directories(index);
  for (const ArchiveEntry& entry : index.entries) {
    try {
      extractEntry(archivePath, index, entry, overwrite, verbose, directories);
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
