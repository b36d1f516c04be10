#!/usr/bin/env bash
# Fuzzes the launcher's native code with libFuzzer (build/fuzz: clang, ASan and
# UBSan). First replays every seed and regression input once, then fuzzes each
# target, all targets at once (one process each), for an hour by default. The
# grown corpus stays in build/fuzz/corpus/<target> for the next run.
#
#   scripts/fuzz-long.sh [--seconds N | --runs N] [--fresh] [--build DIR [--built]] [TARGET...]
#
#   TARGET     package (a packaged file through the archive stages and the whole
#              launch sequence), text (folder numbers, command-line split and
#              argument-line rebuild, long paths), inspect (vorlane-inspect's
#              readers of PE headers, resources and signatures) or resources
#              (the resource writer on any image); default: all
#   --seconds  fuzzing time per target (0: replay only)
#   --runs     instead: exactly N executions per target from a fixed seed, so
#              the same commit gets the same verdict every time (with --fresh)
#   --fresh    start from the seeds alone, in a scratch corpus
#   --build    the clang tree to build and use instead of build/fuzz (scripts/test-extra.sh
#              passes build/sanitize, where the test programs are built too)
#   --built    use that tree as it is, neither configured nor built again (scripts/test-extra.sh,
#              once its own build passed, while other checks use the tree)
#
# A failing input is saved as artifacts/<target>-crash-... in the build folder; once the
# fault is fixed, keep it in tests/fuzz/regressions/<target>/ so every test run
# replays it. One PASS/FAIL line per step; non-zero exit when any failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seconds=3600
runs_wanted=0
fresh=0
built=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [ $# -ge 2 ] || { echo "fuzz-long: --seconds needs a value" >&2; exit 2; }
               seconds=$2; shift 2 ;;
    --runs) [ $# -ge 2 ] || { echo "fuzz-long: --runs needs a value" >&2; exit 2; }
            runs_wanted=$2; shift 2 ;;
    --fresh) fresh=1; shift ;;
    --built) built=1; shift ;;
    --build) [ $# -ge 2 ] || { echo "fuzz-long: --build needs a folder" >&2; exit 2; }
             case "$2" in /*) build=$2 ;; *) build=$PWD/$2 ;; esac
             shift 2 ;;
    -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    package|text|inspect|resources) targets+=("$1"); shift ;;
    *) echo "fuzz-long: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
case "$seconds" in ''|*[!0-9]*) echo "fuzz-long: --seconds needs a whole number" >&2; exit 2 ;; esac
case "$runs_wanted" in ''|*[!0-9]*) echo "fuzz-long: --runs needs a whole number" >&2; exit 2 ;; esac
# A fixed number of executions from a fixed seed: no clock decides what is
# tried. Time-boxed fuzzing takes a fresh seed per run (libFuzzer's -seed=0).
budget="-max_total_time=$seconds -seed=0"
if [ "$runs_wanted" -gt 0 ]; then
  budget="-runs=$runs_wanted -seed=1"
  seconds=3600
fi
[ ${#targets[@]} -gt 0 ] || targets=(package text inspect resources)
jobs=$(nproc 2>/dev/null || echo 2)

status=0
pass() { echo "PASS  $*"; }
fail() { echo "FAIL  $*"; status=1; }

# Options per target. Allocations above 256 MiB fail as they would on a machine
# without the memory (a fuzzed header may ask for gigabytes), instead of
# stopping the fuzzer; the launcher must cope with a failed allocation anyway.
target_env() {
  case "$1" in
    package) echo "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=256" ;;
    text) echo "ASAN_OPTIONS=allocator_may_return_null=1" ;;
  esac
}
target_flags() {
  case "$1" in
    package) echo "-max_len=16384 -malloc_limit_mb=512" ;;
    resources) echo "-max_len=16384" ;;
    text) echo "-max_len=4096" ;;
  esac
}

"$root/scripts/bootstrap.sh" || { fail "fuzz: bootstrap"; exit 1; }
if ! command -v clang++ >/dev/null; then
  fail "fuzz: clang++ not found (scripts/bootstrap.sh installs clang)"
  exit 1
fi

mkdir -p "$build"
log="$build/build.log"
if [ $built = 0 ]; then
  if ! { CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DVORLANE_FUZZ=ON -DVORLANE_WINE_TESTS=OFF &&
         cmake --build "$build" -j "$jobs" $(printf -- '--target vorlane_fuzz_%s ' "${targets[@]}"); } >"$log" 2>&1; then
    tail -n 40 "$log"
    fail "fuzz: build of the fuzz targets (log: $log)"
    exit 1
  fi
  pass "fuzz: build of ${targets[*]}"
fi

# The simulator writes each input to a real file: a tmpfs is ~3x faster than disk.
scratch_tmp=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch_tmp=/dev/shm; fi

binary() { echo "$build/tests/fuzz/vorlane_fuzz_$1"; }

# 1. Replay: every seed and every kept regression input, once each, no fuzzing.
for t in "${targets[@]}"; do
  inputs=()
  for f in "$root/tests/fuzz/corpus/$t"/* "$root/tests/fuzz/regressions/$t"/*; do
    [ -f "$f" ] && [ "${f##*/}" != README.md ] && inputs+=("$f")
  done
  replay_log="$build/replay-$t.log"
  if [ ${#inputs[@]} -eq 0 ]; then
    fail "fuzz $t: no seed or regression inputs"
  elif env $(target_env "$t") TMPDIR="$scratch_tmp" "$(binary "$t")" $(target_flags "$t") -seed=1 -timeout=25 \
       "${inputs[@]}" >"$replay_log" 2>&1; then
    pass "fuzz $t: ${#inputs[@]} seed and regression inputs replayed"
  else
    grep -E "ERROR|runtime error|fuzz_$t:|Running:" "$replay_log" | tail -n 20
    fail "fuzz $t: replay of the seed and regression inputs (log: $replay_log)"
  fi
done

[ "$seconds" -gt 0 ] || exit $status

# 2. Fuzzing, all targets at once.
mkdir -p "$build/artifacts"
pids=()
for t in "${targets[@]}"; do
  if [ $fresh = 1 ]; then
    corpus="$build/scratch-corpus/$t"
    rm -rf "$corpus"
  else
    corpus="$build/corpus/$t"
  fi
  mkdir -p "$corpus"
  env $(target_env "$t") TMPDIR="$scratch_tmp" timeout $((seconds + 300)) "$(binary "$t")" $(target_flags "$t") \
    $budget -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$corpus" "$root/tests/fuzz/corpus/$t" >"$build/fuzz-$t.log" 2>&1 &
  pids+=($!)
done
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  wait "${pids[$i]}"
  rc=$?
  run_log="$build/fuzz-$t.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run_log" | tail -n 1)
  corpus_size=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$run_log" | sed -n 's/.*corp: \([0-9]*\).*/\1/p' | tail -n 1)
  if [ $rc -eq 0 ] && [ -n "$runs" ]; then
    pass "fuzz $t: ${runs} executions, corpus ${corpus_size:-?} inputs"
  else
    grep -E "ERROR|runtime error|fuzz_$t:|SUMMARY|Test unit written" "$run_log" | tail -n 20
    fail "fuzz $t: exit $rc after ${runs:-?} executions (log: $run_log; inputs: $build/artifacts/)"
  fi
done
exit $status
