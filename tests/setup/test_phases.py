"""The test command's phase table (scripts/phases.sh): a job started beside a
phase has its CPU in its own row and the total, never in the phase it
overlapped; phase_join gives back the job's status, and returns, with a
failure, when the job died before it could report one.

    python3 test_phases.py --source REPO --scratch DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

# Over a second of CPU beside a phase that only sleeps, then a job whose
# waiting shell is killed before its command ends.
SCRIPT = r"""
source "$SOURCE/scripts/phases.sh"
phase_beside "busy" "$SCRATCH/busy.out" python3 -c '
import sys, time
while time.process_time() < 1.2: pass
sys.exit(3)'
phase "idle" sleep 3
phase_join "busy"; echo "busy status $?"
phase_beside "lost" "$SCRATCH/lost.out" sleep 30
sleep 0.5; kill -9 "${beside_pids[lost]}"
phase_join "lost"; echo "lost status $?"
phase_table
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--scratch", required=True)
    args = parser.parse_args()
    scratch = os.path.abspath(args.scratch)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    try:
        done = subprocess.run(["bash", "-c", SCRIPT], env=dict(os.environ, SOURCE=args.source, SCRATCH=scratch),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        out = done.stdout.decode()
    except subprocess.TimeoutExpired as hung:
        out = (hung.stdout or b"").decode() + "\n(still waiting after 60 s)"
    print(out)
    rows = {m.group(1).strip(): int(m.group(2)) * 60 + int(m.group(3))
            for m in re.finditer(r"^(\w[\w ]*?)\s+\d+:\d\d\s+(\d+):(\d\d)$", out, re.M)}
    failures = []

    def expect(ok, what):
        print("%s  %s" % ("ok  " if ok else "FAIL", what))
        if not ok:
            failures.append(what)

    expect("busy status 3" in out, "phase_join gives back the job's own status")
    expect(rows.get("busy", 0) >= 1 and rows.get("total", 0) >= 1, "the job's CPU is in its own row and the total")
    expect(rows.get("idle", 99) == 0, "the phase the job overlapped does not count the job's CPU")
    expect(re.search(r"^lost status [1-9]", out, re.M) is not None, "a job that died unreported fails its join")
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
