// The archive command: creates or updates an archive from files, directories and globs.

#include <args.hxx>

#include <iostream>
#include <string>
#include <vector>

#include "tool/commands.h"
#include "tool/input_collection.h"

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

  // The pool cannot honour a negative size; reject it like any other bad value.
  if (args::get(threads) < 0) {
    throw args::ValidationError("Option 'threads' must not be negative, got " +
                                std::to_string(args::get(threads)));
  }

  CompressionOption option = args::get(comp);
  const std::string& dictionaryPath = args::get(dictionary);
  if (!dictionaryPath.empty()) {
    if (option == CompressionOption::none || option == CompressionOption::lz4) {
      std::cerr << "Warning: providing a dictionary file forces the Zstd compression scheme\n";
    }
    option = CompressionOption::zstd;
  }

  const std::vector<std::string> excludeList =
      loadExcludeFrom(args::get(excludes), args::get(excludeFrom));
  createArchive(args::get(archiveFn), args::get(paths), option, args::get(threads),
                dictionaryPath, excludeList);
}
