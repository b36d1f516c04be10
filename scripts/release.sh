#!/usr/bin/env bash
# Builds the release bundle packagers use, in one command:
#
#   scripts/release.sh [OUT]        (default OUT: build/release)
#
# OUT/vorlane-<version>/ holds the Release launcher (stripped, no build paths,
# no link timestamp: the same sources give the same bytes in any folder), the
# tools (vorlane-pack with its modules, resource rewrite and libraries,
# vorlane-inspect for Linux and Windows, vorlane-run and its helper) and the docs;
# OUT/vorlane-<version>.tar.gz is the same as one reproducible archive (file
# times from SOURCE_DATE_EPOCH, else the last commit's time).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/release}" && cd "${1:-$root/build/release}" && pwd)
"$root/scripts/bootstrap.sh"
jobs=$(nproc 2>/dev/null || echo 2)
version=$(sed -nE 's/^project\(Vorlane VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}

echo "release: building the launcher and the Windows tools (Release)"
cmake -S "$root" -B "$out/win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out/win64" -j "$jobs" --target VorlaneLauncher vorlane-inspect vorlane-run-helper >/dev/null
echo "release: building vorlane-inspect for Linux (Release)"
cmake -S "$root" -B "$out/native" -DCMAKE_BUILD_TYPE=Release -DVORLANE_WINE_TESTS=OFF >/dev/null
cmake --build "$out/native" -j "$jobs" --target vorlane-inspect >/dev/null

name="vorlane-$version"
bundle="$out/$name"
rm -rf "$bundle" "$bundle.tar.gz"
mkdir -p "$bundle/docs" "$bundle/pack"
install -m 644 "$out/win64/VorlaneLauncher.exe" "$out/win64/tools/vorlane-inspect.exe" \
        "$out/win64/tools/vorlane-run-helper.exe" "$bundle/"
install -m 755 -s "$out/native/tools/vorlane-inspect" "$bundle/"
install -m 755 "$root/tools/vorlane-pack" "$root/tools/vorlane-run" "$root/tools/make_icon.py" "$bundle/"
install -m 644 "$root"/tools/pack/*.py "$bundle/pack/"
install -m 644 "$root/tools/vorlane-resources.mjs" "$root/tools/package.json" "$root/tools/package-lock.json" \
        "$bundle/"
cp -r "$root/tools/node_modules" "$bundle/node_modules"
rm -f "$bundle/node_modules/.vorlane-lock" "$bundle/node_modules/.package-lock.json"
install -m 644 "$root/docs/packaging.md" "$bundle/docs/"
install -m 644 "$root/README.md" "$bundle/docs/README.md"

tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --mode='go-w' \
    -C "$out" -cf - "$name" | gzip -n -9 > "$bundle.tar.gz"
echo "release: $bundle (and $name.tar.gz, $(stat -c %s "$bundle.tar.gz") bytes)"
echo "release: VorlaneLauncher.exe $(stat -c %s "$bundle/VorlaneLauncher.exe") bytes, sha256 $(sha256sum "$bundle/VorlaneLauncher.exe" | cut -c1-16)..."
