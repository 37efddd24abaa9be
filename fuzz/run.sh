#!/usr/bin/env bash
# Runs every libFuzzer target built in a fuzz build directory for a bounded time,
# each starting from a scratch copy of its seed corpus (fuzz/corpus/<target>/),
# so the repository is never modified. Fails on any crash, leak, timeout or
# sanitizer report; the inputs that caused it are kept in
# <fuzz-build-dir>/fuzz-artifacts/<target>/.
#
#   ./fuzz/run.sh <fuzz-build-dir> <seconds-per-target>
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <fuzz-build-dir> <seconds-per-target>" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)
seconds=$2
fuzz_dir=$(cd "$(dirname "$0")" && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

ran=0
for source in "$fuzz_dir"/*.cpp; do
  target=$(basename "$source" .cpp)
  binary="$build_dir/fuzz/$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz target $target is not built in $build_dir" >&2
    exit 1
  fi
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  if [ -d "$fuzz_dir/corpus/$target" ]; then
    cp -R "$fuzz_dir/corpus/$target/." "$corpus/"
  fi
  artifacts="$build_dir/fuzz-artifacts/$target"
  mkdir -p "$artifacts"

  echo "== $target for ${seconds}s"
  # libFuzzer exits non-zero on a crash, a leak, a sanitizer report or an
  # input that runs longer than -timeout seconds.
  "$binary" "$corpus" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" -print_final_stats=1
  ran=$((ran + 1))
done

if [ "$ran" -eq 0 ]; then
  echo "no fuzz targets in $fuzz_dir" >&2
  exit 1
fi
echo "All $ran fuzz target(s) ran clean."
