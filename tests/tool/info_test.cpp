// The info command, byte for byte through the binary.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/archive_builder.h"
#include "tool/hand_made_index.h"
#include "tool/tool_test.h"

namespace qz7test {
namespace {

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::CompressionScheme;

constexpr std::string_view kHeading =
    "-----------\n"
    "                       file name    scheme   comp size uncomp size  start offset"
    "        comp hash        file hash\n";
constexpr std::string_view kLegacyHeading =
    "-----------\n"
    "                       file name    scheme   comp size uncomp size  start offset"
    "        comp hash\n";

class InfoTest : public ToolTest {
 protected:
  // Info reads no block, so hand-made records need no data.
  void writeIndex(const std::vector<ArchiveEntry>& entries) const {
    write("a.qz7", handMadeArchive(entries));
  }
};

TEST_F(InfoTest, EmptyArchivePrintsSixLines) {
  writeArchive(path("a.qz7"), {});
  const std::string summary =
      "QZ7 archive a.qz7: 0 files, v1200\n"
      "Extended header available: 16 bytes, 304 bytes per index entry\n"
      "compression stats: none:0 lz4:0 zStd:0 zStdDict:0 \n"
      "  compressed size:          0 (0%) \n"
      "uncompressed size:          0\n"
      "No dictionary\n";
  EXPECT_RUN(run({"info", "a.qz7"}), 0, summary, "");
  EXPECT_RUN(run({"info", "a.qz7", "-v"}), 0, summary + std::string(kHeading), "");
}

TEST_F(InfoTest, CountsSchemesAndSumsSizes) {
  writeIndex({makeEntry("a.txt", 0, 100, 100, 64, 0x1, 0x2),
              makeEntry("b.txt", 1, 30, 200, 192, 0x3, 0x4),
              makeEntry("c.txt", 1, 20, 100, 256, 0x5, 0x6),
              makeEntry("d.txt", 2, 50, 600, 320, 0x7, 0x8)});
  EXPECT_RUN(run({"info", "--verbose", "a.qz7"}), 0,
             "QZ7 archive a.qz7: 4 files, v1200\n"
             "Extended header available: 16 bytes, 304 bytes per index entry\n"
             "compression stats: none:1 lz4:2 zStd:1 zStdDict:0 \n"
             "  compressed size:        200 (20%) \n"
             "uncompressed size:       1000\n"
             "No dictionary\n" +
                 std::string(kHeading) +
                 "                           a.txt      none         100         100"
                 "            64                1                2\n"
                 "                           b.txt       lz4          30         200"
                 "           192                3                4\n"
                 "                           c.txt       lz4          20         100"
                 "           256                5                6\n"
                 "                           d.txt      zStd          50         600"
                 "           320                7                8\n",
             "");
}

TEST_F(InfoTest, RatioIsRoundedDownAndMayExceedHundred) {
  writeIndex({makeEntry("a", 1, 251, 100, 64, 1, 1), makeEntry("b", 1, 1, 2, 320, 1, 1)});
  const ProcessResult result = run({"info", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  // 252 * 100 / 102 = 247.05...
  EXPECT_THAT(result.out, testing::HasSubstr("  compressed size:        252 (247%) \n"));
}

TEST_F(InfoTest, HugeTotalsArePrintedWholeWithTheirTrueRatio) {
  // Only a damaged index holds such sizes. The ratio's product would not fit
  // in 64 bits, and the ratio itself not in 32.
  writeIndex({makeEntry("a", 0, 400000000000000000, 2, 64, 1, 1),
              makeEntry("b", 0, 12345678901, 12345678901, 64, 1, 1)});
  const ProcessResult result = run({"info", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out,
              testing::HasSubstr("  compressed size: 400000012345678901 (3.24e+09%) \n"
                                 "uncompressed size: 12345678903\n"));
}

TEST_F(InfoTest, LongNamesAndShortHashesKeepTheirText) {
  const std::string longName = "textures/environment/stone_wall_0001.png";  // 40 bytes
  writeIndex({makeEntry(longName, 2, 12, 34, 64, 0x0000000000abcdef, 0x0fedcba987654321)});
  const ProcessResult result = run({"info", "-v", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out,
              testing::EndsWith(longName +
                                "      zStd          12          34            64"
                                "           abcdef  fedcba987654321\n"));
}

TEST_F(InfoTest, UnknownSchemesAreShownButNotCounted) {
  writeIndex({makeEntry("a", 7, 5, 5, 64, 1, 1), makeEntry("b", 0, 5, 5, 128, 1, 1)});
  const ProcessResult result = run({"info", "-v", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out, testing::HasSubstr("compression stats: none:1 lz4:0 zStd:0 zStdDict:0 \n"
                                             "  compressed size:         10 (100%) \n"));
  EXPECT_THAT(result.out, testing::HasSubstr("                               a   unknown"));
}

TEST_F(InfoTest, UnterminatedNameIsCutAtTheFieldEnd) {
  ArchiveEntry entry = makeEntry("", 0, 0, 0, 64, 0, 0);
  std::memset(entry.name, 'n', sizeof entry.name);
  // The scheme field right after the name holds bytes that must not show up.
  entry.scheme = static_cast<CompressionScheme>(0x4141414141414141);
  writeIndex({entry});
  const ProcessResult result = run({"info", "-v", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out, testing::HasSubstr("\n" + std::string(256, 'n') + "   unknown   "));
}

TEST_F(InfoTest, OldVersionHasNoExtendedHeaderLineNorFileHashColumn) {
  ArchiveOptions options;
  options.version = 1100;
  const BuiltArchive built =
      writeArchive(path("a.qz7"), {{"old.txt", CompressionScheme::none, "twelve bytes"}}, options);
  const ArchiveEntry& entry = built.entries[0];
  EXPECT_RUN(run({"info", "a.qz7", "-v"}), 0,
             "QZ7 archive a.qz7: 1 files, v1100\n"
             "compression stats: none:1 lz4:0 zStd:0 zStdDict:0 \n"
             "  compressed size:         12 (100%) \n"
             "uncompressed size:         12\n"
             "No dictionary\n" +
                 std::string(kLegacyHeading) +
                 fmt::format("{:>32}{:>10}{:>12}{:>12}{:>14}{:>17x}\n", "old.txt", "none", 12, 12,
                             entry.startOffset, entry.compressedHash),
             "");
}

TEST_F(InfoTest, DictionaryArchiveShowsDictionarySize) {
  ArchiveOptions options;
  options.dictionary = sampleDictionary();
  writeArchive(path("a.qz7"), {{"x.json", CompressionScheme::zStdDict, "{\"id\": 1}"}}, options);
  const ProcessResult result = run({"info", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out,
              testing::HasSubstr("compression stats: none:0 lz4:0 zStd:0 zStdDict:1 \n"));
  EXPECT_THAT(result.out,
              testing::EndsWith(fmt::format("Has dictionary, {} bytes\n", options.dictionary.size())));
}

}  // namespace
}  // namespace qz7test
