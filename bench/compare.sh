#!/usr/bin/env bash
# compare.sh - qz7 side by side with peer archivers on the benchmark corpus.
#
# Measures, in one run on one warmed corpus:
#   create   wall, CPU, peak RSS and output size: qz7 (--comp auto, 1 and 8
#            threads), zip, SquashFS (lz4 high compression), tar + zstd -19,
#            7-Zip non-solid, SQLite archive; and per-file `lz4 -12` as the
#            size reference
#   extract  wall and peak RSS of extracting everything, next to the floor of
#            pread + raw decompression + write (bench/peers/random_reads.cpp)
#            and a plain copy of the tree
#   reads    10000 random single-file reads in-process (fixed seed): qz7lib
#            readFile, pread + raw decompression, libzip, plain open + read
#   codecs   `lz4 -b12` and `zstd -b22` per-core speeds on a corpus sample
# and writes performance.md and performance.png from the figures into the work
# directory, or with --update-docs over the committed ones in docs/.
#
# Usage: bench/compare.sh [--big] [--update-docs] [--build-dir DIR] [--work-dir DIR] [--reads N]
#   --big          the big corpus (default: the small one)
#   --update-docs  write the report to docs/ instead of the work directory
#   --build-dir    the build to take qz7 and random_reads from (default:
#                  build/bench, a Release build of its own); configured with
#                  the benchmarks on, then brought up to date
#   --work-dir     scratch space for archives, trees and the report (default
#                  /tmp/qz7-compare); its tree/, archives/ and chart/ are replaced
#   --reads        number of random reads (default 10000)
#
# What the build and the measurements need is installed from Debian with
# `scripts/install-deps.sh bench` when missing. The corpus comes from
# bench/corpus.sh and is reused when present. Extractions write into tmpfs
# (/dev/shm) when it is there, so that file-creation cost on a shared disk
# does not drown the figures.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIG=0
BUILD_DIR="$REPO/build/bench"
WORK="/tmp/qz7-compare"
UPDATE_DOCS=0
READS=10000
SEED=42
THREADS_MANY=8

while (( $# )); do
  case "$1" in
    --big) BIG=1 ;;
    --update-docs) UPDATE_DOCS=1 ;;
    --build-dir) BUILD_DIR="$(realpath -m "$2")"; shift ;;
    --work-dir) WORK="$(realpath -m "$2")"; shift ;;
    --reads) READS="$2"; shift ;;
    -h|--help) sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 1 ;;
  esac
  shift
done

CORPUS_SCRIPT="$REPO/bench/corpus.sh"
if (( BIG )); then CORPUS=/tmp/qz7corpus; CORPUS_NAME=big; else CORPUS=/tmp/qz7corpus-small; CORPUS_NAME=small; fi
TREE="$WORK/tree"        # the corpus without the case-colliding names
ARCHIVES="$WORK/archives"
if [[ -d /dev/shm && -w /dev/shm ]]; then OUTROOT="/dev/shm/qz7-compare-out"; else OUTROOT="$WORK/out"; fi
if (( UPDATE_DOCS )); then REPORT_DIR="$REPO/docs"; else REPORT_DIR="$WORK"; fi
QZ7="$BUILD_DIR/qz7"
READER="$BUILD_DIR/bench/random_reads"

log() { printf '== %s\n' "$*" >&2; }

# ---------------------------------------------------------------- setup

# Builds qz7 and random_reads in BUILD_DIR. A new build directory becomes a
# Release build without tests; an existing one keeps its generator, build type
# and options, except that the benchmarks are turned on (random_reads is one).
build_qz7() {
  local configure=(cmake -S "$REPO" -B "$BUILD_DIR" -DQZ7_BUILD_BENCH=ON)
  if [[ ! -f "$BUILD_DIR/CMakeCache.txt" ]]; then
    configure+=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DQZ7_BUILD_TESTS=OFF)
  fi
  log "building qz7 and random_reads in $BUILD_DIR"
  local output
  if ! output=$("${configure[@]}" 2>&1) ||
     ! output=$(cmake --build "$BUILD_DIR" --target qz7 random_reads 2>&1); then
    printf '%s\n' "$output" >&2
    exit 1
  fi
}

