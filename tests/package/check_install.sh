#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds a small consumer
# against it, once through the CMake package and once through pkg-config as a
# user would call it (without --static).
set -euo pipefail
build_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
expected="lz4 zStd ok"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/qz7"

cmake -S "$here/consumer" -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
[ "$("$prefix/consumer-build/consumer")" = "$expected" ]

PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name qz7lib.pc)")"
export PKG_CONFIG_PATH
# shellcheck disable=SC2046  # the flags are separate words
g++ -o "$prefix/consumer-pc" "$here/consumer/consumer.cpp" $(pkg-config --cflags --libs qz7lib)
[ "$("$prefix/consumer-pc")" = "$expected" ]
echo "package consumer built and ran"
