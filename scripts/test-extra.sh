#!/usr/bin/env bash
# The checks scripts/test.sh runs after the main suite, on one clang tree,
# build/sanitize: ASan and UBSan in everything it builds, and libFuzzer's
# coverage hooks, which the sanitizer runtime serves in the test programs:
#   build       configures and builds it: the native suites and the fuzz targets
#   sanitizers  the native suite under AddressSanitizer, UndefinedBehaviorSanitizer
#               and LeakSanitizer; any report fails it
#   fuzz        every fuzz seed and regression input replayed, then a short
#               libFuzzer run per target, through scripts/fuzz-long.sh
#   kills       build/native: starts killed under Wine at a spread of moments
#               (tests/wine/long_kills.py, the ctest configuration "long"; a few
#               minutes), when build/win64 holds the launcher
# One PASS/FAIL line per check; exits non-zero when any failed.
#
#   scripts/test-extra.sh [build|sanitizers|fuzz|kills]...   those only (default: all, in that order)
#
#   JOBS                   compile jobs (default: the CPU count)
#   VORLANE_FUZZ_RUNS      executions per target from a fixed seed (default 20000;
#                          0: replay only), so a commit gets the same verdict every time
#   VORLANE_SANITIZE_BUILT 1: build/sanitize is built (scripts/test.sh, once the build
#                          check passed); sanitizers and fuzz use it as it is, so they
#                          can run side by side without configuring it at once
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
fuzz_runs=${VORLANE_FUZZ_RUNS:-20000}
built=${VORLANE_SANITIZE_BUILT:-0}
tree="$root/build/sanitize"

checks=" ${*:-build sanitizers fuzz kills} "
for c in $checks; do
  case "$c" in build|sanitizers|fuzz|kills) ;; *) echo "test-extra: unknown check '$c'" >&2; exit 2 ;; esac
done
wanted() { [[ $checks = *" $1 "* ]]; }

status=0
pass() { echo "PASS  $*"; }
fail() { echo "FAIL  $*"; status=1; }

# The tree scripts/fuzz-long.sh configures, with the test programs built too.
build() {
  mkdir -p "$tree" &&
    { CC=clang CXX=clang++ cmake -S "$root" -B "$tree" -DVORLANE_FUZZ=ON -DVORLANE_WINE_TESTS=OFF &&
      cmake --build "$tree" -j "$jobs" --target vorlane_tests vorlane_plain_tests \
            vorlane_fuzz_package vorlane_fuzz_text vorlane_fuzz_inspect vorlane_fuzz_resources; } \
      >>"$tree/build.log" 2>&1
}

# ---- 1. the tree -----------------------------------------------------------------
if wanted build; then
  mkdir -p "$tree" && : >"$tree/build.log"
  if build; then
    pass "sanitizers: build/sanitize built"
  else
    tail -n 40 "$tree/build.log"
    fail "sanitizers: build of build/sanitize (log: $tree/build.log)"
  fi
fi

# ---- 2. the native suite under the sanitizers ------------------------------------
if ! wanted sanitizers; then
  :
elif [ "$built" != 1 ] && ! build; then
  tail -n 40 "$tree/build.log"
  fail "sanitizers: build of build/sanitize (log: $tree/build.log)"
else
  log="$tree/ctest.log"
  # Every report ends its process with an error; the log is also searched, for
  # reports from processes whose exit code a test does not look at.
  ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$tree" -L native -j "$jobs" -V --timeout 600 >"$log" 2>&1
  rc=$?
  summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
  reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: (Address|UndefinedBehavior|Leak)Sanitizer' "$log")
  if [ $rc -eq 0 ] && [ "$reports" -eq 0 ] && [ -n "$summary" ]; then
    pass "sanitizers: native suite under ASan+UBSan+LSan: $summary"
  else
    grep -E 'ERROR: |runtime error:|SUMMARY: |\*\*\*Failed|Failed  |Not Run' "$log" | grep -v '(Disabled)' | head -n 40
    fail "sanitizers: native suite under ASan+UBSan+LSan (exit $rc, $reports sanitizer reports; log: $log)"
  fi
fi
# ---- 3. fuzzing: replay, then a short run per target ---------------------------
as_built=()
[ "$built" != 1 ] || as_built=(--built)
if ! wanted fuzz; then
  :
elif [ "$fuzz_runs" -gt 0 ]; then
  "$root/scripts/fuzz-long.sh" --build "$tree" "${as_built[@]}" --runs "$fuzz_runs" --fresh || status=1
else
  "$root/scripts/fuzz-long.sh" --build "$tree" "${as_built[@]}" --seconds 0 --fresh || status=1
fi

# ---- 4. starts killed under Wine ----------------------------------------------
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
