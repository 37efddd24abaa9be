#!/usr/bin/env bash
# Runs the qz7 tool with the given arguments in the current directory, first
# installing the Debian packages the tool needs and building it when needed:
#   ./scripts/qz7.sh extract some.kvz
# A build directory that does not exist yet is configured without the tests and
# benchmarks; one that the test command made is reused as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"

"$root/scripts/install-deps.sh" tool >&2

if [ ! -f "$build/build.ninja" ]; then
  if ! log=$(cmake -S "$root" -B "$build" -G Ninja -DQZ7_BUILD_TESTS=OFF -DQZ7_BUILD_BENCH=OFF 2>&1); then
    echo "$log" >&2
    exit 1
  fi
fi
# Quick when the tool is up to date; the build's output is shown only when it fails.
if ! log=$(cmake --build "$build" --target qz7 2>&1); then
  echo "$log" >&2
  exit 1
fi

exec "$build/qz7" "$@"
