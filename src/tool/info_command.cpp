// The info command: prints an archive's header, statistics and index.

#include <args.hxx>

#include <stdexcept>
#include <string>

#include "tool/commands.h"

void infoCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::Flag verbose(parser, "verbose", "Show detailed information", {'v', "verbose"});
  parser.Parse();
  printArchiveInfo(args::get(archiveFn), verbose);
}

void printArchiveInfo(std::string, bool) { throw std::runtime_error("not implemented yet"); }
