#include "qz7lib/archive/compression.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qz7lib/archive/errors.h"
#include "support/archive_builder.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace {

using namespace qz7lib::archive;
using qz7test::TempDir;

std::vector<std::byte> bytesOf(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return {p, p + text.size()};
}

std::string textOf(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Text, structured records and incompressible noise, like a tree of assets.
std::string mixedData(std::size_t size, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::string out;
  while (out.size() < size) {
    switch (rng() % 3) {
      case 0:
        out += "texture " + std::to_string(rng() % 1000) + " uses shader basic_lit.frag\n";
        break;
      case 1:
        for (int i = 0; i < 64; ++i) out += static_cast<char>(rng());
        break;
      default:
        out.append(32, static_cast<char>('a' + rng() % 26));
    }
  }
  out.resize(size);
  return out;
}

std::string roundTrip(const std::string& input, CompressionScheme scheme,
                      const CompressionDictionary* cdict, const DecompressionDictionary* ddict) {
  auto stored = compress(bytesOf(input), scheme, cdict);
  // An empty file is an empty block; readers never decode it.
  if (input.empty()) return stored->empty() ? input : "non-empty block";
  std::vector<std::byte> out(input.size());
  EXPECT_EQ(decompress(*stored, out, scheme, ddict), input.size());
  return textOf(out);
}

class DictionaryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dictBytes = qz7test::sampleDictionary();
    qz7test::writeFile(dir.file("dict"), dictBytes);
    cdict = std::make_unique<CompressionDictionary>(dir.file("dict"));
    ddict = std::make_unique<DecompressionDictionary>(std::vector<char>(dictBytes.begin(), dictBytes.end()));
  }

  TempDir dir;
  std::string dictBytes;
  std::unique_ptr<CompressionDictionary> cdict;
  std::unique_ptr<DecompressionDictionary> ddict;
};

TEST(CompressionTest, RoundTripsEverySchemeAndSize) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65537}}) {
    const std::string input = mixedData(size, static_cast<unsigned>(size));
    for (auto scheme : {CompressionScheme::none, CompressionScheme::lz4, CompressionScheme::zStd,
                        CompressionScheme::zStdDict}) {
      EXPECT_EQ(roundTrip(input, scheme, nullptr, nullptr), input)
          << compressionSchemeName(scheme) << " size " << size;
    }
  }
}

TEST(CompressionTest, RoundTripsSeveralMegabytesOfMixedData) {
  const std::string input = mixedData(3 * 1024 * 1024 + 17);
  for (auto scheme : {CompressionScheme::none, CompressionScheme::lz4, CompressionScheme::zStd}) {
    EXPECT_EQ(roundTrip(input, scheme, nullptr, nullptr), input) << compressionSchemeName(scheme);
  }
}

TEST_F(DictionaryFixture, RoundTripsWithDictionary) {
  for (std::size_t size : {std::size_t{1}, std::size_t{500}, std::size_t{65537}}) {
    std::string input;
    while (input.size() < size) input += "{\"kind\": \"texture\", \"path\": \"textures/hd/stone.png\"}\n";
    input.resize(size);
    EXPECT_EQ(roundTrip(input, CompressionScheme::zStdDict, cdict.get(), ddict.get()), input);
  }
  // An empty input is an empty block under every scheme, dictionary or not.
  EXPECT_TRUE(compress({}, CompressionScheme::zStdDict, cdict.get())->empty());
}

TEST(CompressionTest, EmptyInputCompressesToNothingEvenForUnknownSchemes) {
  EXPECT_TRUE(compress({}, static_cast<CompressionScheme>(7), nullptr)->empty());
  EXPECT_TRUE(compress({}, CompressionScheme::lz4, nullptr)->empty());
  EXPECT_THROW(compress(bytesOf("x"), static_cast<CompressionScheme>(7), nullptr),
               UnknownCompressionScheme);
}

TEST(CompressionTest, NoneIsACopyAndZStdDictWithoutDictionaryIsZStd) {
  const std::string input = mixedData(5000);
  EXPECT_EQ(textOf(*compress(bytesOf(input), CompressionScheme::none, nullptr)), input);
  EXPECT_EQ(*compress(bytesOf(input), CompressionScheme::zStdDict, nullptr),
            *compress(bytesOf(input), CompressionScheme::zStd, nullptr));
}

TEST(CompressionTest, ResultIsShrunkWithoutReallocating) {
  const std::string input(100000, 'a');
  auto stored = compress(bytesOf(input), CompressionScheme::lz4, nullptr);
  EXPECT_LT(stored->size(), 1000u);
  EXPECT_GE(stored->capacity(), static_cast<std::size_t>(LZ4_compressBound(100000)));
}

