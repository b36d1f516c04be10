#!/usr/bin/env bash
# Builds both configurations: the native logic, tests and tools (build/native)
# and the Windows launcher (build/win64/VorlaneLauncher.exe).
# Extra arguments are passed to both CMake configure steps (-DVORLANE_...=...).
# The Windows tree is a Release build, the launcher packagers ship (a later
# -DCMAKE_BUILD_TYPE=... overrides it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$root/build/win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$root/build/win64" -j "$jobs"

cmake -S "$root" -B "$root/build/native" "$@" >/dev/null
cmake --build "$root/build/native" -j "$jobs"
