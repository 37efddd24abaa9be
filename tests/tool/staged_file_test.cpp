// A staged file in-process, both as an unnamed file and, as on file systems
// without unnamed files, under a temporary name: nothing of it is left when
// one of the signals that the tool catches ends the process mid-write, and
// nothing but the destination when it was committed. Where unnamed files
// cannot be named, the unnamed case takes a temporary name too.

#include "tool/staged_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <span>
#include <string>

#include "support/run_process.h"
#include "support/temp_dir.h"
#include "support/unnamed_files.h"
#include "tool/interrupt_cleanup.h"

namespace qz7test {
namespace {

namespace fs = std::filesystem;

std::size_t entriesIn(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(StagedFileTest, CaughtSignalsLeaveNothingBehind) {
  for (const bool named : {false, true}) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      const TempDir dir;
      const bool hasName = named || !mayNameUnnamedFiles(dir.path());
      SCOPED_TRACE(std::string(named ? "named, " : hasName ? "unnamed, but unnamed files cannot be named here, " : "unnamed, ") +
                   strsignal(signal));
      EXPECT_EXIT(
          {
            restoreDefaultSignals();
            interrupt_cleanup::installHandlers();
            if (named) StagedFile::useNamedFilesOnly();
            StagedFile file((dir.path() / "out.txt").string(), nullptr, false);
            const std::byte bytes[3] = {};
            file.writeAt(0, bytes);
            // Exits normally, failing the test, unless the file has a name exactly where expected.
            if (entriesIn(dir.path()) != (hasName ? 1u : 0u)) std::exit(1);
            std::raise(signal);
          },
          ::testing::KilledBySignal(signal), "");
      EXPECT_EQ(entriesIn(dir.path()), 0u);
    }
  }
}

TEST(StagedFileTest, CommittedFileIsTheOnlyOneLeft) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    const TempDir dir;
    EXPECT_EXIT(
        {
          if (named) StagedFile::useNamedFilesOnly();
          for (const char* content : {"first", "second, longer"}) {
            struct stat existing {};
            const bool exists = ::lstat((dir.path() / "out.txt").c_str(), &existing) == 0;
            StagedFile file((dir.path() / "out.txt").string(), exists ? &existing : nullptr, false);
            file.writeAt(0, std::as_bytes(std::span(content, std::strlen(content))));
            file.commit();
          }
          std::exit(entriesIn(dir.path()) == 1 && readFile(dir.path() / "out.txt") == "second, longer" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace qz7test
