#!/usr/bin/env bash
# Builds everything and runs every test: the native suite over the Windows
# file-system simulator and the end-to-end suite of the real executable under Wine (CTest,
# which also checks the release bundle scripts/release.sh builds first),
# then scripts/test-extra.sh: the native suite under ASan/UBSan/LeakSanitizer
# and short fuzzing runs, and a check that every include points down a layer.
# Ends with a table of each phase's wall and CPU time, then one line
# "tests: N passed, M failed".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/phases.sh"
jobs=$(nproc 2>/dev/null || echo 2)

phase "build win64" "$root/scripts/build.sh" win64
phase "build native" "$root/scripts/build.sh" native
phase "release bundles" "$root/scripts/release.sh" >/dev/null

# ctest_run NAME LOG ARGS...: one CTest run; its counts go into total/failed.
total=0; failed=0
ctest_run() {
  local log=$1 rc n f
  shift
  ctest --test-dir "$root/build/native" --output-on-failure "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  n=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' "$log" | tail -n 1)
  f=$(sed -nE 's/.*, ([0-9]+) tests failed out of.*/\1/p' "$log" | tail -n 1)
  n=${n:-0}; f=${f:-0}
  [ "$rc" -eq 0 ] || [ "$f" -gt 0 ] || { f=1; n=$((n + 1)); }
  total=$((total + n)); failed=$((failed + f))
}
phase "ctest native" ctest_run "$root/build/ctest-native.log" -L native -j "$jobs"
phase "ctest wine" ctest_run "$root/build/ctest-wine.log" -L '^wine$' -j "$jobs"

extra_passed=0; extra_failed=0
extra_log="$root/build/test-extra.log"
: >"$extra_log"
extra() { "$root/scripts/test-extra.sh" "$1" 2>&1 | tee -a "$extra_log"; }
set +e
phase "sanitizers" extra sanitizers
phase "fuzz" extra fuzz
phase "kills" extra kills
set -e
extra_passed=$(grep -E '^PASS  ' "$extra_log" | grep -vc 'test-extra:' || true)
extra_failed=$(grep -E '^FAIL  ' "$extra_log" | grep -vc 'test-extra:' || true)

# Dependencies only point down: launcher/ -> cache/ -> archive/ -> base/ ->
# platform/ (docs/architecture.md). Any include from a higher layer fails.
layers_passed=1; layers_failed=0
up=$(cd "$root" && {
  grep -rnE '#[[:space:]]*include[[:space:]]*"(launcher|cache|archive|base)/' platform || true
  grep -rnE '#[[:space:]]*include[[:space:]]*"(launcher|cache|archive)/' base || true
  grep -rnE '#[[:space:]]*include[[:space:]]*"(launcher|cache)/' archive || true
  grep -rnE '#[[:space:]]*include[[:space:]]*"launcher/' cache || true
})
if [ -n "$up" ]; then
  printf 'FAIL  layers: includes that point up a layer:\n%s\n' "$up"
  layers_passed=0; layers_failed=1
else
  echo "PASS  layers: every include in platform/, base/, archive/ and cache/ points down"
fi

passed=$(( total - failed + extra_passed + layers_passed ))
failed=$(( failed + extra_failed + layers_failed ))
phase_table
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
