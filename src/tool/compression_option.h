#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "qz7lib/archive/compression_scheme.h"

// The archive command's compression choice.
enum class CompressionOption : std::uint32_t {
  none = 0,       // store every file uncompressed
  lz4 = 1,        // the lz4 scheme
  zstd = 2,       // zstd; zstd with the dictionary when one is given
  automatic = 3,  // lz4, storing a file uncompressed when lz4 saves too little
};

// The values of --comp: "none", "lz4", "zstd", "auto".
extern const std::unordered_map<std::string, CompressionOption> compressionOptionNames;

// The scheme of each option except automatic, which has no row.
extern const std::unordered_map<CompressionOption, qz7lib::archive::CompressionScheme>
    optionToScheme;
