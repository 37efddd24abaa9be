#!/usr/bin/env bash
# update_compare.sh - `qz7 archive` updating an existing archive, two builds side by side.
#
# Cases, each archived once with the first build and then updated:
#   large    4 files of 150 MiB of random bytes (stored as they are by --comp auto)
#            and a small z.txt, which sorts last; z.txt is edited before each run
#   corpus   the big corpus of bench/corpus.sh; the file in the middle of the
#            archive's order (case-insensitive), or with --edit last the file that
#            sorts last, is edited before each run
# and, right after each edited run, one more update with nothing changed. Every
# edited run starts from a copy of the same created archive, made outside the timed
# command; the builds take turns (A, B, A, B, ...). Reported per case and build:
# median wall time (min-max), median CPU time (user + system), median peak RSS
# (/usr/bin/time) and median bytes read and written (rchar and wchar of
# /proc/PID/io: every read and write call, page cache or not; written leaves out
# what went to standard output and error). With --per-thread, also the median CPU
# time of the main thread, which collects, places and writes, and of all others
# (perf's task-clock samples): load on the machine hides a busy main thread in the
# wall time, not in its CPU time.
#
# Usage: bench/update_compare.sh [--qz7 PATH] [--against PATH] [--runs N] [--threads N]
#                                [--edit middle|last] [--per-thread]
#                                [--work-dir DIR] [--corpus DIR]
#   --qz7        the build to measure ("new"); default: a Release build made in build/bench
#   --against    the build to compare with ("old"), e.g. one made from an older commit
#   --runs       edited runs per case and build (default 5)
#   --threads    passed to `qz7 archive -t` (default: qz7's own choice)
#   --edit       which corpus file is edited (default middle)
#   --per-thread samples every run with `perf record` (package linux-perf)
#   --work-dir   scratch space (default qz7-update-compare in /dev/shm, else in /tmp);
#                its large/ and corpus/ are replaced and removed at the end
#   --corpus     the corpus tree (default /tmp/qz7corpus; built by bench/corpus.sh when missing)
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QZ7="" AGAINST="" RUNS=5 THREADS=() CORPUS=/tmp/qz7corpus EDIT=middle PER_THREAD=0
if [[ -d /dev/shm && -w /dev/shm ]]; then WORK=/dev/shm/qz7-update-compare; else WORK=/tmp/qz7-update-compare; fi
while (( $# )); do
  case "$1" in
    --qz7) QZ7="$(realpath "$2")"; shift ;;
    --against) AGAINST="$(realpath "$2")"; shift ;;
    --runs) RUNS="$2"; shift ;;
    --threads) THREADS=(-t "$2"); shift ;;
    --edit) EDIT="$2"; shift; [[ "$EDIT" == middle || "$EDIT" == last ]] || { echo "--edit takes middle or last" >&2; exit 1; } ;;
    --per-thread) PER_THREAD=1 ;;
    --work-dir) WORK="$(realpath -m "$2")"; shift ;;
    --corpus) CORPUS="$(realpath -m "$2")"; shift ;;
    -h|--help) sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 1 ;;
  esac
  shift
done

log() { printf '== %s\n' "$*" >&2; }

"$REPO/scripts/install-deps.sh" bench >&2
if [[ -z "$QZ7" ]]; then
  BUILD_DIR="$REPO/build/bench"
  log "building qz7 in $BUILD_DIR"
  [[ -f "$BUILD_DIR/CMakeCache.txt" ]] || cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DQZ7_BUILD_TESTS=OFF -DQZ7_BUILD_BENCH=OFF >/dev/null
  cmake --build "$BUILD_DIR" --target qz7 >/dev/null
  QZ7="$BUILD_DIR/qz7"
fi
BUILDS=(new)
declare -A BIN=([new]="$QZ7")
if [[ -n "$AGAINST" ]]; then BUILDS+=(old); BIN[old]="$AGAINST"; fi
[[ -d "$CORPUS" ]] || { log "building the corpus in $CORPUS"; "$REPO/bench/corpus.sh" "$CORPUS" >&2; }

rm -rf "$WORK/large" "$WORK/corpus"
mkdir -p "$WORK/large/tree" "$WORK/corpus"
trap 'rm -rf "$WORK/large" "$WORK/corpus" "$WORK"/{time,io,out,err,results,perf.data}; rmdir "$WORK" 2>/dev/null || true' EXIT
: > "$WORK/results"

