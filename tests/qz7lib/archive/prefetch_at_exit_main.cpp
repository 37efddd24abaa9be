// A program that returns from main while the process-wide Archivist is still
// prefetching in the background. It must end on its own: the test that runs it
// fails when it hangs or crashes during exit.

#include <string>
#include <vector>

#include "qz7lib/archive/archivist.h"
#include "support/archive_builder.h"
#include "support/temp_dir.h"

int main() {
  // Created before the Archivist, so that it is removed only after the
  // Archivist is gone.
  static const qz7test::TempDir dir;
  std::vector<qz7test::TestEntry> entries;
  for (int i = 0; i < 400; ++i) {
    entries.push_back({"file" + std::to_string(i) + ".txt", qz7lib::archive::CompressionScheme::lz4,
                       std::string(2000 + i, static_cast<char>('a' + i % 26))});
  }
  const std::string path = dir.file("many.kvz");
  qz7test::writeArchive(path, entries);

  qz7lib::archive::Archivist* archivist = qz7lib::archive::Archivist::instance();
  archivist->addArchive(path);
  archivist->setCacheLimit(std::uint64_t{1} << 30);
  archivist->prefetchAllWithSuffix("", 1, false);
  return 0;
}
