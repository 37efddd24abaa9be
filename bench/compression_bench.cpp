// Throughput of the compression layer next to the raw codec calls on the same
// buffer, so the layer's own overhead shows as the ratio of the two.

#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>
#include <zstd.h>

#include <random>
#include <string>
#include <vector>

#include "qz7lib/archive/compression.h"

namespace {

using namespace qz7lib::archive;

// Text, structured records and incompressible noise, like a tree of game assets.
const std::vector<std::byte>& mixedBuffer() {
  static const std::vector<std::byte> buffer = [] {
    std::mt19937 rng(42);
    std::string text;
    while (text.size() < 512 * 1024) {
      switch (rng() % 4) {
        case 0:
          text += "local entity_" + std::to_string(rng() % 5000) + " = spawn(\"props/crate.mdl\", " +
                  std::to_string(rng() % 100) + ")\n";
          break;
        case 1:
          for (int i = 0; i < 256; ++i) text += static_cast<char>(rng());
          break;
        case 2:
          text += "#define GL_TEXTURE_" + std::to_string(rng() % 64) + " 0x" + std::to_string(rng() % 9999) + "\n";
          break;
        default:
          text.append(48, static_cast<char>(rng() % 4));
      }
    }
    const auto* p = reinterpret_cast<const std::byte*>(text.data());
    return std::vector<std::byte>(p, p + text.size());
  }();
  return buffer;
}

void layerCompress(benchmark::State& state, CompressionScheme scheme) {
  const auto& input = mixedBuffer();
  for (auto _ : state) benchmark::DoNotOptimize(compress(input, scheme, nullptr));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void rawCompress(benchmark::State& state, CompressionScheme scheme) {
  const auto& input = mixedBuffer();
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  for (auto _ : state) {
    if (scheme == CompressionScheme::lz4) {
      const int bound = LZ4_compressBound(static_cast<int>(input.size()));
      std::vector<std::byte> out(static_cast<std::size_t>(bound));
      benchmark::DoNotOptimize(LZ4_compress_HC(reinterpret_cast<const char*>(input.data()),
                                               reinterpret_cast<char*>(out.data()),
                                               static_cast<int>(input.size()), bound, 12));
    } else {
      std::vector<std::byte> out(ZSTD_compressBound(input.size()));
      benchmark::DoNotOptimize(ZSTD_compressCCtx(ctx, out.data(), out.size(), input.data(),
                                                 input.size(), ZSTD_maxCLevel()));
    }
  }
  ZSTD_freeCCtx(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void layerDecompress(benchmark::State& state, CompressionScheme scheme) {
  const auto& input = mixedBuffer();
  auto block = compress(input, scheme, nullptr);
  std::vector<std::byte> out(input.size());
  for (auto _ : state) benchmark::DoNotOptimize(decompress(*block, out, scheme, nullptr));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void rawDecompress(benchmark::State& state, CompressionScheme scheme) {
  const auto& input = mixedBuffer();
  auto block = compress(input, scheme, nullptr);
  std::vector<std::byte> out(input.size());
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  for (auto _ : state) {
    if (scheme == CompressionScheme::lz4) {
      benchmark::DoNotOptimize(LZ4_decompress_safe(reinterpret_cast<const char*>(block->data()),
                                                   reinterpret_cast<char*>(out.data()),
                                                   static_cast<int>(block->size()),
                                                   static_cast<int>(out.size())));
    } else {
      benchmark::DoNotOptimize(
          ZSTD_decompressDCtx(ctx, out.data(), out.size(), block->data(), block->size()));
    }
  }
  ZSTD_freeDCtx(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

BENCHMARK_CAPTURE(layerCompress, lz4, CompressionScheme::lz4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rawCompress, lz4, CompressionScheme::lz4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(layerCompress, zstd22, CompressionScheme::zStd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(rawCompress, zstd22, CompressionScheme::zStd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(layerCompress, none, CompressionScheme::none)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(layerDecompress, lz4, CompressionScheme::lz4)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rawDecompress, lz4, CompressionScheme::lz4)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(layerDecompress, zstd22, CompressionScheme::zStd)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rawDecompress, zstd22, CompressionScheme::zStd)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(layerDecompress, none, CompressionScheme::none)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
