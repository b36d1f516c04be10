#!/usr/bin/env bash
# Builds the two bundles packagers download, with the build toolchain only
# (scripts/bootstrap.sh build: CMake, g++, mingw-w64, nasm; no Wine,
# GoogleTest, clang, Python or Node.js):
#
#   scripts/release.sh [OUT]              (default OUT: build/release)
#   scripts/release.sh --reuse-win64 DIR [OUT]
#                                         the launcher and the Windows tools from
#                                         DIR, a Windows tree already built, when
#                                         its settings are the release's (its tests
#                                         only add targets); else built as usual
#   scripts/release.sh --archives OUT     the archives again from OUT's unpacked
#                                         folders, nothing built
#
# OUT/vorlane-<version>-linux-x64/ and its .tar.gz: VorlaneLauncher.exe, the
# Linux vorlane-pack and vorlane-inspect (linked statically: they run without
# any of the toolchain), vorlane-run with vorlane-run-helper.exe, the docs.
# OUT/vorlane-<version>-windows-x64/ and its .zip: VorlaneLauncher.exe,
# vorlane-pack.exe, vorlane-inspect.exe, the docs.
# Both bundles hold the CMake module VorlanePackage.cmake and a README for
# packagers (docs/bundle/, followed by the launcher's contract taken from
# README.md); OUT/SHA256SUMS lists both archives' sums (sha256sum -c reads it).
#
# Byte-reproducible: Release builds name no build folder and carry no link
# time; the archives list their files in byte order of their names, with
# fixed owners (0) and modes (755 for the Linux tools, 644 for the rest), and
# every file time is SOURCE_DATE_EPOCH, else the last commit's time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
archives_only=0
reuse=
if [ "${1:-}" = --archives ]; then
  archives_only=1
  shift
  [ $# = 1 ] || { echo "usage: scripts/release.sh --archives OUT" >&2; exit 2; }
elif [ "${1:-}" = --reuse-win64 ]; then
  [ $# -ge 2 ] || { echo "usage: scripts/release.sh --reuse-win64 DIR [OUT]" >&2; exit 2; }
  reuse=$(cd "$2" && pwd)
  shift 2
fi
out=$(mkdir -p "${1:-$root/build/release}" && cd "${1:-$root/build/release}" && pwd)
version=$(sed -nE 's/^project\(Vorlane VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}
# zip keeps DOS times, which cannot go before 1980.
[ "$epoch" -ge 315532800 ] || epoch=315532800
linux="vorlane-$version-linux-x64"
windows="vorlane-$version-windows-x64"
# The programs of the Linux bundle; everything else is data.
programs=(vorlane-pack vorlane-inspect vorlane-run)

# The file times, modes and owners the archives record, whatever the folder
# had; then each archive written under a temporary name and renamed.
archive() {
  local name=$1 kind=$2
  [ -d "$out/$name" ] || { echo "release: $out/$name is missing" >&2; exit 1; }
  find "$out/$name" -type d -exec chmod 755 {} +
  find "$out/$name" -type f -exec chmod 644 {} +
  if [ "$kind" = tar ]; then
    for p in "${programs[@]}"; do
      [ ! -f "$out/$name/$p" ] || chmod 755 "$out/$name/$p"
    done
  fi
  find "$out/$name" -exec touch -h -d "@$epoch" {} +
  rm -f "$out/$name.tmp"
  if [ "$kind" = tar ]; then
    tar --sort=name --format=gnu --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
        -C "$out" -cf - "$name" | gzip -n -9 > "$out/$name.tmp"
    mv "$out/$name.tmp" "$out/$name.tar.gz"
  else
    # -X: no owners or extra times, -D: no folder entries; DOS times in UTC.
    (cd "$out" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -q -9 -@ "$name.tmp" >/dev/null)
    mv "$out/$name.tmp" "$out/$name.zip"
  fi
}

# The sums published beside the archives, in sha256sum's own format.
sums() {
  (cd "$out" && sha256sum "$linux.tar.gz" "$windows.zip") > "$out/SHA256SUMS.tmp"
  mv "$out/SHA256SUMS.tmp" "$out/SHA256SUMS"
}

report() {
  for f in "$out/$linux.tar.gz" "$out/$windows.zip"; do
    echo "release: $f ($(stat -c %s "$f") bytes, sha256 $(sha256sum "$f" | cut -c1-16)...)"
  done
  echo "release: $out/SHA256SUMS"
}

if [ $archives_only = 1 ]; then
  archive "$linux" tar
  archive "$windows" zip
  sums
  report
  exit 0
fi

"$root/scripts/bootstrap.sh" build
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

win64_targets=(VorlaneLauncher vorlane-pack vorlane-inspect vorlane-run-helper)
win64_programs=(VorlaneLauncher.exe tools/vorlane-pack.exe tools/vorlane-inspect.exe tools/vorlane-run-helper.exe)
# settings_differ RELEASE OTHER: the settings RELEASE's cache holds that OTHER's
# holds otherwise or lacks, by name. VORLANE_TESTS only adds targets, and a
# compiler launcher (ccache) compiles the same.
settings_differ() {
  awk 'FNR == 1 { n++ }
       /^(#|\/\/)/ || !/^[^=]+:[A-Z]+=/ { next }
       { name = substr($0, 1, index($0, ":") - 1); type = substr($0, index($0, ":") + 1)
         value = substr(type, index(type, "=") + 1); type = substr(type, 1, index(type, "=") - 1) }
       type == "INTERNAL" || type == "STATIC" || name == "VORLANE_TESTS" || name ~ /_COMPILER_LAUNCHER$/ { next }
       n == 1 { want[name] = value; next }
       { have[name] = value }
       END { for (k in want) if (!(k in have) || have[k] != want[k]) print k }' "$1/CMakeCache.txt" "$2/CMakeCache.txt"
}

echo "release: the launcher and the Windows tools (Release)"
cmake -S "$root" -B "$out/win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DVORLANE_TESTS=OFF >/dev/null
differ=
[ -z "$reuse" ] || [ -f "$reuse/CMakeCache.txt" ] || differ="no CMakeCache.txt"
if [ -n "$reuse" ] && [ -z "$differ" ]; then
  # Its cache as this checkout configures it, before it is compared.
  cmake -S "$root" -B "$reuse" >/dev/null
  differ=$(settings_differ "$out/win64" "$reuse" | sort | tr '\n' ' ')
fi
if [ -n "$reuse" ] && [ -z "$differ" ]; then
  # The same settings give the same bytes in any folder: the programs are copied where OUT/win64 builds them.
  echo "release: taken from $reuse, built with the same settings"
  cmake --build "$reuse" -j "$jobs" --target "${win64_targets[@]}" >/dev/null
  for p in "${win64_programs[@]}"; do
    install -D -m 644 "$reuse/$p" "$out/win64/$p"
  done
else
  [ -z "$reuse" ] || echo "release: not taken from $reuse, whose settings differ: $differ"
  cmake --build "$out/win64" -j "$jobs" --target "${win64_targets[@]}" >/dev/null
fi
# The LZMA SDK these programs were built with, for its notice.
sdk=$(sed -n 's/^LZMA_SDK_DIR:PATH=//p' "$out/win64/CMakeCache.txt")
sdk_version=$(sed -n 's/^LZMA_SDK_VERSION:INTERNAL=//p' "$out/win64/CMakeCache.txt")
sdk_source=$(dpkg-parsechangelog -l "$sdk/debian/changelog" -S Version 2>/dev/null || true)
sdk_named="LZMA SDK $sdk_version"
[ -z "$sdk_source" ] || sdk_named+=", from Debian's 7zip source package $sdk_source"
echo "release: $sdk_named"
sdk_notice() {
  printf '%s\n\n' "$sdk_named"
  cat "$sdk/debian/copyright"
}
echo "release: building the Linux tools (Release, static)"
cmake -S "$root" -B "$out/native" -DCMAKE_BUILD_TYPE=Release -DVORLANE_TESTS=OFF \
      -DVORLANE_STATIC_TOOLS=ON >/dev/null
cmake --build "$out/native" -j "$jobs" --target vorlane-pack vorlane-inspect >/dev/null

# A section of the developers' README, from its heading to the next one.
section() {
  local text
  text=$(awk -v h="$1" '$0 == h {p = 1; print; next} p && /^## / {exit} p' "$root/README.md")
  [ -n "$text" ] || { echo "release: README.md has no section \"$1\"" >&2; exit 1; }
  printf '%s\n' "$text"
}

# The bundle's README: the packagers' page for its platform, then what the
# guide looks up in "README.md": the runtime's export, the launcher's exit
# codes and the signature check's messages, as the developers' README says
# them (which also points at sources and scripts no bundle holds).
readme() {
  local platform=$1 to=$2 messages
  messages=$(awk '/^A library that fails is never loaded/ {p = 1} p && /^$/ && t {exit}
                  p {print; if (/^\|/) t = 1}' "$root/README.md")
  [ -n "$messages" ] || { echo "release: README.md has no table of the signature check's messages" >&2; exit 1; }
  {
    sed "s/@VERSION@/$version/g" "$root/docs/bundle/README.$platform.md"
    echo
    section "## The runtime's init export"
    echo
    section "## Exit codes" | sed 's/ (`base\/outcome\.h`)//'
    echo
    printf '## Security: the signature check'"'"'s messages\n\n%s\n' "$messages"
  } > "$to/README.md.tmp"
  mv "$to/README.md.tmp" "$to/README.md"
  chmod 644 "$to/README.md"
}

# The docs both bundles carry, the CMake module, and the notices of the code
# linked into the programs.
docs() {
  local to=$1 platform=$2
  mkdir -p "$to/docs/examples" "$to/docs/third-party"
  readme "$platform" "$to"
  install -m 644 "$root/cmake/VorlanePackage.cmake" "$to/"
  install -m 644 "$root/docs/packaging.md" "$to/docs/"
  install -m 644 "$root"/docs/examples/pack-*.yml "$to/docs/examples/"
  sdk_notice > "$to/docs/third-party/lzma-sdk.txt"
  install -m 644 "$root/third_party/isa-l/LICENSE" "$to/docs/third-party/isa-l.txt"
  install -m 644 /usr/share/doc/nlohmann-json3-dev/copyright "$to/docs/third-party/nlohmann-json.txt"
  install -m 644 /usr/share/doc/libstb-dev/copyright "$to/docs/third-party/stb.txt"
  install -m 644 /usr/share/doc/mingw-w64-x86-64-dev/copyright "$to/docs/third-party/mingw-w64.txt"
}

rm -rf "${out:?}/$linux" "${out:?}/$windows" "$out/$linux.tar.gz" "$out/$windows.zip" "$out/SHA256SUMS"
mkdir -p "$out/$linux" "$out/$windows"
install -m 644 "$out/win64/VorlaneLauncher.exe" "$out/win64/tools/vorlane-run-helper.exe" "$out/$linux/"
install -m 755 "$out/native/tools/vorlane-pack" "$out/native/tools/vorlane-inspect" "$out/$linux/"
sed "s/^VERSION = None\$/VERSION = \"$version\"/" "$root/tools/vorlane-run" > "$out/$linux/vorlane-run"
grep -q "^VERSION = \"$version\"\$" "$out/$linux/vorlane-run" || { echo "release: vorlane-run has no VERSION line" >&2; exit 1; }
docs "$out/$linux" linux
install -m 644 "$out/win64/VorlaneLauncher.exe" "$out/win64/tools/vorlane-pack.exe" \
        "$out/win64/tools/vorlane-inspect.exe" "$out/$windows/"
docs "$out/$windows" windows

archive "$linux" tar
archive "$windows" zip
sums
report
echo "release: VorlaneLauncher.exe $(stat -c %s "$out/$linux/VorlaneLauncher.exe") bytes," \
     "sha256 $(sha256sum "$out/$linux/VorlaneLauncher.exe" | cut -c1-16)..."
