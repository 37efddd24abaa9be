// The extract command: writes every entry of an archive below the current directory.

#include <args.hxx>

#include <stdexcept>
#include <string>

#include "tool/commands.h"

void extractCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::Flag overwrite(parser, "overwrite", "Overwrite existing files", {'o', "overwrite"});
  args::Flag verbose(parser, "verbose", "Show verbose extraction information",
                     {'v', "verbose"});
  parser.Parse();
  extractArchive(args::get(archiveFn), overwrite, verbose);
}

void extractArchive(std::string, bool, bool) { throw std::runtime_error("not implemented yet"); }
