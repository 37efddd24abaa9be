#include "qz7lib/archive/archivist.h"

#include <fmt/format.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>

#include "qz7lib/log/logger.h"
#include "qz7lib/utils/strings.h"

namespace qz7lib::archive {

namespace {

constexpr std::string_view kAddArchive = "qz7lib::archive::Archivist::addArchive";
constexpr std::string_view kAddArchivesFromDir = "qz7lib::archive::Archivist::addArchivesFromDir";
constexpr std::string_view kHasFile = "qz7lib::archive::Archivist::hasFile";
constexpr std::string_view kGetFileInternal = "qz7lib::archive::Archivist::getFileInternal";

// Source lines carried by the log records. Log consumers identify the messages
// by them, so they are fixed values, independent of this file's layout.
constexpr int kLineAddedAfterLoad = 60;
constexpr int kLineReplacedEntry = 68;
constexpr int kLineAliasNotBeforeFile = 79;
constexpr int kLineAliasIsRealFile = 86;
constexpr int kLineDirectoryScanFailed = 107;
constexpr int kLineAddedFromDir = 113;
constexpr int kLineArchiveFromDirFailed = 115;
constexpr int kLineNormalizedLookup = 150;
constexpr int kLineFileNotFound = 244;

// Only files with exactly this extension are taken from a directory.
constexpr std::string_view kArchiveExtension = ".kvz";

// The alternate lookup key: ASCII lower case, '\' turned into '/', and every
// run of '/' collapsed into one.
std::string normalizeName(std::string_view name) {
  std::string lowered(name);
  utils::toLowerInPlace(lowered);
  std::string normalized;
  normalized.reserve(lowered.size());
  for (char c : lowered) {
    if (c == '\\') c = '/';
    if (c == '/' && !normalized.empty() && normalized.back() == '/') continue;
    normalized.push_back(c);
  }
  return normalized;
}

// Holds the process-wide instance, which its destructor deletes at exit. It
// makes sure of the Logger before it is complete, so that the Logger's
// exit-time destroyer runs after it: the Archivist, and a prefetch that its
// destructor waits for, may log until the Archivist is gone.
struct InstanceHolder {
  InstanceHolder() { Logger::instance(); }
  std::unique_ptr<Archivist> archivist;
};

InstanceHolder& instanceHolder() {
  static InstanceHolder holder;
  return holder;
}

}  // namespace

FileRecord::FileRecord(std::string archivePath, const ArchiveEntry& entry, std::uint64_t archiveIndex)
    : archivePath(std::move(archivePath)), entry(entry), archiveIndex(archiveIndex) {}

FileRecord::FileRecord(const FileRecord& other) : entry{}, archiveIndex(0) { *this = other; }

FileRecord& FileRecord::operator=(const FileRecord& other) {
  std::lock_guard guard(lock);
  if (this != &other) archivePath = other.archivePath;
  entry = other.entry;
  archiveIndex = other.archiveIndex;
  data.clear();
  return *this;
}

Archivist::Archivist() : cacheQueue_(std::make_unique<CacheQueue>()) {
  // Lookups may log from several threads at once; the Logger's creation is not
  // guarded, so make sure it exists before any lookup can run.
  Logger::instance();
}

Archivist::~Archivist() {
  // A detached prefetch reads the records and logs its end: it must be done
  // with this object before anything is released.
  std::unique_lock lock(prefetchMutex_);
  prefetchEnded_.wait(lock, [this] { return runningPrefetches_ == 0; });
}

Archivist* Archivist::instance() {
  std::unique_ptr<Archivist>& archivist = instanceHolder().archivist;
  if (!archivist) archivist = std::make_unique<Archivist>();
  return archivist.get();
}

void Archivist::destroyInstance() {
  // Empty the holder before the object goes, so instance() never sees a dying one.
  std::unique_ptr<Archivist> former = std::move(instanceHolder().archivist);
}

void Archivist::addArchive(const std::string& path) {
  if (fileLoaded_.load(std::memory_order_relaxed)) {
    Logger::log(LogLevel::Error, kAddArchive, kLineAddedAfterLoad,
                fmt::format("Adding archive {} after a file has been loaded!", path));
  }
  ArchiveIndex index = readArchiveIndex(path);
  archives_.push_back(std::move(index));
  const std::uint64_t position = archives_.size() - 1;
  for (const ArchiveEntry& entry : archives_.back().entries) registerEntry(path, entry, position);
}

void Archivist::registerEntry(const std::string& path, const ArchiveEntry& entry,
                              std::uint64_t position) {
  const std::string name(entryName(entry));
  auto [it, inserted] = files_.try_emplace(name, std::in_place_index<0>, path, entry, position);
  if (!inserted) {
    // A real file keeps its record object (its address is handed out by
    // hasFile); an alias gives way to the real file.
    if (auto* existing = std::get_if<FileRecord>(&it->second)) {
      *existing = FileRecord(path, entry, position);
    } else {
      it->second.emplace<FileRecord>(path, entry, position);
    }
    Logger::log(LogLevel::Info, kAddArchive, kLineReplacedEntry,
                fmt::format("Replaced file entry {} with new one from {}", name, path));
  }
  applyAliasRules(name);
}

void Archivist::applyAliasRules(const std::string& name) {
  for (const auto& [alias, source] : aliases_) {
    const std::size_t position = name.find(source);  // 0 for an empty source
    if (position == std::string::npos) continue;
    // Only the last path component may follow the source text.
    if (name.find('/', position + source.size()) != std::string::npos) {
      Logger::log(LogLevel::Info, kAddArchive, kLineAliasNotBeforeFile,
                  fmt::format("Skipping alias {} for {} as it is not followed directly by a file",
                              source, name));
      continue;
    }
    std::string aliasName = utils::replaceFirst(name, source, alias);
    auto existing = files_.find(aliasName);
    if (existing != files_.end() && std::holds_alternative<FileRecord>(existing->second)) {
      Logger::log(LogLevel::Info, kAddArchive, kLineAliasIsRealFile,
                  fmt::format("Skipping alias {} for {} as the latter already exists as a real file",
                              aliasName, name));
      continue;
    }
    files_.insert_or_assign(std::move(aliasName), FileMapValue(std::in_place_index<1>, name));
  }
}

void Archivist::addArchivesFromDir(const std::string& path) {
  std::set<std::filesystem::path> archivePaths;
  try {
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (entry.is_regular_file() && entry.path().extension().string() == kArchiveExtension) {
        archivePaths.insert(entry.path());
      }
    }
  } catch (const std::runtime_error& error) {
    Logger::log(LogLevel::Error, kAddArchivesFromDir, kLineDirectoryScanFailed,
                fmt::format("Unable to load archives from directory \"{}\": {}", path, error.what()));
  }

