#!/usr/bin/env bash
# Installs the Debian 12 packages that qz7 needs, when missing:
#   install-deps.sh tool   building the qz7 tool and the library
#   install-deps.sh test   the same, plus the test suites, benchmarks and fuzzing
#   install-deps.sh bench  the tool, the benchmark programs, the archivers and
#                          plotting that bench/compare.sh measures and draws with,
#                          and perf for bench/update_compare.sh --per-thread
# Quiet when everything is already present.
set -euo pipefail

tool_packages=(
  build-essential cmake ninja-build pkg-config
  libzstd-dev liblz4-dev libxxhash-dev libfmt-dev libargs-dev
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  zstd lz4 util-linux
)
bench_packages=(
  libbenchmark-dev libzip-dev
  zip unzip squashfs-tools zstd lz4 p7zip-full sqlite3 gnuplot-nox time linux-perf
)

case "${1:-}" in
  tool) packages=("${tool_packages[@]}") ;;
  test) packages=("${tool_packages[@]}" "${test_packages[@]}") ;;
  bench) packages=("${tool_packages[@]}" "${bench_packages[@]}") ;;
  *) echo "usage: $0 tool|test|bench" >&2; exit 1 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
