#include "tool/archive_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveHeader;
using qz7lib::archive::DictionaryHeader;
using qz7lib::archive::ExtendedHeader;

namespace {

constexpr std::size_t kCopyChunkSize = 1 << 20;
constexpr std::byte kZeros[qz7lib::archive::kBlockAlignment] = {};
constexpr std::size_t kMaxFileNameBytes = 255;
constexpr int kMaxSymlinkHops = 40;

// Writes all of data at offset, resuming after short writes.
bool writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

// The file that the archive name stands for. A symbolic link is followed, even
// one whose target does not exist yet, so that the file it names is replaced and
// the link stays, as when the archive is written in place.
std::filesystem::path targetOf(const std::string& archiveName) {
  std::filesystem::path target = archiveName;
  std::error_code error;
  for (int hops = 0; hops < kMaxSymlinkHops && std::filesystem::is_symlink(target, error); ++hops) {
    const std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error) break;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  return target;
}

// A name for the temporary file beside target, shortening target's own name so
// that the result still fits a directory entry.
std::string temporaryNameFor(const std::filesystem::path& target, int attempt) {
  const std::string suffix = attempt == 0 ? fmt::format(".{}.tmp", ::getpid())
                                          : fmt::format(".{}-{}.tmp", ::getpid(), attempt);
  std::string name = target.filename().string();
  name.resize(std::min(name.size(), kMaxFileNameBytes - suffix.size()));
  return (target.parent_path() / (name + suffix)).string();
}

}  // namespace

ArchiveWriter::ArchiveWriter(std::string archiveName, std::uint64_t fileCount,
                             const std::vector<char>* dictionary)
    : archiveName_(std::move(archiveName)),
      fileCount_(fileCount),
      dictionary_(dictionary),
      position_(qz7lib::archive::kHeaderSize + qz7lib::archive::kExtendedHeaderSize +
                fileCount * qz7lib::archive::kEntrySize +
                (dictionary != nullptr
                     ? qz7lib::archive::kDictionaryHeaderSize + dictionary->size()
                     : 0)),
      copyHash_(XXH64_createState(), XXH64_freeState) {
  if (!copyHash_) throw std::bad_alloc();
  open();
}

ArchiveWriter::~ArchiveWriter() { discard(); }

void ArchiveWriter::open() {
  const std::filesystem::path target = targetOf(archiveName_);
  // A name without a file name part ("" or "dir/") cannot be opened as a file.
  if (!target.has_filename()) {
    failure_ = Failure::header;
    return;
  }
  targetName_ = target.string();
  // The process id keeps concurrent runs apart; the counter steps over leftovers.
  for (int attempt = 0; fd_ < 0; ++attempt) {
    temporaryName_ = temporaryNameFor(target, attempt);
    fd_ = ::open(temporaryName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt == 100)) {
      temporaryName_.clear();
      failure_ = Failure::header;
      return;
    }
  }
  // An archive rewritten in place would keep its permissions; so does its replacement.
  struct stat old {};
  if (::stat(targetName_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    ::fchmod(fd_, old.st_mode & 07777);
  }
}

void ArchiveWriter::write(const void* data, std::size_t size) {
  if (failure_ == Failure::none && !writeAllAt(fd_, data, size, position_)) {
    failure_ = Failure::data;
  }
  position_ += size;
}

std::uint64_t ArchiveWriter::placeNextBlock() {
  const std::uint64_t start = qz7lib::archive::alignBlockOffset(position_);
  write(kZeros, start - position_);
  return start;
}

void ArchiveWriter::writeBlock(ArchiveEntry& entry, std::span<const std::byte> bytes) {
  entry.startOffset = placeNextBlock();
  write(bytes.data(), bytes.size());
}

bool ArchiveWriter::copyBlock(ArchiveEntry& entry, const SourceArchive& source) {
  const std::uint64_t before = position_;
  const std::uint64_t sourceOffset = entry.startOffset;
  entry.startOffset = placeNextBlock();
  // Read and checked even when nothing is written any more: an update that
  // changes nothing relies on every block being sound.
  copyBuffer_.resize(kCopyChunkSize);
  XXH64_reset(copyHash_.get(), 0);
  std::uint64_t done = 0;
  while (done < entry.compressedSize) {
    const auto chunk = std::span(copyBuffer_).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.compressedSize - done, kCopyChunkSize)));
    if (!source.read(sourceOffset + done, chunk)) break;
    XXH64_update(copyHash_.get(), chunk.data(), chunk.size());
    write(chunk.data(), chunk.size());
    done += chunk.size();
  }
  if (done == entry.compressedSize && XXH64_digest(copyHash_.get()) == entry.compressedHash) {
    return true;
  }
  // Bytes already copied are overwritten by what takes this place.
  position_ = before;
  entry.startOffset = sourceOffset;
  return false;
}

ArchiveWriter::Failure ArchiveWriter::commit(const std::vector<ArchiveEntry>& entries) {
  if (failure_ == Failure::none) {
    const std::uint64_t end = position_;
    position_ = 0;
    const ArchiveHeader header(dictionary_ != nullptr ? qz7lib::archive::kFlagHasDictionary : 0,
                               fileCount_, qz7lib::archive::kArchiveVersion);
    const ExtendedHeader extendedHeader(qz7lib::archive::kExtendedHeaderSize,
                                        qz7lib::archive::kEntrySize);
    write(&header, sizeof header);
    write(&extendedHeader, sizeof extendedHeader);
    write(entries.data(), entries.size() * sizeof(ArchiveEntry));
    if (dictionary_ != nullptr) {
      const DictionaryHeader dictionaryHeader(dictionary_->size());
      write(&dictionaryHeader, sizeof dictionaryHeader);
      write(dictionary_->data(), dictionary_->size());
    }
    position_ = end;
    // A copy that was given up may have left bytes behind the last block.
    if (failure_ == Failure::none &&
        (::ftruncate(fd_, static_cast<off_t>(end)) != 0 || ::fsync(fd_) != 0)) {
      failure_ = Failure::data;
    }
  }
  if (fd_ >= 0) {
    if (::close(fd_) != 0 && failure_ == Failure::none) failure_ = Failure::data;
    fd_ = -1;
  }
  if (failure_ == Failure::none) {
    if (std::rename(temporaryName_.c_str(), targetName_.c_str()) == 0) {
      committed_ = true;
    } else {
      failure_ = Failure::data;
    }
  }
  if (!committed_) discard();
  return failure_;
}

void ArchiveWriter::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!committed_ && !temporaryName_.empty()) {
    ::unlink(temporaryName_.c_str());
    temporaryName_.clear();
  }
}
