#!/usr/bin/env bash
# Runs the qz7 tool with the given arguments in the current directory, first
# installing the needed Debian packages and building the tool when needed:
#   ./scripts/qz7.sh extract some.kvz
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release"

"$root/scripts/install-deps.sh" >&2

if [ ! -f "$build/build.ninja" ]; then
  if ! log=$(cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo 2>&1); then
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
