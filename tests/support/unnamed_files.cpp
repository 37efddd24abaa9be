#include "support/unnamed_files.h"

#include <fcntl.h>
#include <unistd.h>

namespace qz7test {

bool mayNameUnnamedFiles(const std::filesystem::path& directory) {
  const int file = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (file < 0) return false;
  const std::filesystem::path name = directory / "qz7test-named-unnamed-file";
  const bool named = ::linkat(file, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
  if (named) ::unlink(name.c_str());
  ::close(file);
  return named;
}

}  // namespace qz7test
