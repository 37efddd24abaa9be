// The verify command: reads and checks every entry of an archive.

#include <args.hxx>

#include <stdexcept>
#include <string>

#include "tool/commands.h"

void verifyCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::Flag compare(
      parser, "compare",
      "Additionally compare extracted with files in the filesystem at same paths (slow)",
      {'c', "compare"});
  parser.Parse();
  verifyArchive(args::get(archiveFn), compare);
}

void verifyArchive(std::string, bool) { throw std::runtime_error("not implemented yet"); }