TEST_F(DictionaryFixture, DictionaryOnlyGoesWithZStdDict) {
  const auto input = bytesOf("some bytes");
  for (auto scheme : {CompressionScheme::none, CompressionScheme::lz4, CompressionScheme::zStd}) {
    EXPECT_THROW(compress(input, scheme, cdict.get()), IncompatibleCompressionScheme);
    EXPECT_THROW(compress({}, scheme, cdict.get()), IncompatibleCompressionScheme);
  }
  // Checked before the block is looked at, even when it is valid lz4.
  auto lz4Block = compress(input, CompressionScheme::lz4, nullptr);
  std::vector<std::byte> out(input.size());
  EXPECT_THROW(decompress(*lz4Block, out, CompressionScheme::lz4, ddict.get()),
               IncompatibleCompressionScheme);
}

TEST_F(DictionaryFixture, DictionaryBlockNeedsTheSameDictionary) {
  // Records shaped like the dictionary's samples, so the frame refers to it.
  std::string input;
  for (int i = 0; i < 20; ++i) {
    input += "{\"id\": " + std::to_string(i) +
             ", \"kind\": \"texture\", \"path\": \"textures/hd/stone_" + std::to_string(i) +
             ".png\", \"flags\": [\"mipmap\", \"srgb\"], \"size\": 12}\n";
  }
  auto block = compress(bytesOf(input), CompressionScheme::zStdDict, cdict.get());
  std::vector<std::byte> out(input.size());
  EXPECT_THROW(decompress(*block, out, CompressionScheme::zStdDict, nullptr), DecompressionFailed);

  std::vector<char> other(dictBytes.begin(), dictBytes.end());
  for (std::size_t i = other.size() / 2; i < other.size(); ++i) other[i] ^= 0x5a;
  DecompressionDictionary otherDict(other);
  // A different dictionary either fails or cannot reproduce the input.
  try {
    decompress(*block, out, CompressionScheme::zStdDict, &otherDict);
    EXPECT_NE(textOf(out), input);
  } catch (const DecompressionFailed&) {
  }
}

TEST(DecompressionTest, StoredBlocksRespectTheDestination) {
  const auto src = bytesOf("0123456789");
  std::vector<std::byte> small(9, std::byte{0x77});
  EXPECT_THROW(decompress(src, small, CompressionScheme::none, nullptr), DecompressionFailed);
  EXPECT_EQ(small, std::vector<std::byte>(9, std::byte{0x77}));

  std::vector<std::byte> large(20, std::byte{0x77});
  EXPECT_EQ(decompress(src, large, CompressionScheme::none, nullptr), 10u);
  EXPECT_EQ(textOf(std::span(large).first(10)), "0123456789");
  EXPECT_EQ(std::vector<std::byte>(large.begin() + 10, large.end()),
            std::vector<std::byte>(10, std::byte{0x77}));

  EXPECT_EQ(decompress({}, large, CompressionScheme::none, nullptr), 0u);
}

TEST(DecompressionTest, DamagedOrMisfitBlocksFail) {
  std::vector<std::byte> out(100);
  EXPECT_THROW(decompress({}, out, CompressionScheme::lz4, nullptr), DecompressionFailed);
  EXPECT_THROW(decompress(bytesOf("x"), out, static_cast<CompressionScheme>(4), nullptr),
               UnknownCompressionScheme);

  const std::string input = mixedData(1000);
  for (auto scheme : {CompressionScheme::lz4, CompressionScheme::zStd}) {
    auto block = compress(bytesOf(input), scheme, nullptr);
    std::vector<std::byte> tooSmall(input.size() - 1);
    EXPECT_THROW(decompress(*block, tooSmall, scheme, nullptr), DecompressionFailed)
        << compressionSchemeName(scheme);
    std::vector<std::byte> garbage(block->size(), std::byte{0xff});
    std::vector<std::byte> dst(input.size());
    EXPECT_THROW(decompress(garbage, dst, scheme, nullptr), DecompressionFailed)
        << compressionSchemeName(scheme);
  }
}

TEST(CompressionTest, InputsBeyondLz4LimitsAreTooLarge) {
  // Only the size is looked at before refusing, so no real buffer is needed.
  static const std::byte anchor{};
  for (std::size_t size : {std::size_t{0x7E000001}, std::size_t{0x80000000}}) {
    std::span<const std::byte> huge(&anchor, size);
    EXPECT_THROW(compress(huge, CompressionScheme::lz4, nullptr), FileTooLarge) << size;
  }
}

TEST(CompressionTest, SchemeNames) {
  EXPECT_STREQ(compressionSchemeName(CompressionScheme::none), "none");
  EXPECT_STREQ(compressionSchemeName(CompressionScheme::lz4), "lz4");
  EXPECT_STREQ(compressionSchemeName(CompressionScheme::zStd), "zStd");
  EXPECT_STREQ(compressionSchemeName(CompressionScheme::zStdDict), "zStdDict");
  EXPECT_STREQ(compressionSchemeName(static_cast<CompressionScheme>(4)), "unknown");
}

TEST(DictionaryTest, EqualityComparesTheRawBytes) {
  const std::string raw = qz7test::sampleDictionary();
  std::vector<char> bytes(raw.begin(), raw.end());
  const std::vector<char> copy = bytes;
  DecompressionDictionary a(bytes), b(copy);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  EXPECT_EQ(a.size(), raw.size());

  std::vector<char> changed = bytes;
  changed.back() ^= 1;
  EXPECT_TRUE(a != DecompressionDictionary(changed));
  std::vector<char> shorter(bytes.begin(), bytes.end() - 1);
  EXPECT_TRUE(a != DecompressionDictionary(shorter));
}

