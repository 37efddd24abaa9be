// The archive command: creates or updates an archive from files, directories and globs.

#include <args.hxx>

#include <stdexcept>
#include <string>
#include <vector>

#include "tool/commands.h"

void archiveCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::PositionalList<std::string> paths(parser, "paths", "files or globs to archive",
                                          args::Options::Required);
  args::MapFlag<std::string, CompressionOption> comp(
      parser, "comp", "compression scheme - none/lz4/zstd/auto, defaults to auto", {"comp"},
      compressionOptionNames, CompressionOption::automatic);
  args::ValueFlag<int> threads(parser, "threads", "Use the given number of threads",
                               {'t', "threads"}, 0);
  args::ValueFlag<std::string> dictionary(parser, "dictionary",
                                          "Dictionary file (implies zstd scheme)",
                                          {'d', "dictionary"}, "");
  args::ValueFlagList<std::string> excludes(parser, "excludes",
                                            "Exclude filenames matching this glob", {"exclude"});
  args::ValueFlag<std::string> excludeFrom(parser, "exclude-from",
                                           "Read exclude globs from this file", {"exclude-from"},
                                           "");
  parser.Parse();

  // TODO: a dictionary forces zstd, and the --exclude-from lines join the excludes.
  std::vector<std::string>& inputs = args::get(paths);
  createArchive(args::get(archiveFn), inputs, args::get(comp), args::get(threads),
                args::get(dictionary), args::get(excludes));
}
