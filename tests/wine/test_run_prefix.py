"""vorlane-run on a kept prefix (--prefix DIR): runs started at once on one
prefix take turns, so each ends with the launcher's own code (each run stops
the prefix's Wine server at its end, which took the other's package down with
it); a folder that is neither empty nor a prefix is refused and left as it was."""
import fcntl
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cache_tools as ct  # noqa: E402
import fixtures  # noqa: E402
import harness  # noqa: E402


def main():
    h = harness.Harness.from_args()
    keep_launcher = ct.keep_launcher_path(h)
    if h.missing_builds(keep_launcher, os.path.join(h.native or "", "tools", "vorlane-pack")):
        return 1
    tool = os.path.join(h.source, "tools", "vorlane-run")
    env = dict(os.environ, VORLANE_RUN_CACHE=h.cache)

    def start(prefix, exe, log):
        return subprocess.Popen(["python3", tool, "--trust-root", fx.root()["pem"], "--prefix", prefix, exe],
                                env=env, stdout=log, stderr=subprocess.STDOUT)

    with h:
        fx = fixtures.Fixtures(h)
        folder = h.scratch_dir("run-prefix")

        @h.case("two runs started at once on one prefix both end with the launcher's code, one after the other, "
                "and leave the cache a later start finds")
        def _():
            prefix = os.path.join(folder, "prefix")
            # Setting 6 left out: the cache stays, so the prefix is seen to be shared.
            apps = [fx.package("prefix-%d" % i, launcher=keep_launcher) for i in (1, 2)]
            logs = [open(os.path.join(folder, "run-%d.log" % i), "w+") for i in (1, 2)]
            # Held here first, as by a run already going: both must wait, then take turns.
            os.makedirs(prefix)
            with open(os.path.join(prefix, harness.vorlane_run.PREFIX_LOCK), "a") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                runs = [start(prefix, app, log) for app, log in zip(apps, logs)]
                deadline = time.monotonic() + 120
                waiting = [False, False]
                while not all(waiting) and time.monotonic() < deadline and all(r.poll() is None for r in runs):
                    time.sleep(0.2)
                    for i, log in enumerate(logs):
                        log.seek(0)
                        waiting[i] = "waiting for the other vorlane-run" in log.read()
                h.expect_equal(waiting, [True, True], "both runs wait while the prefix is held")
            statuses = []
            for run in runs:
                try:
                    statuses.append(run.wait(timeout=600))
                except subprocess.TimeoutExpired:
                    run.kill()
                    statuses.append(run.wait())
            outputs = []
            for log in logs:
                log.seek(0)
                outputs.append(log.read())
                log.close()
            h.expect_equal(statuses, [0, 0], "exit statuses:\n" + "\n----\n".join(o[-1500:] for o in outputs))
            for app, output in zip(apps, outputs):
                h.expect("exit code 0" in output.splitlines(), "no exit code 0 line:\n" + output[-1500:])
                h.expect(fx.record(app) is not None, "the runtime was not called for " + os.path.basename(app))
            library = fixtures.library_path(harness.vorlane_run.default_local_appdata(prefix))
            h.expect(os.path.isfile(library), "the cache is not in the shared prefix: " + library)

        @h.case("a folder that is neither empty nor a Wine prefix is refused with 125 and left as it was")
        def _():
            other = os.path.join(folder, "someone-elses")
            os.makedirs(other)
            with open(os.path.join(other, "notes.txt"), "w") as f:
                f.write("mine\n")
            with open(os.path.join(folder, "refused.log"), "w+") as log:
                status = start(other, fx.package("prefix-refused"), log).wait(timeout=300)
                log.seek(0)
                output = log.read()
            h.expect_equal(status, 125, "exit status (%s)" % output[-1000:])
            h.expect("neither empty nor a Wine prefix" in output, "the reason is not given: " + output[-1000:])
            h.expect_equal(os.listdir(other), ["notes.txt"], "what the folder holds")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
