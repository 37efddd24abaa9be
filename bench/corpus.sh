#!/usr/bin/env bash
# corpus.sh - builds the benchmark corpus: real files from pinned Debian 12
# (bookworm) packages, fetched with `apt-get download` and unpacked with `dpkg -x`.
#
# Usage: bench/corpus.sh [--small] [OUTDIR]
#   (big)     OUTDIR defaults to /tmp/qz7corpus:       about 665 MiB in 47,112 files
#   --small   OUTDIR defaults to /tmp/qz7corpus-small: about 62 MiB in 10,103 files
#   QZ7_DEB_CACHE  where the .deb files are kept between runs (default /tmp/qz7debs)
#
# The big corpus mixes game data (PNG, OGG, WAD, Lua and cfg text), C and C++
# headers and sources, documentation, ELF libraries, icon themes and fonts; about
# a quarter of its bytes are already compressed. Symbolic links are removed after
# unpacking, so that every archiver sees the same regular files; empty
# directories stay. OUTDIR is made afresh on every run; cached .debs are reused.
#
# Each package is fetched at its pinned version. Debian point releases drop
# superseded versions from the mirrors: a pinned version that is gone is replaced
# by the current one, with a warning. OUTDIR.manifest, beside OUTDIR, lists the
# package, version, SHA-256 and file name of every .deb actually unpacked.
#
# Needs apt-get with current package lists (`apt-get update`), dpkg and coreutils.
set -euo pipefail

small=0
if [[ "${1:-}" == "--small" ]]; then small=1; shift; fi
if (( small )); then out=${1:-/tmp/qz7corpus-small}; else out=${1:-/tmp/qz7corpus}; fi
cache=${QZ7_DEB_CACHE:-/tmp/qz7debs}
manifest="$out.manifest"

big_packages=(
  # game data and assets
  wesnoth-1.16-data=1:1.16.9-1
  freedoom=0.12.1-2
  frozen-bubble-data=2.212-11
  sound-theme-freedesktop=0.8-2
  # C and C++ headers and sources, build scripts, scripting-language sources
  linux-libc-dev=6.1.192-3
  libc6-dev=2.36-9+deb12u14
  libstdc++-12-dev=12.2.0-14+deb12u1
  libeigen3-dev=3.4.0-4
  libglm-dev=0.9.9.8+ds-6
  nlohmann-json3-dev=3.11.2-2
  libvulkan-dev=1.3.239.0-1
  libssl-dev=3.0.22-1~deb12u2
  libglib2.0-dev=2.74.6-2+deb12u9
  libgtk-3-dev=3.24.38-2~deb12u3
  qtbase5-dev=5.15.8+dfsg-11+deb12u3
  libsdl2-dev=2.26.5+dfsg-1
  cmake-data=3.25.1-1
  libpython3.11-stdlib=3.11.2-6+deb12u9
  perl-modules-5.36=5.36.0-7+deb12u4
  # documentation: HTML, reST sources, gzipped manual pages
  python3.11-doc=3.11.2-6+deb12u9
  manpages=6.03-2
  manpages-dev=6.03-2
  git-man=1:2.39.5-0+deb12u3
  # shared libraries and executables
  cpp-12=12.2.0-14+deb12u1
  libicu72=72.1-3+deb12u1
  libqt5core5a=5.15.8+dfsg-11+deb12u3
  libqt5gui5=5.15.8+dfsg-11+deb12u3
  libgtk-3-0=3.24.38-2~deb12u3
  # icons (PNG and SVG) and fonts (TTF and OTF)
  adwaita-icon-theme=43-1
  hicolor-icon-theme=0.17-2
  breeze-icon-theme=4:5.103.0-1
  fonts-noto-core=20201225-1
  fonts-dejavu-core=2.37-6
  fonts-liberation2=2.1.5-1
)
small_packages=(
  linux-libc-dev=6.1.192-3
  libpython3.11-stdlib=3.11.2-6+deb12u9
  adwaita-icon-theme=43-1
  frozen-bubble-data=2.212-11
  fonts-dejavu-core=2.37-6
  libqt5core5a=5.15.8+dfsg-11+deb12u3
)
if (( small )); then packages=("${small_packages[@]}"); else packages=("${big_packages[@]}"); fi

# cached_deb PACKAGE [VERSION]: the cached .deb of the package at that version,
# or without a version its newest; nothing when there is none.
cached_deb() {
  local package=$1 version=${2:-} file best=""
  for file in "$cache/${package}"_*.deb; do
    [[ -e "$file" && "$(dpkg-deb -f "$file" Package)" == "$package" ]] || continue
    if [[ -n "$version" ]]; then
      [[ "$(dpkg-deb -f "$file" Version)" == "$version" ]] && best=$file
    elif [[ -z "$best" ]] ||
         dpkg --compare-versions "$(dpkg-deb -f "$file" Version)" gt "$(dpkg-deb -f "$best" Version)"; then
      best=$file
    fi
  done
  echo "$best"
}

download() { (cd "$cache" && apt-get download -q=2 "$1" >/dev/null 2>&1); }

# The pinned version, else the current one.
fetch() {
  local package=$1 version=$2 file
  file=$(cached_deb "$package" "$version")
  if [[ -z "$file" ]] && download "$package=$version"; then
    file=$(cached_deb "$package" "$version")
  fi
  if [[ -z "$file" ]]; then
    echo "WARNING: $package=$version cannot be downloaded; using the current version" >&2
    download "$package" || { echo "ERROR: apt-get download $package failed (apt-get update?)" >&2; return 1; }
    file=$(cached_deb "$package")
  fi
  echo "$file"
}

mkdir -p "$cache"
: > "$manifest.partial"
for pin in "${packages[@]}"; do
  deb=$(fetch "${pin%%=*}" "${pin#*=}")
  printf '%s\t%s\t%s\t%s\n' "$(dpkg-deb -f "$deb" Package)" "$(dpkg-deb -f "$deb" Version)" \
    "$(sha256sum "$deb" | cut -d' ' -f1)" "$(basename "$deb")" >> "$manifest.partial"
done
mv "$manifest.partial" "$manifest"

rm -rf "$out"
mkdir -p "$out"
while IFS=$'\t' read -r _ _ _ deb; do
  dpkg -x "$cache/$deb" "$out"
done < "$manifest"
find "$out" -type l -delete
# Readable by every user, whatever modes the packages ship.
chmod -R u+rwX,go+rX "$out"

files=$(find "$out" -type f | wc -l)
bytes=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }')
echo "corpus: $out  files=$files  bytes=$bytes ($(awk -v b="$bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }'))"
echo "manifest: $manifest"
