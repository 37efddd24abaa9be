// Opening the archive of a read command (extract, info, verify, benchmark).

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>
#include <stdexcept>

#include "tool/commands.h"

qz7lib::archive::ArchiveIndex openArchiveOrExit(std::string archivePath) {
  // A file-system error other than "not found" is not ours to report: it
  // reaches main.
  if (!std::filesystem::exists(archivePath)) {
    std::cerr << "Error: archive " << archivePath << " does not exist!\n";
    std::exit(-1);
  }
  try {
    return qz7lib::archive::readArchiveIndex(archivePath);
  } catch (const std::runtime_error& e) {
    std::cerr << "Error loading archive " << archivePath << " :\n" << e.what() << "\n";
  } catch (const std::bad_alloc& e) {
    // The index is not covered by a hash, so a damaged one can claim any size.
    std::cerr << "Error loading archive " << archivePath << " :\nnot enough memory ("
              << e.what() << ")\n";
  }
  std::exit(-1);
}
