// Uses the installed library, reaching each of its link dependencies: lz4 and
// zstd through the codecs, xxhash through a header's hash, fmt through an error
// message. Prints the scheme names it round-tripped.
#include <qz7lib/archive/compression.h>
#include <qz7lib/archive/format.h>
#include <qz7lib/utils/read_file.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

int main() {
  using namespace qz7lib::archive;
  const char text[] = "installed qz7lib, installed qz7lib, installed qz7lib";
  std::span<const std::byte> input(reinterpret_cast<const std::byte*>(text), sizeof text);
  for (CompressionScheme scheme : {CompressionScheme::lz4, CompressionScheme::zStd}) {
    auto block = compress(input, scheme, nullptr);
    std::vector<std::byte> out(sizeof text);
    decompress(*block, out, scheme, nullptr);
    if (std::memcmp(out.data(), text, sizeof text) != 0) return 1;
    std::printf("%s ", compressionSchemeName(scheme));
  }
  if (!ArchiveHeader(0, 1, 1200).isValid()) return 1;
  try {
    qz7lib::utils::readFileContents("/nonexistent/file");
    return 1;
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()) != "Error opening file /nonexistent/file") return 1;
  }
  std::puts("ok");
  return 0;
}