prepare_tree() {
  [[ -d "$CORPUS" ]] || { log "building the $CORPUS_NAME corpus"; \
    if (( BIG )); then "$CORPUS_SCRIPT"; else "$CORPUS_SCRIPT" --small; fi; }
  # Only what this script makes: the work directory may be one the user keeps.
  rm -rf "$TREE" "$ARCHIVES" "$WORK/chart" "$OUTROOT"
  mkdir -p "$WORK" "$ARCHIVES" "$OUTROOT"
  cp -al "$CORPUS" "$TREE" 2>/dev/null || cp -a "$CORPUS" "$TREE"
  # qz7 entry names are case-insensitive and refuses names that differ only in
  # case; every tool gets the same tree, without the upper-case member of each pair.
  COLLIDING=$(cd "$TREE" && find . -type f | awk '{ l = tolower($0); n[l]++; p[l] = p[l] $0 "\n" }
      END { for (l in n) if (n[l] > 1) printf "%s", p[l] }' | grep '[A-Z][^/]*$' || true)
  REMOVED=0
  while IFS= read -r f; do
    [[ -n "$f" ]] || continue
    rm -f "$TREE/$f"; REMOVED=$((REMOVED + 1))
  done <<< "$COLLIDING"
  FILES=$(find "$TREE" -type f | wc -l)
  BYTES=$(find "$TREE" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }')
  log "tree: $FILES files, $BYTES bytes ($REMOVED case-colliding files left out)"
  # Warm the page cache: every tool then reads the tree from memory.
  tar -cf - -C "$TREE" . > /dev/null
}

# ---------------------------------------------------------------- measuring

declare -A WALL CPU RSS SIZE
LABELS_CREATE=() LABELS_EXTRACT=()

# timed KEY DIR CMD...: runs CMD in DIR under /usr/bin/time; keeps the run's
# wall seconds, CPU seconds (user + system) and peak RSS (KiB) under KEY.
timed() {
  local key="$1" dir="$2"; shift 2
  local out="$WORK/time.$$"
  ( cd "$dir" && /usr/bin/time -f '%e %U %S %M' -o "$out" "$@" > /dev/null )
  read -r wall user sys rss < "$out"
  WALL[$key]=$wall
  CPU[$key]=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  RSS[$key]=$rss
}

# best_of N KEY SETUP DIR CMD...: N runs of timed, SETUP (a function name)
# before each; keeps the run with the lowest wall time.
best_of() {
  local n="$1" key="$2" setup="$3" dir="$4"; shift 4
  local best_wall="" best_cpu="" best_rss="" i
  for (( i = 0; i < n; i++ )); do
    "$setup"
    timed "$key" "$dir" "$@"
    if [[ -z "$best_wall" ]] || awk -v a="${WALL[$key]}" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then
      best_wall=${WALL[$key]} best_cpu=${CPU[$key]} best_rss=${RSS[$key]}
    fi
  done
  WALL[$key]=$best_wall CPU[$key]=$best_cpu RSS[$key]=$best_rss
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "n/a"; else printf "%.2f", a / b }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

no_setup() { :; }

create_archives() {
  local a="$ARCHIVES"
  log "create: qz7"
  rm_qz7() { rm -f "$a/qz7.kvz"; }
  best_of 2 "c/qz7 t1" rm_qz7 "$TREE" "$QZ7" archive "$a/qz7.kvz" --comp auto --threads 1 '**/*'
  best_of 2 "c/qz7 t$THREADS_MANY" rm_qz7 "$TREE" "$QZ7" archive "$a/qz7.kvz" --comp auto \
    --threads "$THREADS_MANY" '**/*'
  SIZE["c/qz7 t1"]=$(stat -c %s "$a/qz7.kvz"); SIZE["c/qz7 t$THREADS_MANY"]=${SIZE["c/qz7 t1"]}
  LABELS_CREATE+=("qz7 t1" "qz7 t$THREADS_MANY")

  log "create: zip"
  rm -f "$a/peer.zip"
  timed "c/zip" "$TREE" zip -r -q -X "$a/peer.zip" .
  SIZE[c/zip]=$(stat -c %s "$a/peer.zip")

  log "create: squashfs"
  timed "c/squashfs" "$TREE" mksquashfs . "$a/peer.sqfs" -noappend -quiet -no-progress -comp lz4 -Xhc
  SIZE[c/squashfs]=$(stat -c %s "$a/peer.sqfs")

  log "create: tar + zstd"
  timed "c/tar+zstd" "$TREE" bash -c "tar -cf - . | zstd -q -19 -T0 -f -o '$a/peer.tar.zst'"
  SIZE[c/tar+zstd]=$(stat -c %s "$a/peer.tar.zst")

  log "create: 7-Zip"
  rm -f "$a/peer.7z"
  timed "c/7z" "$TREE" 7z a -bd -bso0 -ms=off -mmt=on "$a/peer.7z" .
  SIZE[c/7z]=$(stat -c %s "$a/peer.7z")

  log "create: SQLite archive"
  rm -f "$a/peer.sqlar"
  # shellcheck disable=SC2046  # the top-level names of the tree, as separate arguments
  timed "c/sqlar" "$TREE" sqlite3 "$a/peer.sqlar" -Ac $(ls -A "$TREE")
  SIZE[c/sqlar]=$(stat -c %s "$a/peer.sqlar")
  LABELS_CREATE+=(zip squashfs tar+zstd 7z sqlar)

  log "create: per-file lz4 -12"
  local lz4tree="$OUTROOT/lz4tree"
  rm -rf "$lz4tree"; cp -a "$TREE" "$lz4tree"
  timed "c/lz4 -12 per file" "$lz4tree" bash -c \
    "find . -type f -print0 | xargs -0 -n 1000 lz4 -12 -m -q --rm"
  SIZE["c/lz4 -12 per file"]=$(find "$lz4tree" -type f -name '*.lz4' -printf '%s\n' |
    awk '{ s += $1 } END { printf "%d", s }')
  rm -rf "$lz4tree"
}

extract_archives() {
  local a="$ARCHIVES" x="$OUTROOT/x"
  fresh() { rm -rf "$x"; mkdir -p "$x"; }
  fresh_absent() { rm -rf "$x"; }
  log "extract"
  best_of 3 "x/qz7" fresh "$x" "$QZ7" extract "$a/qz7.kvz"
  best_of 3 "x/qz7 floor" fresh_absent "$OUTROOT" "$READER" extract "$a/qz7.kvz" "$x"
  best_of 3 "x/zip" fresh "$x" unzip -q "$a/peer.zip"
  best_of 3 "x/squashfs" fresh_absent "$OUTROOT" unsquashfs -q -n -d "$x" "$a/peer.sqfs"
  best_of 3 "x/tar+zstd" fresh "$x" tar -I zstd -xf "$a/peer.tar.zst"
  best_of 3 "x/7z" fresh "$x" 7z x -bd -bso0 "$a/peer.7z"
  best_of 3 "x/sqlar" fresh "$x" sqlite3 "$a/peer.sqlar" -Ax
  best_of 3 "x/copy" fresh_absent "$OUTROOT" cp -r "$TREE" "$x"
  rm -rf "$x"
  LABELS_EXTRACT=("qz7" "qz7 floor" zip squashfs tar+zstd 7z sqlar copy)
}

declare -A READ_SECONDS
random_reads() {
  log "random reads: $READS, seed $SEED"
  local reader bytes seconds
  while IFS=$'\t' read -r reader _ bytes seconds; do
    READ_SECONDS[$reader]=$seconds
    READ_BYTES=$bytes
  done < <("$READER" reads "$TREE" "$ARCHIVES/qz7.kvz" "$ARCHIVES/peer.zip" --reads "$READS" --seed "$SEED")
}

codec_speeds() {
  log "codec speeds"
  local sample="$OUTROOT/sample.tar"
  # The first 16 MiB of the tree as one stream: text, images and binaries mixed.
  (tar -cf - -C "$TREE" . || true) | head -c $((16 * 1048576)) > "$sample"
  # "12#sample.tar : 16777216 -> 6684367 (2.510), 39.0 MB/s ,4190.5 MB/s"
  codec_line() { "$@" 2>&1 | tr '\r' '\n' | grep 'MB/s' | tail -n 1; }
  LZ4_LINE=$(codec_line lz4 -b12 -i1 "$sample")
  ZSTD_LINE=$(codec_line zstd -b22 -i1 "$sample")
  speeds() { grep -o '[0-9.]* *MB/s' <<< "$1" | grep -o '^[0-9.]*' | paste -sd' '; }
  read -r LZ4_C LZ4_D <<< "$(speeds "$LZ4_LINE")"
  read -r ZSTD_C ZSTD_D <<< "$(speeds "$ZSTD_LINE")"
  rm -f "$sample"
}

# ---------------------------------------------------------------- report

write_report() {
  local md="$REPORT_DIR/performance.md" many="qz7 t$THREADS_MANY" k
  mkdir -p "$REPORT_DIR"
  read -r ENTRIES STORED _ ARCHIVE_BYTES <<< "$("$READER" stats "$ARCHIVES/qz7.kvz")"
  local index_bytes=$(( 48 + 304 * ENTRIES ))
  local padding=$(( ARCHIVE_BYTES - index_bytes - STORED ))
  local lz4sum=${SIZE["c/lz4 -12 per file"]}
  local speedup; speedup=$(ratio "${WALL["c/qz7 t1"]}" "${WALL["c/$many"]}")
  local size_ratio; size_ratio=$(ratio "$ARCHIVE_BYTES" "$lz4sum")
  local data_ratio; data_ratio=$(ratio "$STORED" "$lz4sum")
  local x_zip; x_zip=$(ratio "${WALL[x/zip]}" "${WALL[x/qz7]}")
  local x_floor; x_floor=$(ratio "${WALL[x/qz7]}" "${WALL["x/qz7 floor"]}")
  local r_zip; r_zip=$(ratio "${READ_SECONDS[libzip]}" "${READ_SECONDS[qz7]}")
  local r_floor; r_floor=$(ratio "${READ_SECONDS[qz7]}" "${READ_SECONDS[pread-decompress]}")
  local r_verify; r_verify=$(ratio "${READ_SECONDS[qz7-verify]}" "${READ_SECONDS[pread-decompress]}")
  local r_files; r_files=$(ratio "${READ_SECONDS[files]}" "${READ_SECONDS[qz7]}")
  verdict() { awk -v v="$1" -v t="$2" -v dir="$3" 'BEGIN {
    ok = (dir == "ge") ? (v >= t) : (v <= t); print ok ? "met" : "**missed**" }'; }

  {
    echo "# Performance next to peer archivers"
    echo
    echo "Generated by \`bench/compare.sh\` on $(date -u +%Y-%m-%d) — do not edit by hand."
    echo
    echo "Corpus: the $CORPUS_NAME corpus of \`bench/corpus.sh\`, $FILES files, $(mib "$BYTES") MiB."
    echo "$REMOVED header files that differ from another only in letter case were left out for"
    echo "every tool, since qz7 refuses such pairs. qz7 archives the tree with the glob \`**/*\`"
    echo "from inside it (a directory input would skip names without a '.')."
    echo "Machine: $(nproc) hardware threads, load average $(cut -d' ' -f1-3 /proc/loadavg) at the"
    echo "end of the run. The machine is shared: compare ratios, not absolute times."
    echo
    echo "## Targets"
    echo
    echo "| target | measured | |"
    echo "|---|---|---|"
    echo "| creation, $THREADS_MANY threads vs 1 thread, ≥ 5x faster | ${speedup}x | $(verdict "$speedup" 5 ge) |"
    echo "| size with \`--comp auto\` vs sum of per-file \`lz4 -12\`, ≤ 1.02 | ${size_ratio} (stored blocks alone: ${data_ratio}) | $(verdict "$size_ratio" 1.02 le) |"
    echo "| extraction ahead of unzip | unzip takes ${x_zip}x qz7's time | $(verdict "$x_zip" 1 ge) |"
    echo "| extraction within 1.3x of pread + decompress + write | ${x_floor}x | $(verdict "$x_floor" 1.3 le) |"
    echo "| random reads ahead of libzip | libzip takes ${r_zip}x qz7's time | $(verdict "$r_zip" 1 ge) |"
    echo "| random reads within 1.3x of pread + decompress | ${r_floor}x (with hash check: ${r_verify}x) | $(verdict "$r_floor" 1.3 le) |"
    echo
    echo "## Create"
    echo
    echo "| tool | wall s | CPU s | peak RSS MiB | size MiB | size vs lz4 -12 per file |"
    echo "|---|---:|---:|---:|---:|---:|"
    for k in "${LABELS_CREATE[@]}" "lz4 -12 per file"; do
      printf '| %s | %s | %s | %s | %s | %s |\n' "$k" "${WALL[c/$k]}" "${CPU[c/$k]}" \
        "$(mib $(( RSS[c/$k] * 1024 )))" "$(mib "${SIZE[c/$k]}")" "$(ratio "${SIZE[c/$k]}" "$lz4sum")"
    done
    echo
    echo "qz7 t1 and t$THREADS_MANY: \`qz7 archive --comp auto --threads N\`. zip: \`zip -r\` (deflate 6)."
    echo "squashfs: \`mksquashfs -comp lz4 -Xhc\`. tar+zstd: \`tar | zstd -19 -T0\` (solid, no random"
    echo "access). 7z: \`7z a -ms=off\` (LZMA2, non-solid). sqlar: \`sqlite3 -Ac\` (deflate per file)."
    echo "lz4 -12 per file: \`lz4 -12 -m\`, one frame per file; its time is not comparable (separate"
    echo "processes), its size is the reference."
    echo
    echo "qz7's archive: $ENTRIES entries, $(mib "$STORED") MiB of stored blocks, $(mib "$index_bytes") MiB of"
    echo "headers and index ($(( index_bytes / ENTRIES )) bytes per entry) and $(mib "$padding") MiB of"
    echo "padding to 64-byte block boundaries."
    echo
    echo "## Extract everything"
    echo
    echo "| tool | wall s | CPU s | peak RSS MiB | time vs qz7 |"
    echo "|---|---:|---:|---:|---:|"
    for k in "${LABELS_EXTRACT[@]}"; do
      printf '| %s | %s | %s | %s | %s |\n' "$k" "${WALL[x/$k]}" "${CPU[x/$k]}" \
        "$(mib $(( RSS[x/$k] * 1024 )))" "$(ratio "${WALL[x/$k]}" "${WALL[x/qz7]}")"
    done
    echo
    echo "Best of three runs each, into tmpfs. qz7: \`qz7 extract\` (hash check of every block)."
    echo "qz7 floor: one pread, one raw decompression and one write per entry, no hash check"
    echo "(\`random_reads extract\`). copy: \`cp -r\` of the unpacked tree, no archive at all."
    echo
    echo "## Random single-file reads"
    echo
    echo "$READS reads of files picked at random (seed $SEED), $(mib "$READ_BYTES") MiB in all, in one"
    echo "process, after a warming pass; best of three passes."
    echo
    echo "| reader | total s | µs per read | time vs qz7 |"
    echo "|---|---:|---:|---:|"
    for k in qz7 qz7-verify pread-decompress libzip files; do
      [[ -n "${READ_SECONDS[$k]:-}" ]] || continue
      printf '| %s | %s | %s | %s |\n' "$k" "${READ_SECONDS[$k]}" \
        "$(awk -v s="${READ_SECONDS[$k]}" -v n="$READS" 'BEGIN { printf "%.2f", s * 1e6 / n }')" \
        "$(ratio "${READ_SECONDS[$k]}" "${READ_SECONDS[qz7]}")"
    done
    echo
    echo "qz7: \`readFile\` without, qz7-verify: with the block hash check. pread-decompress:"
    echo "one pread and the raw codec call per read. libzip: \`zip_fopen_index\` + \`zip_fread\`."
    echo "files: open + read + close of the unpacked file (plain files read ${r_files}x slower than qz7)."
    echo
    echo "## Codec speeds per core"
    echo
    echo "| codec | compress MB/s | decompress MB/s |"
    echo "|---|---:|---:|"
    echo "| lz4 -12 (\`lz4 -b12\`) | ${LZ4_C:-?} | ${LZ4_D:-?} |"
    echo "| zstd -22 (\`zstd -b22\`) | ${ZSTD_C:-?} | ${ZSTD_D:-?} |"
    echo
    echo "On the first 16 MiB of the tree as one tar stream, a sample that need not compress like"
    echo "the whole corpus. The floor for \`qz7 archive --threads 1\` is one core compressing every"
    echo "file with lz4 -12, the codec of \`--comp auto\`: the per-file lz4 -12 run above measures it"
    echo "at ${CPU["c/lz4 -12 per file"]} s of CPU time, lz4's own reading and writing of the files included"
    echo "(the codec alone needs somewhat less), against ${WALL["c/qz7 t1"]} s for qz7 t1."
    echo
    echo "![qz7 and peers](performance.png)"
    echo
    echo "## Conclusions"
    echo
    echo "- Random reads: qz7 reads a file ${r_zip}x faster than libzip and ${r_files}x faster than"
    echo "  opening the unpacked file, and takes ${r_floor}x the time of pread plus the raw codec call."
    echo "- Extraction: unzip takes ${x_zip}x qz7's time; qz7 takes ${x_floor}x the floor of"
    echo "  pread + decompress + write."
    echo "- Creation: $THREADS_MANY threads are ${speedup}x faster than 1 thread on this machine"
    echo "  (CPU time ${CPU["c/qz7 t1"]} s vs ${CPU["c/$many"]} s)."
    echo "- Size: the archive is ${size_ratio}x the per-file lz4 -12 sum; its stored blocks alone"
    echo "  are ${data_ratio}x. The rest is the fixed $(( index_bytes / ENTRIES ))-byte index entry per file and the"
    echo "  64-byte block alignment, which weigh heavily on a corpus of small files."
  } > "$md"
  log "wrote $md"
}

write_chart() {
  local data="$WORK/chart" k lz4sum=${SIZE["c/lz4 -12 per file"]}
  mkdir -p "$data"
  : > "$data/create"; : > "$data/size"; : > "$data/extract"; : > "$data/reads"
  for k in "${LABELS_CREATE[@]}"; do
    printf '"%s" %s\n' "$k" "${WALL[c/$k]}" >> "$data/create"
    printf '"%s" %s\n' "$k" "$(mib "${SIZE[c/$k]}")" >> "$data/size"
  done
  printf '"%s" %s\n' "lz4 -12 per file" "$(mib "$lz4sum")" >> "$data/size"
  for k in "${LABELS_EXTRACT[@]}"; do printf '"%s" %s\n' "$k" "${WALL[x/$k]}" >> "$data/extract"; done
  for k in qz7 qz7-verify pread-decompress libzip files; do
    [[ -n "${READ_SECONDS[$k]:-}" ]] || continue
    printf '"%s" %s\n' "$k" "$(awk -v s="${READ_SECONDS[$k]}" -v n="$READS" 'BEGIN { printf "%.3f", s * 1e6 / n }')" >> "$data/reads"
  done
  gnuplot <<EOF
set terminal pngcairo size 1400,1000 font "sans,11"
set output "$REPORT_DIR/performance.png"
set style fill solid 0.7 border -1
set boxwidth 0.7
set grid ytics
set xtics rotate by -30
unset key
set yrange [0:*]
set multiplot layout 2,2 title "qz7 and peer archivers, $CORPUS_NAME corpus ($FILES files, $(mib "$BYTES") MiB)"
set title "create: wall seconds"
plot "$data/create" using 0:2:xtic(1) with boxes lc rgb "#4472c4"
set title "archive size: MiB"
plot "$data/size" using 0:2:xtic(1) with boxes lc rgb "#70ad47"
set title "extract everything: wall seconds"
plot "$data/extract" using 0:2:xtic(1) with boxes lc rgb "#ed7d31"
set title "random single-file read: microseconds"
plot "$data/reads" using 0:2:xtic(1) with boxes lc rgb "#a5a5a5"
unset multiplot
EOF
  log "wrote $REPORT_DIR/performance.png"
}

"$REPO/scripts/install-deps.sh" bench >&2
build_qz7
prepare_tree
create_archives
extract_archives
random_reads
codec_speeds
write_report
write_chart
rm -rf "$OUTROOT" "$WORK/time.$$"
