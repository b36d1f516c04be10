#!/usr/bin/env bash
# Packing speed and memory: the native vorlane-pack on a generated,
# incompressible payload (600 MiB by default) and the ~11 MB runtime library
# the launch benchmark uses (real x86-64 code, signed by a throwaway CA),
# against the route it replaced: the payload copied with cp and the runtime
# compressed by 7zz with the switches the old tool passed. Best of N wall and
# CPU times, the tool's peak resident memory (GNU time), the package's size.
# Results go to build/bench/pack.json. Not part of scripts/test.sh: a timing
# is no test on a shared machine.
#
#   bench/pack.sh [--payload-mib N] [--reps N]
#
# vorlane-pack flushes its output to disk before naming it (as the old tool
# did); cp does not, so the anchor is also shown with the copy flushed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/bench"
work="$out/pack"
payload_mib=600
reps=3
while [ $# -gt 0 ]; do
  case "$1" in
    --payload-mib) payload_mib=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    *) echo "usage: $0 [--payload-mib N] [--reps N]" >&2; exit 2 ;;
  esac
done

launcher="$root/build/win64/VorlaneLauncher.exe"
[ -f "$launcher" ] || { echo "missing $launcher: run scripts/build.sh first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time: run scripts/bootstrap.sh" >&2; exit 1; }

echo "== building build/bench (Release): vorlane-pack"
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DVORLANE_WINE_TESTS=OFF >/dev/null
cmake --build "$out" -j2 --target vorlane-pack >/dev/null
pack="$out/tools/vorlane-pack"
[ -x "$pack" ] && [ ! -L "$pack" ] || { echo "$pack is not the native program" >&2; exit 1; }

echo "== inputs: ${payload_mib} MiB payload, the benchmark's runtime library"
mkdir -p "$work"
ROOT_DIR="$root" python3 - "$work" "$payload_mib" <<'EOF'
import os, sys
root = os.environ["ROOT_DIR"]
sys.path.insert(0, os.path.join(root, "bench"))
import bench  # noqa: E402
work, mib = sys.argv[1], int(sys.argv[2])
bench.make_payload(os.path.join(work, "payload.bin"), mib * bench.MIB)
runtime = os.path.join(work, "VorlaneStub.dll")
if not os.path.exists(runtime):
    bulk = os.path.join(work, "bulk.bin")
    bench.make_bulk(bulk, os.path.join(work, "strip"))
    unsigned = runtime + ".unsigned"
    bench.run([bench.MINGW_CXX, "-shared", "-O2", "-s", "-municode", "-static", "-static-libgcc",
               "-static-libstdc++", '-DBULK_FILE="%s"' % bulk, "-o", unsigned,
               os.path.join(root, "bench", "runtime_dll.cpp"), os.path.join(root, "bench", "bulk.S")])
    chain = bench.harness.make_signing_chain(os.path.join(work, "chain"))
    bench.harness.sign_image(unsigned, runtime, chain)
EOF
payload="$work/payload.bin"
runtime="$work/VorlaneStub.dll"
root_pem="$work/chain/root.pem"
anchor="$work/anchor"
mkdir -p "$anchor"
ln -sf "$runtime" "$anchor/VorlaneStub.dll"

# name: a command line, timed reps times; the best wall, user+sys and the peak RSS.
declare -A wall cpu rss
measure() {
  local name=$1; shift
  local best_wall="" best_cpu="" peak=0 w u s m
  for _ in $(seq "$reps"); do
    rm -f "$work/app.exe" "$anchor/payload.copy" "$anchor/runtime.7z"
    cat "$payload" "$runtime" >/dev/null  # from the page cache, as after the build that made them
    if ! /usr/bin/time -o "$work/$name.time" -f "%e %U %S %M" "$@" >/dev/null 2>"$work/$name.err"; then
      echo "$name failed:" >&2
      tail -n 20 "$work/$name.err" >&2
      exit 1
    fi
    read -r w u s m <"$work/$name.time"
    best_wall=$(awk -v a="$w" -v b="${best_wall:-$w}" 'BEGIN { print (a < b ? a : b) }')
    best_cpu=$(awk -v u="$u" -v s="$s" -v b="${best_cpu:-1e9}" 'BEGIN { print (u + s < b ? u + s : b) }')
    [ "$m" -gt "$peak" ] && peak=$m
  done
  wall[$name]=$best_wall
  cpu[$name]=$best_cpu
  rss[$name]=$peak
}

export SOURCE_DATE_EPOCH=1700000000
seven=(7zz a -m0=BCJ2 -m1=LZMA:d25 -m2=LZMA:d19 -m3=LZMA:d19 -mb0:1 -mb0s1:2 -mb0s2:3 -t7z -y -bd -bso0 -bsp0
       -ssc -ms=off -mhc=off -mhe=off -mtm=off -mtc=off -mta=off)
echo "== timing, best of $reps"
measure pack "$pack" --launcher "$launcher" --payload "$payload" --runtime "$runtime" -o "$work/app.exe" -q \
  --trust-root "$root_pem"
package_size=$(stat -c %s "$work/app.exe")
measure pack_no_check "$pack" --launcher "$launcher" --payload "$payload" --runtime "$runtime" -o "$work/app.exe" \
  -q --no-check
measure anchor bash -c 'cp "$1" "$2/payload.copy" && cd "$2" && shift 2 && "$@" runtime.7z VorlaneStub.dll' \
  _ "$payload" "$anchor" "${seven[@]}"
measure anchor_flushed bash -c 'cp "$1" "$2/payload.copy" && sync "$2/payload.copy" && cd "$2" && shift 2 &&
  "$@" runtime.7z VorlaneStub.dll' _ "$payload" "$anchor" "${seven[@]}"
measure copy cp "$payload" "$anchor/payload.copy"
measure compress bash -c 'cd "$1" && shift && "$@" runtime.7z VorlaneStub.dll' _ "$anchor" "${seven[@]}"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf '%-34s %8s %8s %10s\n' "" "wall s" "cpu s" "peak RSS"
for name in pack pack_no_check anchor anchor_flushed copy compress; do
  printf '%-34s %8s %8s %7s MiB\n' "$name" "${wall[$name]}" "${cpu[$name]}" "$((rss[$name] / 1024))"
done
echo "package: $package_size bytes (payload $(stat -c %s "$payload"), runtime $(stat -c %s "$runtime"))"
echo "vorlane-pack / (cp + 7zz): wall $(ratio "${wall[pack]}" "${wall[anchor]}")x (target <= 1.2x)," \
     "without the check $(ratio "${wall[pack_no_check]}" "${wall[anchor]}")x;" \
     "against the flushed copy $(ratio "${wall[pack]}" "${wall[anchor_flushed]}")x"
{
  printf '{"payload_mib": %s, "reps": %s, "package_size": %s' "$payload_mib" "$reps" "$package_size"
  for name in pack pack_no_check anchor anchor_flushed copy compress; do
    printf ', "%s": {"wall": %s, "cpu": %s, "peak_rss_kib": %s}' "$name" "${wall[$name]}" "${cpu[$name]}" \
      "${rss[$name]}"
  done
  printf '}\n'
} >"$out/pack.json"
echo "results: $out/pack.json"
