// The extract command: writes every entry of an archive below the current directory.

#include <args.hxx>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "qz7lib/utils/strings.h"
#include "tool/commands.h"
#include "tool/entry_checks.h"
#include "tool/entry_contents.h"
#include "tool/staged_file.h"
#include "tool/temporary_name.h"
#include "tool/zeroed_buffer.h"

namespace fs = std::filesystem;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveIndex;
using qz7lib::utils::caseInsensitiveHash;
using qz7lib::utils::equalsIgnoreCase;

namespace {

// Hashes and compares names as the tool does, without ASCII letter case.
struct IgnoringCase {
  std::size_t operator()(std::string_view name) const { return caseInsensitiveHash(name); }
  bool operator()(std::string_view a, std::string_view b) const { return equalsIgnoreCase(a, b); }
};

// The directory that an entry's file goes to, as the entry spells it ("." for
// a name without one).
std::string_view parentOf(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? std::string_view(".") : name.substr(0, slash);
}

// The directories that entries go to. Each path that leads to one is looked at
// once, before the first entry: a directory that stands is known by its
// identity, whatever path leads to it, and is cleared of what killed runs of
// this archive left there (temporary files of its entries that no live run
// holds) when the first of its entries is reached, before anything is written
// or skipped there; a file named as one of its entries, in any letter case,
// stays. A directory that is missing is created for the first entry extracted
// into it.
class OutputDirectories {
 public:
  // Keeps views of the index's names.
  explicit OutputDirectories(const ArchiveIndex& index) {
    for (const ArchiveEntry& entry : index.entries) {
      // A name that fails its checks fails when its entry is reached.
      try {
        checkEntryName(entry);
      } catch (const std::runtime_error&) {
        continue;
      }
      const std::string_view name = qz7lib::archive::entryName(entry);
      const std::string_view directory = parentOf(name);
      const auto [path, added] = paths_.try_emplace(directory);
      if (added) path->second = lookUp(directory);
      if (Directory* found = path->second.directory) {
        found->fileNames.push_back(name.substr(name.rfind('/') + 1));  // all of it without a '/'
      }
    }
  }

  // Clears the directory when its identity is reached first; throws when its
  // status could not be told.
  void visit(std::string_view directory) {
    const Path& path = paths_.at(directory);
    if (path.error) throw fs::filesystem_error("status", fs::path(directory), path.error);
    Directory* const found = path.directory;
    if (found == nullptr || found->cleared) return;
    found->cleared = true;
    // Looked up only for files of the temporary form, which most directories lack.
    std::unordered_set<std::string_view, IgnoringCase, IgnoringCase> fileNames;
    std::unordered_set<std::string_view> keptNames;
    removeStaleTemporaries(fs::path(directory), [&](std::string_view name) {
      if (fileNames.empty()) {
        for (const std::string_view fileName : found->fileNames) {
          fileNames.insert(fileName);
          keptNames.insert(keptName(fileName));
        }
      }
      return keptNames.contains(keptNameIn(name)) && !fileNames.contains(name);
    });
  }
  // Creates the directory, visited before, when it is missing.
  void create(std::string_view directory) {
    Path& path = paths_.at(directory);
    if (!path.stands) fs::create_directories(fs::path(directory));
    path.stands = true;
  }

 private:
  struct Directory {
    std::vector<std::string_view> fileNames;  // its entries' names
    bool cleared = false;
  };
  struct Path {
    Directory* directory = nullptr;  // where it led at the start, if anywhere
    bool stands = false;
    std::error_code error;  // why its status is unknown
  };

  // Where the path leads, following links; a missing path is no error, as
  // for the existence test.
  Path lookUp(std::string_view directory) {
    struct stat status {};
    if (::stat(std::string(directory).c_str(), &status) == 0) {
      return {&directories_[{status.st_dev, status.st_ino}], true, {}};
    }
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return {nullptr, false, std::error_code(errno, std::generic_category())};
  }

  std::unordered_map<std::string_view, Path> paths_;           // by the entries' spelling
  std::map<std::pair<dev_t, ino_t>, Directory> directories_;  // by device and inode
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
  directories.visit(parentOf(name));
  const std::optional<struct stat> existing = statusOf(destination);
  if (existsFollowingLinks(destination, existing) && !overwrite) {
    std::cout << name << " already exists, skipping (use -o to overwrite)\n";
    return;
  }

  // A size that cannot be allocated throws std::bad_alloc, which the caller
  // reports like any other failure of the entry.
  const ZeroedBuffer buffer = readEntryContents(archivePath, index, entry);

  directories.create(parentOf(name));
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
