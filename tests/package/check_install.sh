#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds a small consumer
# against it, once through the CMake package and once through pkg-config as a
# user would call it (without --static). The consumer project sets no C++
# standard: the package must bring it. It also builds the README's library
# example, which must be printed there as it stands in consumer/example.cpp,
# and runs it on an archive made by the installed tool.
set -euo pipefail
build_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
readme="$here/../../README.md"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
expected="lz4 zStd ok"

# Runs a command quietly; its output is shown only when it fails.
quietly() {
  local output
  if ! output=$("$@" 2>&1); then
    printf '%s\n' "$output" >&2
    echo "failed: $*" >&2
    return 1
  fi
}

quietly cmake --install "$build_dir" --prefix "$prefix"
test -x "$prefix/bin/qz7"

quietly cmake -S "$here/consumer" -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
quietly cmake --build "$prefix/consumer-build"
[ "$("$prefix/consumer-build/consumer")" = "$expected" ]

PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name qz7lib.pc)")"
export PKG_CONFIG_PATH
# shellcheck disable=SC2046  # the flags are separate words
quietly g++ -o "$prefix/consumer-pc" "$here/consumer/consumer.cpp" $(pkg-config --cflags --libs qz7lib)
[ "$("$prefix/consumer-pc")" = "$expected" ]

# The example as the README prints it: the indented block from its first
# #include to the closing brace of main.
if ! diff -u <(sed -n '/^    #include <qz7lib\/archive\/archivist.h>/,/^    }$/p' "$readme" | sed 's/^    //') \
              "$here/consumer/example.cpp" >&2; then
  echo "the README's library example differs from consumer/example.cpp" >&2
  exit 1
fi
mkdir -p "$prefix/work/docs"
printf '# Performance\n' > "$prefix/work/docs/performance.md"
head -c 1000 /dev/zero > "$prefix/work/docs/performance.png"
(cd "$prefix/work" && quietly "$prefix/bin/qz7" archive docs.kvz docs)
[ "$(cd "$prefix/work" && "$prefix/consumer-build/example")" = \
  "$(printf 'docs/performance.md: 14 bytes\ndocs/performance.png: 1000 bytes')" ]
echo "package consumer built and ran"