TEST(DictionaryTest, UnusableDictionaries) {
  TempDir dir;
  EXPECT_THROW(
      {
        try {
          CompressionDictionary missing(dir.file("missing.dict"));
        } catch (const std::runtime_error& e) {
          EXPECT_EQ(std::string(e.what()), "Error opening file " + dir.file("missing.dict"));
          throw;
        }
      },
      std::runtime_error);

  // A zstd dictionary header whose entropy tables are garbage cannot be digested.
  std::string broken = "\x37\xa4\x30\xec";
  broken += std::string(4, '\x01') + std::string(200, '\xff');
  qz7test::writeFile(dir.file("broken.dict"), broken);
  CompressionDictionary cdict(dir.file("broken.dict"));
  EXPECT_EQ(cdict.get(), nullptr);
  EXPECT_THROW(compress(bytesOf("data"), CompressionScheme::zStdDict, &cdict), CompressionFailed);
  EXPECT_TRUE(compress({}, CompressionScheme::zStdDict, &cdict)->empty());

  try {
    DecompressionDictionary ddict(std::vector<char>(broken.begin(), broken.end()));
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Could not load decompression dictionary");
  }
}

TEST(CompressionConcurrentTest, EachThreadCreatesItsContextsOnce) {
  const std::string input = mixedData(2000);
  auto block = compress(bytesOf(input), CompressionScheme::zStd, nullptr);
  const auto worker = [&] {
    std::vector<std::byte> out(input.size());
    for (int i = 0; i < 5; ++i) {
      compress(bytesOf(input), CompressionScheme::zStd, nullptr);
      decompress(*block, out, CompressionScheme::zStd, nullptr);
      compress(bytesOf(input), CompressionScheme::lz4, nullptr);
    }
  };
  const auto before = detail::zstdContextsCreated();
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(detail::zstdContextsCreated() - before, 4u);

  // A thread that only stores or uses lz4 creates none.
  const auto lz4Before = detail::zstdContextsCreated();
  std::thread([&] { compress(bytesOf(input), CompressionScheme::lz4, nullptr); }).join();
  EXPECT_EQ(detail::zstdContextsCreated(), lz4Before);
}

// Blocks must be readable by the reference zstd command-line tool, and a
// dictionary it trains must work through our layer.
TEST(CompressionInteropTest, ZstdToolReadsOurBlocksAndTrainsUsableDictionaries) {
  TempDir dir;
  std::vector<std::string> samples;
  for (int i = 0; i < 200; ++i) {
    std::string sample;
    for (int j = 0; j < 20; ++j) {
      sample += "entity " + std::to_string(i * 31 + j) + " { model = \"props/barrel_" +
                std::to_string(j % 7) + ".mdl\"; health = " + std::to_string(i % 100) + "; }\n";
    }
    qz7test::writeFile(dir.file("samples/s" + std::to_string(i) + ".txt"), sample);
    samples.push_back(dir.file("samples/s" + std::to_string(i) + ".txt"));
  }
  std::vector<std::string> train{"zstd", "-q", "--train", "--maxdict=8192", "-o", dir.file("trained.dict")};
  train.insert(train.end(), samples.begin(), samples.end());
  auto trained = qz7test::runProcess(train);
  ASSERT_EQ(trained.status, 0) << trained.err;

  const std::string input = qz7test::readFile(samples[3]) + qz7test::readFile(samples[150]);
  CompressionDictionary cdict(dir.file("trained.dict"));
  ASSERT_NE(cdict.get(), nullptr);
  const std::string dictBytes = qz7test::readFile(dir.file("trained.dict"));
  DecompressionDictionary ddict(std::vector<char>(dictBytes.begin(), dictBytes.end()));

  auto plain = compress(bytesOf(input), CompressionScheme::zStd, nullptr);
  auto withDict = compress(bytesOf(input), CompressionScheme::zStdDict, &cdict);
  EXPECT_LT(withDict->size(), plain->size());
  EXPECT_EQ(roundTrip(input, CompressionScheme::zStdDict, &cdict, &ddict), input);

  qz7test::writeFile(dir.file("plain.zst"), textOf(*plain));
  qz7test::writeFile(dir.file("dict.zst"), textOf(*withDict));
  auto plainOut = qz7test::runProcess({"zstd", "-q", "-d", "-c", dir.file("plain.zst")});
  ASSERT_EQ(plainOut.status, 0) << plainOut.err;
  EXPECT_EQ(plainOut.out, input);
  auto dictOut = qz7test::runProcess(
      {"zstd", "-q", "-d", "-c", "-D", dir.file("trained.dict"), dir.file("dict.zst")});
  ASSERT_EQ(dictOut.status, 0) << dictOut.err;
  EXPECT_EQ(dictOut.out, input);
}

}  // namespace
