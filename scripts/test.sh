#!/usr/bin/env bash
# Builds everything and runs every test, in phases (docs/architecture.md,
# "How a change is tested"):
#   build win64, build native   scripts/build.sh's two trees
#   release bundles             scripts/release.sh, its Windows programs taken
#                               from build/win64 when that tree has the release's settings
#   ctest native                the native suite over the simulator (CTest label native),
#                               the layer check among it
#   ctest wine                  the end-to-end suite under Wine (labels wine, release and
#                               wine-release), while build/sanitize builds beside it
#   sanitizers                  scripts/test-extra.sh's checks on build/sanitize: the
#                               native suite under the sanitizers with the fuzzing beside
#                               it, and the starts killed under Wine beside both from the
#                               end of the Wine suite
# Ends with a table of each phase's wall and CPU time (user+sys), then one line
# "tests: N passed, M failed".
#
#   scripts/test.sh --fast   the two builds, the native suite and the Wine
#                            end-to-end suite only (no bundles, sanitizers,
#                            fuzzing or kills), for day-to-day work
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fast=0
case "${1:-}" in
  --fast) fast=1 ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--fast]" >&2; exit 2 ;;
esac
source "$root/scripts/phases.sh"
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$root/build"

phase "build win64" "$root/scripts/build.sh" win64
phase "build native" "$root/scripts/build.sh" native
[ $fast = 1 ] || phase "release bundles" "$root/scripts/release.sh" --reuse-win64 "$root/build/win64" >/dev/null

# ctest_run LOG ARGS...: one CTest run; its counts go into total and failed.
total=0; failed=0
ctest_run() {
  local log=$1 rc n f
  shift
  ctest --test-dir "$root/build/native" --output-on-failure "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  n=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' "$log" | tail -n 1)
  f=$(sed -nE 's/.*, ([0-9]+) tests failed out of.*/\1/p' "$log" | tail -n 1)
  n=${n:-0}; f=${f:-0}
  # A run that failed without counting a failure (no tests found, a crash) counts one.
  [ "$rc" -eq 0 ] || [ "$f" -gt 0 ] || { f=1; n=$((n + 1)); }
  total=$((total + n)); failed=$((failed + f))
}
phase "ctest native" ctest_run "$root/build/ctest-native.log" -L '^native$' -j "$jobs"

extra_log="$root/build/test-extra.log"
: >"$extra_log"
if [ $fast = 1 ]; then
  phase "ctest wine" ctest_run "$root/build/ctest-wine.log" -L '^wine$' -j "$jobs"
else
  # join_beside NAME OUT: waits for a check started beside; one that ended
  # badly without a FAIL line of its own gets one.
  join_beside() {
    phase_join "$1" || grep -q '^FAIL  ' "$2" || echo "FAIL  $1: ended without its verdict (output: $2)" >>"$2"
    tee -a "$extra_log" <"$2"
  }

  # The Wine suite spends much of its time waiting on Wine: the sanitizer tree
  # builds meanwhile at the lowest priority, so it takes only what Wine leaves
  # and, once the Wine suite is done, every core.
  mkdir -p "$root/build/sanitize"
  phase_beside "sanitizer build (beside)" "$root/build/sanitize/build.out" \
    env JOBS="$jobs" nice -n 19 "$root/scripts/test-extra.sh" build
  phase "ctest wine" ctest_run "$root/build/ctest-wine.log" -L '^(wine|wine-release|release)$' -j "$jobs"

  # The kills take about one core, much of it waiting on Wine: they start with
  # the end of the Wine suite, beside the rest of the sanitizer build and the
  # checks on it. The fuzzing takes about one core too (its slowest target
  # runs alone for most of it): it runs beside the sanitizer suite, on the
  # tree as built.
  phase_beside "kills (beside)" "$root/build/kills.out" "$root/scripts/test-extra.sh" kills
  join_beside "sanitizer build (beside)" "$root/build/sanitize/build.out"
  export VORLANE_SANITIZE_BUILT=0
  grep -q '^PASS  sanitizers: build/sanitize built' "$root/build/sanitize/build.out" && VORLANE_SANITIZE_BUILT=1
  phase_beside "fuzz (beside)" "$root/build/fuzz.out" "$root/scripts/test-extra.sh" fuzz
  extra() { "$root/scripts/test-extra.sh" "$1" 2>&1 | tee -a "$extra_log"; }
  phase "sanitizers" extra sanitizers || true
  join_beside "fuzz (beside)" "$root/build/fuzz.out"
  join_beside "kills (beside)" "$root/build/kills.out"
fi
extra_passed=$(grep -E '^PASS  ' "$extra_log" | grep -vc 'test-extra:' || true)
extra_failed=$(grep -E '^FAIL  ' "$extra_log" | grep -vc 'test-extra:' || true)

passed=$(( total - failed + extra_passed ))
failed=$(( failed + extra_failed ))
phase_table
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
