#include "tool/archive_writer.h"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>
#include <utility>

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveHeader;
using qz7lib::archive::DictionaryHeader;
using qz7lib::archive::ExtendedHeader;

namespace {

constexpr int kMaxSymlinkHops = 40;
// Reused blocks are handed to a copying task in runs of about this many bytes:
// one gathered write each when the blocks are small, and few tasks.
constexpr std::uint64_t kCopyRunBytes = StretchWriter::kBufferBytes;

}  // namespace

std::filesystem::path ArchiveWriter::targetOf(const std::string& archiveName) {
  std::filesystem::path target = archiveName;
  std::error_code error;
  for (int hops = 0; hops < kMaxSymlinkHops && std::filesystem::is_symlink(target, error); ++hops) {
    const std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error) break;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  return target;
}

ArchiveWriter::ArchiveWriter(const std::string& archiveName, std::uint64_t fileCount,
                             const std::vector<char>* dictionary, qz7lib::utils::ThreadPool& pool)
    : pool_(pool),
      fileCount_(fileCount),
      dictionary_(dictionary),
      position_(qz7lib::archive::kHeaderSize + qz7lib::archive::kExtendedHeaderSize +
                fileCount * qz7lib::archive::kEntrySize +
                (dictionary != nullptr
                     ? qz7lib::archive::kDictionaryHeaderSize + dictionary->size()
                     : 0)) {
  const std::filesystem::path target = targetOf(archiveName);
  // A name without a file name part ("" or "dir/") cannot be a file.
  if (target.has_filename()) {
    struct stat existing {};
    const bool exists = ::lstat(target.c_str(), &existing) == 0;
    try {
      file_.emplace(target.string(), exists ? &existing : nullptr, true);
    } catch (const std::system_error&) {
    }
  }
  if (file_) {
    out_.emplace(*file_, fileLock_, position_, buffer_);
  } else {
    failure_ = Failure::header;
  }
}

ArchiveWriter::~ArchiveWriter() {
  for (const std::future<void>& copy : copies_) copy.wait();
}

std::uint64_t ArchiveWriter::placeNextBlock(std::uint64_t size) {
  const std::uint64_t start = qz7lib::archive::alignBlockOffset(position_);
  position_ = start + size;
  return start;
}

void ArchiveWriter::writeBlock(ArchiveEntry& entry, std::span<const std::byte> bytes) {
  if (!run_.blocks.empty()) submitRun();
  const std::uint64_t before = position_;
  entry.startOffset = placeNextBlock(bytes.size());
  if (!out_) return;
  // The stretch since the last block this thread wrote is being copied.
  if (out_->position() != before) out_->skipTo(before);
  out_->padTo(entry.startOffset);
  out_->write(bytes);
}

void ArchiveWriter::copyBlock(ArchiveEntry& entry, const SourceArchive& source, std::size_t index) {
  if (run_.blocks.empty()) {
    // This thread's bytes so far lie before the run: written out now, as its
    // buffer holds one stretch only.
    if (out_) out_->flush();
    run_.source = &source;
    run_.start = position_;
  }
  const std::uint64_t sourceOffset = entry.startOffset;
  entry.startOffset = placeNextBlock(entry.compressedSize);
  run_.blocks.push_back({index, sourceOffset, entry.compressedSize, entry.compressedHash, entry.startOffset});
  run_.end = position_;
  if (run_.end - run_.start >= kCopyRunBytes) submitRun();
}

void ArchiveWriter::submitRun() {
  if (file_ && !run_.blocks.empty()) {
    {
      const std::lock_guard guard(copyMutex_);
      queued_.push_back(std::move(run_));
    }
    copies_.push_back(pool_.submit_task([this] { copyPending(); }));
  }
  run_ = CopyRun{};
}

bool ArchiveWriter::copyPending() {
  CopyRun run;
  {
    const std::lock_guard guard(copyMutex_);
    if (queued_.empty()) return false;
    run = std::move(queued_.front());
    queued_.pop_front();
  }
  copy(run);
  return true;
}

void ArchiveWriter::copy(const CopyRun& run) {
  // Kept by each thread, as the chunk buffer of the hashed reads is.
  thread_local std::vector<std::byte> buffer;
  StretchWriter out(*file_, fileLock_, run.start, buffer);
  for (const PlacedBlock& block : run.blocks) {
    out.padTo(block.offset);
    ArchiveEntry old{};
    old.startOffset = block.sourceOffset;
    old.compressedSize = block.size;
    old.compressedHash = block.hash;
    if (!run.source->readBlock(old, [&out](std::span<const std::byte> chunk) { out.write(chunk); })) {
      const std::lock_guard guard(copyMutex_);
      if (!firstChanged_ || block.index < *firstChanged_) firstChanged_ = block.index;
      return;
    }
  }
  out.flush();
  if (out.failed()) {
    const std::lock_guard guard(copyMutex_);
    copyFailed_ = true;
  }
}

std::optional<std::size_t> ArchiveWriter::finishCopies() {
  submitRun();
  while (copyPending()) {
  }
  // All of them first: none may still run when an exception leaves.
  for (const std::future<void>& copy : copies_) copy.wait();
  for (std::future<void>& copy : copies_) copy.get();
  copies_.clear();
  const std::lock_guard guard(copyMutex_);
  return firstChanged_;
}

ArchiveWriter::Failure ArchiveWriter::commit(const std::vector<ArchiveEntry>& entries) {
  if (failure_ == Failure::none) {
    out_->skipTo(position_);
    if (out_->failed() || copyFailed_) failure_ = Failure::data;
  }
  if (failure_ == Failure::none) {
    StretchWriter front(*file_, fileLock_, 0, buffer_);
    const auto writeRecords = [&front](const auto* records, std::size_t count) {
      front.write(std::as_bytes(std::span(records, count)));
    };
    const ArchiveHeader header(dictionary_ != nullptr ? qz7lib::archive::kFlagHasDictionary : 0,
                               fileCount_, qz7lib::archive::kArchiveVersion);
    const ExtendedHeader extendedHeader(qz7lib::archive::kExtendedHeaderSize,
                                        qz7lib::archive::kEntrySize);
    writeRecords(&header, 1);
    writeRecords(&extendedHeader, 1);
    writeRecords(entries.data(), entries.size());
    if (dictionary_ != nullptr) {
      const DictionaryHeader dictionaryHeader(dictionary_->size());
      writeRecords(&dictionaryHeader, 1);
      writeRecords(dictionary_->data(), dictionary_->size());
    }
    front.flush();
    if (front.failed()) {
      failure_ = Failure::data;
    } else {
      try {
        file_->commit();
      } catch (const std::system_error&) {
        failure_ = Failure::data;
      }
    }
  }
  discard();
  return failure_;
}

void ArchiveWriter::discard() {
  if (file_) file_->discard();
}
