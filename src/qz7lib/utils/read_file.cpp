#include "qz7lib/utils/read_file.h"

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace qz7lib::utils {

std::unique_ptr<std::vector<char>> readFileContents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  // A directory opens as a stream on this platform but has no byte contents.
  std::error_code ec;
  if (!in || std::filesystem::is_directory(path, ec)) {
    throw std::runtime_error(fmt::format("Error opening file {}", path));
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  // A stream that cannot report its size must not turn -1 into an allocation.
  if (size < 0) throw std::runtime_error(fmt::format("Error reading file {}", path));
  in.seekg(0, std::ios::beg);

  auto contents = std::make_unique<std::vector<char>>(static_cast<std::size_t>(size));
  in.read(contents->data(), size);
  if (!in) throw std::runtime_error(fmt::format("Error reading file {}", path));
  return contents;
}

}  // namespace qz7lib::utils
