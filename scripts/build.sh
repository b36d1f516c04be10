#!/usr/bin/env bash
# Builds both configurations: the native logic, tests and tools (build/native)
# and the Windows launcher (build/win64/VorlaneLauncher.exe).
# Extra arguments are passed to both CMake configure steps (-DVORLANE_...=...);
# a first argument win64 or native builds that tree only.
# The Windows tree is a Release build, the launcher packagers ship (a later
# -DCMAKE_BUILD_TYPE=... overrides it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trees=" win64 native "
case "${1:-}" in win64|native) trees=" $1 "; shift ;; esac
"$root/scripts/bootstrap.sh"
jobs=$(nproc 2>/dev/null || echo 2)

if [[ $trees = *" win64 "* ]]; then
  cmake -S "$root" -B "$root/build/win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$root/build/win64" -j "$jobs"
fi

if [[ $trees = *" native "* ]]; then
  cmake -S "$root" -B "$root/build/native" "$@" >/dev/null
  cmake --build "$root/build/native" -j "$jobs"
fi
