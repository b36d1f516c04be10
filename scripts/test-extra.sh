#!/usr/bin/env bash
# The checks scripts/test.sh runs after the main suite:
#   1. build/native-asan (g++): the native suite under AddressSanitizer,
#      UndefinedBehaviorSanitizer and LeakSanitizer; any report fails it;
#   2. build/fuzz (clang): every fuzz seed and regression input replayed, then a
#      short libFuzzer run per target, through scripts/fuzz-long.sh;
#   3. build/native: starts killed under Wine at a spread of moments
#      (tests/wine/long_kills.py, the ctest configuration "long"; a few minutes),
#      when build/win64 holds the launcher.
# One PASS/FAIL line per check; exits non-zero when any failed.
#
#   scripts/test-extra.sh [sanitizers|fuzz|kills]...   those checks only (default: all)
#
#   VORLANE_FUZZ_RUNS      executions per target from a fixed seed (default 20000;
#                          0: replay only), so a commit gets the same verdict every time
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_runs=${VORLANE_FUZZ_RUNS:-20000}

checks=" ${*:-sanitizers fuzz kills} "
for c in $checks; do
  case "$c" in sanitizers|fuzz|kills) ;; *) echo "test-extra: unknown check '$c'" >&2; exit 2 ;; esac
done
wanted() { [[ $checks = *" $1 "* ]]; }

status=0
pass() { echo "PASS  $*"; }
fail() { echo "FAIL  $*"; status=1; }

# ---- 1. the native suite under the sanitizers ------------------------------------
asan="$root/build/native-asan"
if ! wanted sanitizers; then
  :
elif mkdir -p "$asan" && { cmake -S "$root" -B "$asan" -DVORLANE_SANITIZE=ON -DVORLANE_WINE_TESTS=OFF &&
     cmake --build "$asan" -j "$jobs"; } >"$asan/build.log" 2>&1; then
  pass "sanitizers: build/native-asan built"
  log="$asan/ctest.log"
  # Every report ends its process with an error; the log is also searched, for
  # reports from processes whose exit code a test does not look at.
  ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$asan" -j "$jobs" -V --timeout 600 >"$log" 2>&1
  rc=$?
  summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
  reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: (Address|UndefinedBehavior|Leak)Sanitizer' "$log")
  if [ $rc -eq 0 ] && [ "$reports" -eq 0 ] && [ -n "$summary" ]; then
    pass "sanitizers: native suite under ASan+UBSan+LSan: $summary"
  else
    grep -E 'ERROR: |runtime error:|SUMMARY: |\*\*\*Failed|Failed  |Not Run' "$log" | grep -v '(Disabled)' | head -n 40
    fail "sanitizers: native suite under ASan+UBSan+LSan (exit $rc, $reports sanitizer reports; log: $log)"
  fi
else
  tail -n 40 "$asan/build.log"
  fail "sanitizers: build of build/native-asan (log: $asan/build.log)"
fi

# ---- 2. fuzzing: replay, then a short run per target ---------------------------
if ! wanted fuzz; then
  :
elif [ "$fuzz_runs" -gt 0 ]; then
  "$root/scripts/fuzz-long.sh" --runs "$fuzz_runs" --fresh || status=1
else
  "$root/scripts/fuzz-long.sh" --seconds 0 --fresh || status=1
fi

# ---- 3. starts killed under Wine ----------------------------------------------
native="$root/build/native"
if ! wanted kills; then
  :
elif [ ! -x "$root/build/win64/VorlaneLauncher.exe" ] || [ ! -f "$native/CTestTestfile.cmake" ]; then
  fail "kills under Wine: build build/win64 and build/native first"
else
  log="$native/long-kills.log"
  if ctest --test-dir "$native" -C long -R '^wine\.long_kills$' -V >"$log" 2>&1 &&
     grep -q '^1/1 Test.*Passed' "$log"; then
    kills=$(grep -E ' [0-9]+ kills over .* recovered;' "$log" | sort -u | sed -E 's/^.*: ([0-9]+) kills over.*/\1/' |
            awk '{ n += $1 } END { print n + 0 }')
    pass "kills under Wine: $kills starts killed, each next start ran (log: $log)"
  else
    grep -E 'FAIL|kills over' "$log" | head -n 20
    fail "kills under Wine (log: $log)"
  fi
fi

if [ $status -eq 0 ]; then echo "PASS  test-extra: all checks"; else echo "FAIL  test-extra: see the FAIL lines above"; fi
exit $status
