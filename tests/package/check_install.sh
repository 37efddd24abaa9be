#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds a small consumer
# against it, once through the CMake package and once through pkg-config.
set -euo pipefail
build_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/qz7"

cmake -S "$here/consumer" -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
[ "$("$prefix/consumer-build/consumer")" = "zStdDict" ]

PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name qz7lib.pc)")" pkg-config --exists qz7lib
# shellcheck disable=SC2046
g++ -o "$prefix/consumer-pc" "$here/consumer/consumer.cpp" \
  $(PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name qz7lib.pc)")" pkg-config --cflags --libs --static qz7lib)
[ "$("$prefix/consumer-pc")" = "zStdDict" ]
echo "package consumer built and ran"
