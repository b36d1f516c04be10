#!/usr/bin/env bash
# Idempotent set-up: installs only what is missing from Debian's packages,
# fetches the LZMA SDK sources (Debian's 7zip source package) and ISA-L's
# (libisal, for its CRC-32) into third_party/.
#
#   scripts/bootstrap.sh [all]   what building and testing need (the default)
#   scripts/bootstrap.sh build   what building needs, no more: the compilers,
#                                the assembler of the CRC kernels, the headers
#                                and sources the tools build on, zip for the
#                                release bundles (scripts/release.sh uses this)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sdk_dir="$root/third_party/7zip"
isal_dir="$root/third_party/isa-l"
part=${1:-all}
case "$part" in
  build|all) ;;
  *) echo "usage: scripts/bootstrap.sh [build|all]" >&2; exit 2 ;;
esac

need_pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
build_pkgs=(cmake g++ make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix nasm dpkg-dev xz-utils
            libstb-dev nlohmann-json3-dev zip binutils-mingw-w64-x86-64)
test_pkgs=(googletest libgtest-dev wine64 7zip osslsigncode openssl clang libclang-rt-14-dev python3 time
           python3-yaml jq curl)
wanted=("${build_pkgs[@]}")
[ "$part" = build ] || wanted+=("${test_pkgs[@]}")
for p in "${wanted[@]}"; do
  have "$p" || need_pkgs+=("$p")
done

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
updated=0
apt_update() { [ $updated = 1 ] || { sudo_ apt-get update -qq; updated=1; }; }

if [ ${#need_pkgs[@]} -gt 0 ]; then
  echo "bootstrap: installing ${need_pkgs[*]}"
  apt_update
  sudo_ env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
fi

# Source packages unpacked into third_party/ (never committed): the LZMA SDK's
# C sources from Debian's 7zip, the CRC-32 from ISA-L (Debian's libisal).
# fetch_source PACKAGE FOLDER [CHECK]: apt-get source PACKAGE, unpacked into
# FOLDER; CHECK, given the unpacked tree, may refuse it, and then nothing moves.
fetch_source() {
  local package=$1 dir=$2 check=${3:-} tmp
  tmp=$(mktemp -d)
  fetch() { (cd "$tmp" && apt-get source -qq --download-only "$package" >/dev/null 2>&1); }
  apt_update
  if ! fetch; then
    # Enable source entries for the suites already configured, then retry.
    src=/etc/apt/sources.list.d/vorlane-deb-src.sources
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | sudo_ tee "$src" >/dev/null
    else
      grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' | sudo_ tee /etc/apt/sources.list.d/vorlane-deb-src.list >/dev/null
    fi
    sudo_ apt-get update -qq
    fetch
  fi
  (cd "$tmp" && dpkg-source -x --skip-patches ./*.dsc src >/dev/null 2>&1 || dpkg-source -x ./*.dsc src >/dev/null)
  if [ -n "$check" ] && ! "$check" "$tmp/src"; then
    rm -rf "$tmp"
    exit 1
  fi
  mkdir -p "$root/third_party"
  rm -rf "$dir"
  mv "$tmp/src" "$dir"
  rm -rf "$tmp"
}

# The oldest LZMA SDK the code builds with; cmake/lzma_sdk.cmake keeps the number.
sdk_floor=$(sed -nE 's/^set\(LZMA_SDK_MIN_VERSION ([0-9]+\.[0-9]+)\)$/\1/p' "$root/cmake/lzma_sdk.cmake")
# sdk_version TREE: the SDK's own version (C/7zVersion.h), e.g. 26.02; empty when it cannot tell.
sdk_version() {
  local major minor
  major=$(sed -nE 's/^#define MY_VER_MAJOR ([0-9]+)[[:space:]]*$/\1/p' "$1/C/7zVersion.h" 2>/dev/null)
  minor=$(sed -nE 's/^#define MY_VER_MINOR ([0-9]+)[[:space:]]*$/\1/p' "$1/C/7zVersion.h" 2>/dev/null)
  [ -z "$major" ] || [ -z "$minor" ] || printf '%d.%02d\n' "$((10#$major))" "$((10#$minor))"
}
# sdk_check TREE WHAT: refuses, with the fix, an SDK older than the floor.
sdk_check() {
  local version number=0 floor
  version=$(sdk_version "$1")
  [ -z "$version" ] || number=$((10#${version%.*} * 100 + 10#${version#*.}))
  floor=$((10#${sdk_floor%.*} * 100 + 10#${sdk_floor#*.}))
  [ "$number" -lt "$floor" ] || return 0
  {
    echo "bootstrap: $2 holds the LZMA SDK ${version:-of unknown version (no C/7zVersion.h)};"
    echo "  this code needs $sdk_floor or newer (SHA-512, the stream interfaces of 23.01)."
    echo "  Debian 12's 7zip source has it from 22.01+really25.01 on: enable the bookworm-security"
    echo "  suite or a current point release in /etc/apt/sources.list.d/, or set LZMA_SDK_DIR to"
    echo "  an SDK of $sdk_floor or newer.${3:+ $3}"
  } >&2
  return 1
}
sdk_fetched_check() {
  sdk_check "$1" "apt-get source 7zip ($(dpkg-parsechangelog -l "$1/debian/changelog" -S Version))"
}
# What was fetched, for the notices and for whoever asks: the Debian source
# version and the SDK's own.
sdk_record() {
  printf 'debian-source %s\nlzma-sdk %s\n' "$(dpkg-parsechangelog -l "$1/debian/changelog" -S Version)" \
         "$(sdk_version "$1")" > "$root/third_party/7zip.source"
}

if [ -n "${LZMA_SDK_DIR:-}" ]; then
  sdk_check "$LZMA_SDK_DIR" "LZMA_SDK_DIR ($LZMA_SDK_DIR)" || exit 1
elif [ ! -f "$sdk_dir/C/7zArcIn.c" ]; then
  rm -f "$root/third_party/7zip.source"
  fetch_source 7zip "$sdk_dir" sdk_fetched_check
  sdk_record "$sdk_dir"
  echo "bootstrap: LZMA SDK $(sdk_version "$sdk_dir") sources in $sdk_dir" \
       "(Debian's 7zip source $(sed -n 's/^debian-source //p' "$root/third_party/7zip.source"))"
else
  sdk_check "$sdk_dir" "$sdk_dir" "To fetch it again, remove $sdk_dir and run the bootstrap." || exit 1
fi
if [ -z "${ISAL_DIR:-}" ] && [ ! -f "$isal_dir/crc/crc_multibinary.asm" ]; then
  fetch_source libisal "$isal_dir"
  echo "bootstrap: ISA-L sources in $isal_dir"
fi

