#!/usr/bin/env bash
# large_file_memory.sh - peak memory of archiving one large file.
#
# Archives one file of incompressible bytes (400 MiB unless told otherwise)
# under --comp auto (which then stores it), none and lz4, and reports for each
# run the wall time and the peak RSS, measured with /usr/bin/time -v. While a
# file is compressed the archive command holds at most its content and the
# compressor's worst-case output (about twice the file); a block stored
# uncompressed is the content itself (about once the file).
#
# Usage: bench/large_file_memory.sh [--mib N] [--qz7 PATH]
#   --mib N     size of the file in MiB (default 400)
#   --qz7 PATH  the qz7 binary; default: a Release build made in build-bench/
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
MIB=400
QZ7=""
while (( $# )); do
  case "$1" in
    --mib) MIB="$2"; shift 2 ;;
    --qz7) QZ7="$2"; shift 2 ;;
    *) echo "usage: $0 [--mib N] [--qz7 PATH]" >&2; exit 1 ;;
  esac
done

[[ -x /usr/bin/time ]] || apt-get install -y -q time >/dev/null

if [[ -z "$QZ7" ]]; then
  cmake -S "$REPO" -B "$REPO/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQZ7_BUILD_TESTS=OFF -DQZ7_BUILD_BENCH=OFF >/dev/null
  cmake --build "$REPO/build-bench" --target qz7 >/dev/null
  QZ7="$REPO/build-bench/qz7"
fi
QZ7="$(realpath "$QZ7")"

WORK="$(mktemp -d /tmp/qz7bench.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
head -c "${MIB}M" /dev/urandom > "$WORK/large.bin"
echo "file: $MIB MiB of random bytes"

printf '\n%-12s %8s %10s %10s\n' "option" "wall s" "rss MiB" "rss/file"
for option in auto none lz4; do
  rm -f "$WORK/a.kvz"
  ( cd "$WORK" && /usr/bin/time -v -o "$WORK/time" "$QZ7" archive a.kvz large.bin --comp "$option" >/dev/null )
  awk -v name="$option" -v mib="$MIB" -F': ' '
    /Elapsed \(wall clock\)/ {
      n = split($2, t, ":"); wall = 0
      for (i = 1; i <= n; i++) wall = wall * 60 + t[i]
    }
    /Maximum resident set size/ { rss = $2 / 1024 }
    END { printf "%-12s %8.2f %10.1f %10.2f\n", name, wall, rss, rss / mib }
  ' "$WORK/time"
done
