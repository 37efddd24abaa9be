// Uses the installed library: compresses and decompresses a buffer through it.
#include <qz7lib/archive/compression.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main() {
  using namespace qz7lib::archive;
  const char text[] = "installed qz7lib, installed qz7lib, installed qz7lib";
  std::span<const std::byte> input(reinterpret_cast<const std::byte*>(text), sizeof text);
  auto block = compress(input, CompressionScheme::lz4, nullptr);
  std::vector<std::byte> out(sizeof text);
  decompress(*block, out, CompressionScheme::lz4, nullptr);
  if (std::memcmp(out.data(), text, sizeof text) != 0) return 1;
  std::puts(compressionSchemeName(CompressionScheme::zStdDict));
  return 0;
}
