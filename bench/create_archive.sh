#!/usr/bin/env bash
# create_archive.sh - time archive creation on a real file tree.
#
# Builds the benchmark corpus, then archives it with `qz7 archive` on 1, 2, 4
# and 8 threads (plus one update run that changes nothing), and the same tree
# with `zip -r -9` and `mksquashfs -comp lz4 -Xhc`. For each run it reports wall
# time, CPU time (user + system), peak RSS and output size, measured with
# /usr/bin/time -v.
#
# Usage: bench/create_archive.sh [--small] [--qz7 PATH]
#   --small     the small corpus (about 62 MiB) instead of the big one (about 665 MiB)
#   --qz7 PATH  the qz7 binary; default: a Release build made in build-bench/
#
# qz7 refuses paths that differ only in letter case, non-ASCII paths and paths
# of 256 bytes or more. Every archiver therefore gets a hard-linked copy of the
# corpus without such files; the script prints how many it left out.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CORPUS_SCRIPT="$REPO/bench/corpus.sh"
SMALL=()
QZ7=""
while (( $# )); do
  case "$1" in
    --small) SMALL=(--small); shift ;;
    --qz7) QZ7="$2"; shift 2 ;;
    *) echo "usage: $0 [--small] [--qz7 PATH]" >&2; exit 1 ;;
  esac
done

# The peers and the measuring tool come from Debian packages.
need=()
command -v zip >/dev/null || need+=(zip)
command -v mksquashfs >/dev/null || need+=(squashfs-tools)
[[ -x /usr/bin/time ]] || need+=(time)
if (( ${#need[@]} )); then
  apt-get install -y -q "${need[@]}" >/dev/null
fi

if [[ -z "$QZ7" ]]; then
  cmake -S "$REPO" -B "$REPO/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQZ7_BUILD_TESTS=OFF -DQZ7_BUILD_BENCH=OFF >/dev/null
  cmake --build "$REPO/build-bench" --target qz7 >/dev/null
  QZ7="$REPO/build-bench/qz7"
fi

CORPUS="$("$CORPUS_SCRIPT" "${SMALL[@]}" | sed -n 's/^corpus: \([^ ]*\) .*/\1/p')"
[[ -d "$CORPUS" ]] || { echo "corpus not built" >&2; exit 1; }

WORK="$(mktemp -d /tmp/qz7bench.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
TREE="$WORK/tree"
cp -al "$CORPUS" "$TREE"

# Leave out what qz7 cannot store: every path but the first of a group that
# differs only in case, non-ASCII paths, paths of 256 bytes or more.
(
  cd "$TREE"
  find . -type f -printf '%P\n' | LC_ALL=C sort | LC_ALL=C awk '
    { lower = tolower($0) }
    /[\200-\377]/ || length($0) >= 256 || seen[lower]++ { print }
  ' > "$WORK/left-out"
  while IFS= read -r f; do rm -f -- "$f"; done < "$WORK/left-out"
)
files=$(find "$TREE" -type f | wc -l)
bytes=$(find "$TREE" -type f -printf '%s\n' | awk '{s += $1} END {printf "%d", s}')
echo "tree: $files files, $(awk -v b="$bytes" 'BEGIN {printf "%.1f MiB", b / 1048576}')" \
     "($(wc -l < "$WORK/left-out") files left out: case-only duplicates, non-ASCII or long paths)"
echo "cpus: $(nproc)"

# Warm the page cache so that every run reads the tree from memory.
find "$TREE" -type f -print0 | xargs -0 cat > /dev/null

printf '\n%-26s %8s %8s %10s %10s %7s\n' "run" "wall s" "cpu s" "rss MiB" "size MiB" "ratio"
# measure NAME OUTPUT COMMAND...: runs the command in the tree and prints its row.
measure() {
  local name="$1" output="$2"; shift 2
  ( cd "$TREE" && /usr/bin/time -v -o "$WORK/time" "$@" > "$WORK/out" 2> "$WORK/err" ) || {
    echo "$name failed:" >&2; tail -5 "$WORK/err" >&2; exit 1;
  }
  awk -v name="$name" -v size="$(stat -c %s "$output")" -v input="$bytes" -F': ' '
    /Elapsed \(wall clock\)/ {
      n = split($2, t, ":"); wall = 0
      for (i = 1; i <= n; i++) wall = wall * 60 + t[i]
    }
    /User time/ { cpu += $2 }
    /System time/ { cpu += $2 }
    /Maximum resident set size/ { rss = $2 / 1024 }
    END { printf "%-26s %8.2f %8.2f %10.1f %10.1f %7.3f\n", name, wall, cpu, rss,
          size / 1048576, size / input }
  ' "$WORK/time"
}

for threads in 1 2 4 8; do
  rm -f "$WORK/a.qz7"
  measure "qz7 auto, $threads thread(s)" "$WORK/a.qz7" "$QZ7" archive "$WORK/a.qz7" '**/*' -t "$threads"
done
measure "qz7 update, unchanged, 8" "$WORK/a.qz7" "$QZ7" archive "$WORK/a.qz7" '**/*' -t 8
grep -q "All files are up to date" "$WORK/out" || { echo "update rewrote the archive" >&2; exit 1; }
measure "zip -r -9" "$WORK/a.zip" zip -q -r -9 "$WORK/a.zip" .
measure "mksquashfs lz4 -Xhc" "$WORK/a.sqfs" \
  mksquashfs . "$WORK/a.sqfs" -comp lz4 -Xhc -noappend -quiet -no-progress
