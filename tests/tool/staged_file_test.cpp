// A staged file in-process: the signals that the tool catches remove its
// temporary file before they end the process.

#include "tool/staged_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>

#include "support/temp_dir.h"
#include "tool/interrupt_cleanup.h"

namespace qz7test {
namespace {

namespace fs = std::filesystem;

TEST(StagedFileTest, CaughtSignalsRemoveTheTemporaryFile) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const TempDir dir;
    EXPECT_EXIT(
        {
          interrupt_cleanup::installHandlers();
          StagedFile file((dir.path() / "out.txt").string());
          const std::byte bytes[3] = {};
          file.write(bytes);
          // Exits normally, failing the test, unless the temporary file exists.
          if (fs::is_empty(dir.path())) std::exit(1);
          std::raise(signal);
        },
        ::testing::KilledBySignal(signal), "");
    EXPECT_TRUE(fs::is_empty(dir.path()));
  }
}

}  // namespace
}  // namespace qz7test
