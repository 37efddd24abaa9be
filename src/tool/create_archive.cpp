// The archive command's action: update decision, compression tasks and writing.

#include <stdexcept>

#include "tool/commands.h"

void createArchive(const std::string&, std::vector<std::string>&, CompressionOption, int,
                   const std::string&, const std::vector<std::string>&) {
  throw std::runtime_error("not implemented yet");
}