  for (const std::filesystem::path& archivePath : archivePaths) {
    try {
      addArchive(archivePath.string());
      Logger::log(LogLevel::Info, kAddArchivesFromDir, kLineAddedFromDir,
                  fmt::format("Added archive contents from \"{}\"", archivePath.string()));
    } catch (const std::runtime_error& error) {
      Logger::log(LogLevel::Error, kAddArchivesFromDir, kLineArchiveFromDirFailed,
                  fmt::format("Unable to load archive \"{}\": {}", archivePath.string(), error.what()));
      throw;
    }
  }
}

void Archivist::addAlias(std::string_view alias, std::string_view source) {
  aliases_.emplace_back(std::string(alias), std::string(source));
}

void Archivist::clear() {
  aliases_.clear();
  files_.clear();
  std::lock_guard guard(cacheLock_);
  cacheQueue_->count.store(0, std::memory_order_relaxed);
  cacheSize_.store(0);
}

FileRecord* Archivist::hasFile(std::string_view name) {
  auto found = files_.find(name);
  if (found == files_.end()) {
    const std::string normalized = normalizeName(name);
    found = files_.find(normalized);
    if (found == files_.end()) return nullptr;
    Logger::log(LogLevel::Info, kHasFile, kLineNormalizedLookup,
                fmt::format("Could not find {} in archives, but found {} via normalized lookup.",
                            name, normalized));
  }
  if (auto* record = std::get_if<FileRecord>(&found->second)) return record;
  // An alias: its target is a real file's entry name, found exactly.
  return hasFile(std::get<std::string>(found->second));
}

FileRecord* Archivist::getFileInternal(std::string_view name) {
  if (FileRecord* record = hasFile(name)) return record;
  Logger::log(LogLevel::Fatal, kGetFileInternal, kLineFileNotFound,
              fmt::format("Tried getting file {}, but not available in any archive.", name));
  callFatalHandler();
  return nullptr;
}

std::uint64_t Archivist::getFileSize(std::string_view name) {
  const FileRecord* record = getFileInternal(name);
  return record != nullptr ? record->entry.uncompressedSize : 0;
}

std::uint64_t Archivist::getCacheSize() const { return cacheSize_.load(); }

}  // namespace qz7lib::archive
