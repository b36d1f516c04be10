#!/usr/bin/env bash
# The launcher at work on a fresh Debian 12 machine: sets up what is missing,
# builds both configurations, then packs a sample application and runs it under
# Wine, explaining each step (scripts/demo.py). No display is needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

echo "Setting up (installs only what is missing; the first time takes several minutes)..."
"$root/scripts/bootstrap.sh"

echo "Building the launcher and the tools..."
mkdir -p "$root/build"
log="$root/build/demo-build.log"
if ! "$root/scripts/build.sh" >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "The build failed; the whole log is in $log." >&2
  exit 1
fi

exec python3 "$root/scripts/demo.py"
