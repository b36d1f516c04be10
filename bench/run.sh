#!/usr/bin/env bash
# The benchmark of the launch sequence against its physical floors: builds
# build/bench (Release), packs an application with a 64 MiB stored payload and
# an ~11 MB runtime library (and the same with a 1 GiB payload, for warm starts),
# times warm and cold starts natively over the simulator next to the floors
# measured in the same run over the same bytes (the plain reads, the launcher's
# CRC, the SDK's CRC), counts
# their instructions with callgrind (the same on every run, however busy the
# machine), times whole-process starts under Wine, and prints the table and the
# targets.
# Results go to build/bench/results.json. Not part of scripts/test.sh: it is
# long, and a timing is no test on a shared machine.
#
#   bench/run.sh [--payload-mib N] [--big-payload-mib N] [--reps N] [--wine-reps N] [--cpu N] [--no-count]
#                [--no-wine]
#
# --payload-mib 512 shows the payload is never held in memory at any size;
# --big-payload-mib 0 leaves out the large package (it takes 2 GiB of disk).
# The Windows launcher comes from build/win64 (scripts/build.sh builds it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/bench"
work="$out/work"
payload_mib=64
big_payload_mib=1024
reps=21
wine_reps=15
cpu=0
wine=1
count=1
while [ $# -gt 0 ]; do
  case "$1" in
    --payload-mib) payload_mib=$2; shift 2 ;;
    --big-payload-mib) big_payload_mib=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --wine-reps) wine_reps=$2; shift 2 ;;
    --cpu) cpu=$2; shift 2 ;;
    --no-count) count=0; shift ;;
    --no-wine) wine=0; shift ;;
    *) echo "usage: $0 [--payload-mib N] [--big-payload-mib N] [--reps N] [--wine-reps N] [--cpu N] [--no-count]" \
            "[--no-wine]" >&2; exit 2 ;;
  esac
done

launcher="$root/build/win64/VorlaneLauncher.exe"
pack="$root/build/native/tools/vorlane-pack"
for built in "$launcher" "$pack"; do
  if [ ! -f "$built" ]; then
    echo "missing $built: run scripts/build.sh first" >&2
    exit 1
  fi
done

echo "== building build/bench (Release) and the launcher"
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DVORLANE_WINE_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target vorlane_bench >/dev/null
cmake --build "$root/build/win64" -j2 >/dev/null

echo "== packing the benchmark application"
python3 "$root/bench/bench.py" prepare --work "$work" --launcher "$launcher" \
  --pack "$pack" --payload-mib "$payload_mib" --big-payload-mib "$big_payload_mib"
big_exe=""
[ "$big_payload_mib" = 0 ] || big_exe="$work/app-big.exe"

echo "== native starts and floors"
"$out/bench/vorlane_bench" native --exe "$work/app.exe" --archive "$work/app.7z" --work "$work/native" \
  ${big_exe:+--big-exe "$big_exe"} --reps "$reps" --cpu "$cpu" --json "$out/native.json"

count_json=""
if [ "$count" = 1 ]; then
  echo "== instruction counts (callgrind)"
  python3 "$root/bench/bench.py" count --work "$work" --bench "$out/bench/vorlane_bench" \
    --native "$out/native.json" --json "$out/count.json"
  count_json="$out/count.json"
fi

wine_json=""
if [ "$wine" = 1 ]; then
  echo "== Wine starts"
  python3 "$root/bench/bench.py" wine --work "$work" --win64 "$root/build/win64" --source "$root" \
    --reps "$wine_reps" --json "$out/wine.json"
  wine_json="$out/wine.json"
fi

echo
python3 "$root/bench/bench.py" report --work "$work" --native "$out/native.json" \
  ${count_json:+--count "$count_json"} ${wine_json:+--wine "$wine_json"} --json "$out/results.json"