# measure CASE BUILD DIR CMD...: one run of CMD in DIR; appends the case, the build,
# wall seconds, user and system seconds, peak RSS (KiB), rchar and wchar to the
# results, wchar without what went to standard output and error; with --per-thread
# also the CPU seconds of CMD's main thread and of its other threads. The shell
# between /usr/bin/time and CMD prints its own /proc io after reaping CMD, which by
# then includes CMD's counters; the shell adds a few KiB of its own. perf samples
# from outside, so that its own file does not count as written.
measure() {
  local name="$1" build="$2" dir="$3"; shift 3
  local sampler=()
  (( PER_THREAD )) && sampler=(perf record -q -e task-clock -o "$WORK/perf.data" --)
  # shellcheck disable=SC2016  # $$ and $@ are the inner shell's
  if ! ( cd "$dir" && "${sampler[@]}" /usr/bin/time -f '%e %U %S %M' -o "$WORK/time" \
      sh -c '"$@"; s=$?; cat /proc/$$/io >&3; exit $s' sh "$@" 3> "$WORK/io" > "$WORK/out" 2> "$WORK/err" ); then
    echo "$name ($build) failed:" >&2; tail -5 "$WORK/err" >&2; exit 1
  fi
  local printed=$(( $(stat -c %s "$WORK/out") + $(stat -c %s "$WORK/err") )) threads=""
  if (( PER_THREAD )); then
    threads=$(perf script -i "$WORK/perf.data" -F comm,pid,tid,period 2>/dev/null |
      awk -v c="$(basename "$1" | cut -c1-15)" '$1 == c { split($2, id, "/"); if (id[1] == id[2]) m += $3; else o += $3 }
        END { printf "%.3f %.3f", m / 1e9, o / 1e9 }')
  fi
  printf '%s\t%s\t%s %s %s %s\n' "$name" "$build" "$(cat "$WORK/time")" \
    "$(awk '$1 == "rchar:" { print $2 }' "$WORK/io")" \
    "$(awk -v p="$printed" '$1 == "wchar:" { print $2 - p }' "$WORK/io")" "$threads" >> "$WORK/results"
}

# run_case CASE DIR FILE: archives DIR/tree once, then RUNS times edits FILE (below the
# tree) and has every build update a fresh copy of that archive, then update it again.
run_case() {
  local name="$1" dir="$2" file="$2/tree/$3" i build
  log "$name: creating the archive"
  find "$dir/tree" -type f -print0 | xargs -0 cat > /dev/null   # warm the page cache
  ( cd "$dir/tree" && "$QZ7" archive "$dir/start.kvz" '**/*' "${THREADS[@]}" > /dev/null )
  cp "$file" "$dir/edited.orig"
  for (( i = 0; i < RUNS; i++ )); do
    log "$name: run $((i + 1)) of $RUNS"
    # A new file replaces the old: in a hard-linked tree the corpus itself stays as it is.
    { cat "$dir/edited.orig"; echo "edit $((i % 2))"; } > "$file.new"; mv "$file.new" "$file"
    for build in "${BUILDS[@]}"; do
      cp "$dir/start.kvz" "$dir/a.kvz"
      measure "$name, $4 edited" "$build" "$dir/tree" "${BIN[$build]}" archive "$dir/a.kvz" '**/*' "${THREADS[@]}"
      measure "$name, unchanged" "$build" "$dir/tree" "${BIN[$build]}" archive "$dir/a.kvz" '**/*' "${THREADS[@]}"
    done
  done
}

log "large: writing 4 x 150 MiB of random bytes"
for i in 1 2 3 4; do head -c 150M /dev/urandom > "$WORK/large/tree/f$i.bin"; done
echo "a small text file, archived last" > "$WORK/large/tree/z.txt"
run_case "4 x 150 MiB" "$WORK/large" z.txt last

# qz7 refuses names that differ only in letter case: the tree leaves out the
# upper-case member of each such pair (as bench/compare.sh does).
TREE="$WORK/corpus/tree"
# Hard links where the work directory shares the corpus's file system, else a copy.
cp -al "$CORPUS" "$TREE" 2>/dev/null || { rm -rf "$TREE"; cp -a "$CORPUS" "$TREE"; }
COLLIDING=$(cd "$TREE" && find . -type f | awk '{ l = tolower($0); n[l]++; p[l] = p[l] $0 "\n" }
    END { for (l in n) if (n[l] > 1) printf "%s", p[l] }' | { grep '[A-Z][^/]*$' || true; })
while IFS= read -r f; do [[ -z "$f" ]] || rm -f "$TREE/$f"; done <<< "$COLLIDING"
FILES=$(find "$TREE" -type f | wc -l)
if [[ "$EDIT" == last ]]; then AT=$FILES; else AT=$(( (FILES + 1) / 2 )); fi
EDITED=$(cd "$TREE" && find . -type f -printf '%P\n' | awk '{ print tolower($0) "\t" $0 }' |
  LC_ALL=C sort | sed -n "${AT}p" | cut -f 2)
log "corpus: $FILES files; edited: $EDITED ($(stat -c %s "$TREE/$EDITED") bytes)"
run_case "corpus, $FILES files" "$WORK/corpus" "$EDITED" "$EDIT"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "threads: ${THREADS[1]:-qz7 default}, runs: $RUNS, cpus: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg)"
for build in "${BUILDS[@]}"; do echo "$build: ${BIN[$build]}"; done
printf '\n%-36s %-6s %-18s %6s %8s %9s %11s' case build "wall s (min-max)" "CPU s" "peak MiB" "read MiB" "written MiB"
(( PER_THREAD )) && printf ' %10s %10s' "main CPU s" "other CPU s"
printf '\n'
while IFS= read -r name; do
  for build in "${BUILDS[@]}"; do
    rows=$(awk -F'\t' -v c="$name" -v b="$build" '$1 == c && $2 == b { print $3 }' "$WORK/results")
    col() { awk "{ print $1 }" <<< "$rows" | median; }
    range=$(awk '{ print $1 }' <<< "$rows" | sort -g | sed -n '1p;$p' | paste -sd-)
    awk -v n="$name" -v b="$build" -v w="$(col '$1')" -v r="$range" -v c="$(col '$2 + $3')" -v m="$(col '$4')" \
        -v rd="$(col '$5')" -v wr="$(col '$6')" \
      'BEGIN { printf "%-36s %-6s %-18s %6.2f %8.0f %9.1f %11.1f", n, b, sprintf("%.2f (%s)", w, r), c,
               m / 1024, rd / 1048576, wr / 1048576 }'
    (( PER_THREAD )) && printf ' %10.2f %10.2f' "$(col '$7')" "$(col '$8')"
    printf '\n'
  done
done < <(cut -f 1 "$WORK/results" | awk '!seen[$0]++')
