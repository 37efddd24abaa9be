// The benchmark command: times reads of randomly chosen entries.

#include <args.hxx>

#include <stdexcept>
#include <string>

#include "tool/commands.h"

void benchmarkCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::ValueFlag<int> numFiles(parser, "num_files", "Number of accesses to measure",
                                {'n', "num_files"}, 1000);
  parser.Parse();
  benchmarkArchive(args::get(archiveFn), args::get(numFiles));
}

void benchmarkArchive(std::string, int) { throw std::runtime_error("not implemented yet"); }
