// The archive command's action: update decision, compression tasks and writing.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "qz7lib/archive/archivist.h"
#include "qz7lib/archive/compression.h"
#include "qz7lib/archive/reader.h"
#include "qz7lib/utils/read_file.h"
#include "qz7lib/utils/thread_pool.h"
#include "tool/archive_writer.h"
#include "tool/commands.h"
#include "tool/compress_file.h"
#include "tool/compression_window.h"
#include "tool/input_collection.h"
#include "tool/temporary_name.h"
#include "tool/source_archive.h"

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::CompressionDictionary;
using qz7lib::archive::DecompressionDictionary;

namespace {

void warnRecreating(const std::string& archiveName, const char* reason) {
  std::cerr << "WARNING: the archive " << archiveName << reason
            << "\nRe-creating instead of updating.\n";
}

// The old archive of an update.
struct UpdateSource {
  SourceArchive file;       // opened before its index was read
  std::uint64_t fileCount;  // the entries of its index
};

// Decides between updating an existing archive and creating a new one. In
// update mode the archivist holds the old archive's entries, read from the file
// returned; in create mode it stays empty.
std::optional<UpdateSource> decideUpdate(const std::string& archiveName,
                                         const std::string& dictionaryPath,
                                         const std::vector<char>* dictionaryBytes,
                                         qz7lib::archive::Archivist& archivist) {
  if (!std::filesystem::exists(archiveName)) return std::nullopt;
  SourceArchive file(archiveName);
  // Not guarded: a file that is no archive ends the command before anything is written.
  const qz7lib::archive::ArchiveIndex old = qz7lib::archive::readArchiveIndex(archiveName);
  if (old.header.version < qz7lib::archive::kArchiveVersion) {
    warnRecreating(archiveName, " has an unsupported version.");
    return std::nullopt;
  }
  if (old.dictionary) {
    if (dictionaryBytes == nullptr) {
      warnRecreating(archiveName, " has a dictionary, but none was provided.");
      return std::nullopt;
    }
    if (old.dictionary->size() != dictionaryBytes->size()) {
      warnRecreating(archiveName, " has a dictionary of a different size.");
      return std::nullopt;
    }
    const DecompressionDictionary given(*qz7lib::utils::readFileContents(dictionaryPath));
    if (given != *old.dictionary) {
      warnRecreating(archiveName, " has a different dictionary.");
      return std::nullopt;
    }
  }
  if (!file.readIndex(old)) {
    // Another run replaced the archive before its index was read, so the index
    // does not describe the file opened: nothing is reused.
    return std::nullopt;
  }
  archivist.addArchive(archiveName);
  return UpdateSource{std::move(file), old.header.fileCount};
}

// Ends the process at once with status -1: pool threads may still be running,
// so no exit-time destructors run under them.
[[noreturn]] void failCompressing(const std::string& file, const std::exception& error,
                                  std::optional<ArchiveWriter>& writer) {
  if (writer) writer->discard();
  std::cout.flush();
  std::cerr << "Error compressing " << file << " :\n" << error.what() << "\n";
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(-1);
}

void printProgress(std::uint64_t index, std::uint64_t count) {
  std::cout << "Compressing: " << (100 * index) / count << "%"
            << (index + 1 == count ? "\n" : "\r") << std::flush;
}

}  // namespace

