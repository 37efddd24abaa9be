#include "tool/compression_option.h"

using qz7lib::archive::CompressionScheme;

// Defined in this order in one file, so the names are built before the schemes.
const std::unordered_map<std::string, CompressionOption> compressionOptionNames = {
    {"none", CompressionOption::none},
    {"lz4", CompressionOption::lz4},
    {"zstd", CompressionOption::zstd},
    {"auto", CompressionOption::automatic},
};

const std::unordered_map<CompressionOption, CompressionScheme> optionToScheme = {
    {CompressionOption::none, CompressionScheme::none},
    {CompressionOption::lz4, CompressionScheme::lz4},
    {CompressionOption::zstd, CompressionScheme::zStd},
};
