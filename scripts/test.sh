#!/usr/bin/env bash
# Builds everything and runs every test: the native suite over the posix
# backend, the end-to-end suite of the real executable under Wine, the native
# suite again under ASan/UBSan/LeakSanitizer, and short fuzzing runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
jobs=$(nproc 2>/dev/null || echo 2)

status=0
ctest --test-dir "$root/build/native" --output-on-failure -j "$jobs" || status=1

if [ -x "$root/scripts/test-extra.sh" ]; then
  "$root/scripts/test-extra.sh" || status=1
fi
exit $status
