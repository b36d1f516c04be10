#!/usr/bin/env bash
# Times the payload check's way of reading (256 KiB pieces) against a
# read-only mapping of the file, natively and under Wine (not a test):
#   bench/map_read.sh [FILE] [ROUNDS]
# FILE defaults to the benchmark's packaged app (bench/run.sh makes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
file=${1:-$root/build/bench/work/app.exe}
rounds=${2:-15}
out="$root/build/bench/map_read"
mkdir -p "$out"
[ -f "$file" ] || { echo "missing $file: run bench/run.sh first or name a file" >&2; exit 1; }
size=$(stat -c %s "$file")
gcc -O2 -o "$out/map_read" "$root/bench/map_read.c"
x86_64-w64-mingw32-gcc -municode -O2 -s -static -o "$out/map_read.exe" "$root/bench/map_read.c"
cat "$file" >/dev/null  # from the page cache, as a warm start reads it
echo "native: $("$out/map_read" "$file" 0 "$size" "$rounds")"
prefix=$(mktemp -d)
trap 'WINEPREFIX=$prefix timeout 30 /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
echo "wine:   $(WINEPREFIX=$prefix WINEDEBUG=-all timeout 600 /usr/lib/wine/wine64 "$out/map_read.exe" \
  "Z:$(echo "$file" | tr / '\\')" 0 "$size" "$rounds" 2>/dev/null | tr -d '\r')"
