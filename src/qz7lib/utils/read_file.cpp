#include "qz7lib/utils/read_file.h"

#include <fmt/format.h>

#include <stdexcept>

#include "qz7lib/utils/regular_file.h"

namespace qz7lib::utils {

std::unique_ptr<std::vector<char>> readFileContents(const std::string& path) {
  // Only a regular file has a size and byte contents; a named pipe would also
  // keep the open waiting for a writer.
  RegularFile file(path);
  if (!file.isOpen()) throw std::runtime_error(fmt::format("Error opening file {}", path));

  auto contents = std::make_unique<std::vector<char>>(static_cast<std::size_t>(file.size()));
  if (!file.readExactly(*contents)) throw std::runtime_error(fmt::format("Error reading file {}", path));
  return contents;
}

}  // namespace qz7lib::utils
