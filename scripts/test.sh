#!/usr/bin/env bash
# Builds everything and runs every test: the native suite over the Windows
# file-system simulator and the end-to-end suite of the real executable under Wine (CTest,
# which also checks the release bundle scripts/release.sh builds first),
# then scripts/test-extra.sh: the native suite under ASan/UBSan/LeakSanitizer
# and short fuzzing runs, and a check that every include points down a layer.
# Ends with one line "tests: N passed, M failed".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
"$root/scripts/release.sh" >/dev/null
jobs=$(nproc 2>/dev/null || echo 2)

log="$root/build/ctest-main.log"
set +e
ctest --test-dir "$root/build/native" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
main_rc=${PIPESTATUS[0]}
set -e
total=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' "$log" | tail -n 1)
failed=$(sed -nE 's/.*, ([0-9]+) tests failed out of.*/\1/p' "$log" | tail -n 1)
total=${total:-0}; failed=${failed:-0}
[ "$main_rc" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1

extra_passed=0; extra_failed=0
if [ -x "$root/scripts/test-extra.sh" ]; then
  extra_log="$root/build/test-extra.log"
  set +e
  "$root/scripts/test-extra.sh" 2>&1 | tee "$extra_log"
  set -e
  extra_passed=$(grep -E '^PASS  ' "$extra_log" | grep -vc 'test-extra:' || true)
  extra_failed=$(grep -E '^FAIL  ' "$extra_log" | grep -vc 'test-extra:' || true)
fi

passed=$(( total - failed + extra_passed ))
failed=$(( failed + extra_failed ))
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
