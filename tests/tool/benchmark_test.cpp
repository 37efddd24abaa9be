// The benchmark command through the binary. Timings differ from run to run, so
// the figures that depend on them are matched by pattern.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "tool/hand_made_index.h"
#include "tool/tool_test.h"

namespace qz7test {
namespace {

using qz7lib::archive::CompressionScheme;

// A figure as std::fixed with two decimals in a field of 8; a read count of 0
// makes the time per file infinite (or not a number when no time passed).
constexpr const char* kFigure = R"( *(-?[0-9]{1,}\.[0-9]{2}|-?inf|-?nan))";

// The whole report for an archive of archiveBytes bytes.
std::regex reportPattern(const std::string& firstLine, std::uintmax_t archiveBytes) {
  const std::string sizeLine =
      fmt::format("Archive size : {:8.2f} MiB\n", static_cast<double>(archiveBytes) / 1048576);
  return std::regex(std::regex_replace(firstLine + sizeLine, std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                       R"(\$&)") +
                    "Total time   : " + kFigure + " seconds\n" +
                    "Time / file  : " + kFigure + " ms\n" +
                    "Throughput   : " + kFigure + " MiB/s\n");
}

class BenchmarkTest : public ToolTest {
 protected:
  void expectReport(const ProcessResult& result, const std::string& firstLine) const {
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(std::regex_match(
        result.out, reportPattern(firstLine, std::filesystem::file_size(path("a.qz7")))))
        << result.out;
  }
  // An archive whose only block lies beyond its end: any read of it fails.
  void writeUnreadable() const {
    write("a.qz7", handMadeArchive({makeEntry("gone", 0, 10, 10, 1 << 20)}));
  }
};

TEST_F(BenchmarkTest, DefaultsToThousandReadsAndPrintsFourFigures) {
  writeArchive(path("a.qz7"), {{"a.txt", CompressionScheme::none, "alpha"},
                               {"b.txt", CompressionScheme::lz4, std::string(70000, 'b')},
                               {"c.txt", CompressionScheme::zStd, std::string(3000, 'c')}});
  expectReport(run({"benchmark", "a.qz7"}), "Benchmarking 1000 file reads on a.qz7...\n");
}

TEST_F(BenchmarkTest, OneEntryArchive) {
  writeArchive(path("a.qz7"), {{"only", CompressionScheme::lz4, std::string(100000, 'o')}});
  expectReport(run({"benchmark", "-n", "20", "a.qz7"}), "Benchmarking 20 file reads on a.qz7...\n");
}

TEST_F(BenchmarkTest, ZeroOrNegativeCountsReadNothing) {
  writeUnreadable();
  expectReport(run({"benchmark", "-n", "0", "a.qz7"}), "Benchmarking 0 file reads on a.qz7...\n");
  expectReport(run({"benchmark", "-n", "-3", "a.qz7"}), "Benchmarking -3 file reads on a.qz7...\n");

  // One read does reach the block, which fails; main reports it.
  EXPECT_RUN(run({"benchmark", "-n", "1", "a.qz7"}), 2,
             "Benchmarking 1 file reads on a.qz7...\n", "QZ7 archive entry reading failed\n");
}

TEST_F(BenchmarkTest, ArchiveWithoutEntriesReadsNothing) {
  writeArchive(path("a.qz7"), {});
  expectReport(run({"benchmark", "-n", "5", "a.qz7"}), "Benchmarking 5 file reads on a.qz7...\n");
}

TEST_F(BenchmarkTest, MissingArchiveIsNamedAfterTheFirstLine) {
  EXPECT_RUN(run({"benchmark", "none.qz7"}), 255,
             "Benchmarking 1000 file reads on none.qz7...\n",
             "Error: archive none.qz7 does not exist!\n");
}

TEST_F(BenchmarkTest, DamagedSizeIsAnErrorNotACrash) {
  write("a.qz7", archiveClaimingHugeSize(CompressionScheme::zStd));
  const ProcessResult result = run({"benchmark", "-n", "1", "a.qz7"}, kMayReturnNull);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Benchmarking 1 file reads on a.qz7...\n");
  EXPECT_THAT(result.err, testing::EndsWith("Decompression failed for given data\n"));
}

}  // namespace
}  // namespace qz7test
