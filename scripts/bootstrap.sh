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
# fetch_source PACKAGE FOLDER: apt-get source PACKAGE, unpacked into FOLDER.
fetch_source() {
  local package=$1 dir=$2 tmp
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
  mkdir -p "$root/third_party"
  rm -rf "$dir"
  mv "$tmp/src" "$dir"
  rm -rf "$tmp"
}

if [ -z "${LZMA_SDK_DIR:-}" ] && [ ! -f "$sdk_dir/C/7zArcIn.c" ]; then
  fetch_source 7zip "$sdk_dir"
  echo "bootstrap: LZMA SDK sources in $sdk_dir"
fi
if [ -z "${ISAL_DIR:-}" ] && [ ! -f "$isal_dir/crc/crc_multibinary.asm" ]; then
  fetch_source libisal "$isal_dir"
  echo "bootstrap: ISA-L sources in $isal_dir"
fi