void createArchive(const std::string& archiveName, std::vector<std::string>& inputs,
                   CompressionOption option, int threads, const std::string& dictionaryPath,
                   const std::vector<std::string>& excludes) {
  const std::vector<std::regex> excludeRegexes = compileExcludeGlobs(excludes);

  std::unique_ptr<std::vector<char>> dictionaryBytes;
  std::unique_ptr<CompressionDictionary> dictionary;
  if (!dictionaryPath.empty()) {
    try {
      dictionaryBytes = qz7lib::utils::readFileContents(dictionaryPath);
      dictionary = std::make_unique<CompressionDictionary>(dictionaryPath);
    } catch (const std::runtime_error& e) {
      std::cerr << "Error loading dictionary:\n" << e.what() << "\n";
      std::exit(-1);
    }
  }

  // Before the inputs are collected, so that no such file is taken for an
  // input. Only the archive's own: a file of that form may be an input too.
  const std::filesystem::path target = ArchiveWriter::targetOf(archiveName);
  removeStaleTemporaries(directoryOf(target),
                         [&target](std::string_view name) { return isTemporaryNameFor(name, target); });
  const std::vector<std::string> files = collectInputFiles(inputs, excludeRegexes);
  const std::uint64_t count = files.size();

  qz7lib::archive::Archivist archivist;
  std::optional<UpdateSource> old =
      decideUpdate(archiveName, dictionaryPath, dictionaryBytes.get(), archivist);
  if (old) {
    std::cout << "Updating archive " << archiveName << " (" << old->fileCount << " files) with "
              << count << " files.\n";
  } else {
    std::cout << "Creating archive " << archiveName << " containing " << count << " files.\n";
  }

  // The writer's copies of reused blocks run on the pool too, so it outlives the writer.
  qz7lib::utils::ThreadPool pool(static_cast<std::size_t>(std::max(threads, 0)));

  // An update that may turn out to change nothing opens no output while every
  // block so far is the old archive's, checked sound: the output opens at the
  // first block that differs, and the blocks before it are copied then.
  std::optional<ArchiveWriter> writer;
  auto openWriter = [&] { writer.emplace(archiveName, count, dictionaryBytes.get(), pool); };
  if (!old || old->fileCount != count || count == 0) openWriter();
  const SourceArchive* source = old ? &old->file : nullptr;

  std::vector<ArchiveEntry> entries(count);
  std::uint64_t reusedCount = 0;
  {
    CompressionWindow window(pool, files, [&archivist, source, &files, &dictionary, option](std::size_t i) {
      return compressFileTask(archivist, source, files, dictionary.get(), option, i);
    });
    for (std::size_t i = 0; i < count; ++i) {
      // Rather than wait for the next result, copy reused blocks.
      while (writer && window.wouldWait(i) && writer->copyPending()) {
      }
      CompressionResult result;
      try {
        result = window.take(i);
      } catch (const std::runtime_error& e) {
        failCompressing(files[i], e, writer);
      }
      entries[i] = result.entry;
      if (result.reused) ++reusedCount;
      if (!writer && !result.reused) {
        openWriter();
        for (std::size_t j = 0; j < i; ++j) writer->copyBlock(entries[j], *source, j);
      }
      if (writer) {
        if (result.reused) {
          writer->copyBlock(entries[i], *source, i);
        } else {
          writer->writeBlock(entries[i], result.block.bytes());
        }
      }
      printProgress(i, count);
    }
  }
  // A reused block is checked again as it is copied: one that changed since
  // its task checked it fails the run.
  if (writer) {
    if (const std::optional<std::size_t> changed = writer->finishCopies()) {
      failCompressing(files[*changed], std::runtime_error("the stored block changed in " + archiveName), writer);
    }
  }

  if (reusedCount != 0) std::cout << "Update: reused " << reusedCount << " files.\n" << std::flush;
  if (!writer) {
    std::cout << "All files are up to date, no changes made.\n";
    return;
  }

  switch (writer->commit(entries)) {
    case ArchiveWriter::Failure::none:
      break;
    case ArchiveWriter::Failure::header:
      std::cerr << "Failed to write output archive file header for \"" << archiveName << "\".";
      std::exit(-1);
    case ArchiveWriter::Failure::data:
      std::cerr << "ERROR: Failed to write output archive file for \"" << archiveName << "\".";
      std::exit(-1);
  }
  std::cout << "Archive " << archiveName << " created successfully.\n";
}
