"""Starts killed under Wine at a spread of moments: a cold start of a large
runtime (its decode and write take a good part of the start), with and without
after-run removal, and a start purging 200 older version folders. The Wine
process of the launcher gets SIGKILL, no clean-up of any kind; whatever it
left, the library's name holds nothing or the whole archive copy, and the next
start runs and leaves only the version folder and its library (or nothing,
where setting 6 removed what that start installed).

Long (a few minutes): run by scripts/test-extra.sh, not by the main ctest run
(it is registered under the ctest configuration "long")."""
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cache_tools as ct  # noqa: E402
import fixtures  # noqa: E402
import harness  # noqa: E402

RUNTIME_MB = 40
COLD_KILLS = 18      # per launcher: with and without after-run removal
PURGE_KILLS = 30
OLDER_FOLDERS = 200

INSTALLED = ["Vorlane Runtime", os.path.join("Vorlane Runtime", "202600"),
             os.path.join("Vorlane Runtime", "202600", "VorlaneStub.dll")]
# What a killed start may leave in the version folder besides the library.
LEFTOVER = re.compile(r"VorlaneStub\.dll\.\d+\.new$")


def main():
    h = harness.Harness.from_args()
    keep = ct.keep_launcher_path(h)
    if h.missing_builds(keep):
        return 1

    with h:
        fx = fixtures.Fixtures(h)
        began = time.monotonic()
        large = fx.padded_runtime(RUNTIME_MB)
        large_data = ct.read(large)
        good = ct.read(fx.runtime("good"))
        cold = {"setting 6 empty": fx.package("cold-keep", runtime=large, launcher=keep),
                "setting 6 Y": fx.package("cold-y", runtime=large)}
        purging = fx.package("purge")
        prefix = fx.trusted_prefix()
        library = ct.library(prefix)
        root = os.path.dirname(ct.runtime_dir(prefix))
        print("      packages of a %.1f MB runtime built in %.0f s" % (len(large_data) / 1e6, time.monotonic() - began))
        figures = []

        def duration(exe, prepare):
            """An undisturbed start's wall time from its Wine process's start: the
            shortest of three, so kills rarely come after the end."""
            times = []
            for _ in range(3):
                prepare()
                started = time.monotonic()
                result = prefix.run(exe, relay=False)
                times.append(time.monotonic() - started)
                if result.status != 0 or fx.record(exe) is None:
                    raise RuntimeError("an undisturbed start failed: %r" % result)
            return min(times)

        def sweep(what, exe, data, prepare, kills, expected_after, check_killed=None):
            """Kills `kills` starts of exe at moments spread over an undisturbed
            start (a start that ends first does not count); each followed by a
            start that must run and leave expected_after(whether the library,
            and the root, stood after the kill). Returns the problems."""
            plain = duration(exe, prepare)
            problems, tried, recovered, touched, mid_write, ended = [], 0, 0, 0, 0, 0
            started_sweep = time.monotonic()
            i = 0
            while tried < kills and i < 2 * kills:
                # Golden-ratio steps fill the span evenly however many it takes;
                # the last tenth is mostly Wine ending the process.
                at = 0.9 * plain * ((0.5 + i * 0.6180339887) % 1.0)
                i += 1
                prepare()
                before = fixtures.listing(prefix.appdata)
                fx.clear_record(exe)
                process = prefix.start(exe, relay=False)
                time.sleep(max(0.0, process._started + at - time.monotonic()))
                killed = process.kill()
                left = fixtures.listing(prefix.appdata)
                if killed:
                    tried += 1
                    touched += left != before
                    mid_write += any(LEFTOVER.match(os.path.basename(n)) for n in left)
                else:
                    ended += 1  # it was faster this time: no kill, still a start to follow
                found = []
                extra = [n for n in left if n not in INSTALLED and not (
                    os.path.dirname(n) == INSTALLED[1] and LEFTOVER.match(os.path.basename(n)))]
                if check_killed:
                    extra = check_killed(extra)
                if extra:
                    found.append("the kill left %r" % extra)
                had_library = os.path.isfile(library)
                had_root = os.path.isdir(os.path.join(prefix.appdata, INSTALLED[0]))
                if had_library and ct.read(library) != data:
                    found.append("the library's name holds a partial or foreign file")
                fx.clear_record(exe)
                result = prefix.run(exe)
                if result.status != 0 or result.boxes or result.timed_out:
                    found.append("the next start ended with %r" % result)
                record = fx.record(exe)
                if record is None:
                    found.append("the next start did not call the runtime")
                elif record["payload_read"] != "1":
                    found.append("the runtime could not read its payload: %r" % record)
                after = fixtures.listing(prefix.appdata)
                want = expected_after(had_library, had_root)
                if after != want:
                    found.append("the cache holds %r, not %r" % (after, want))
                elif INSTALLED[-1] in after and ct.read(library) != data:
                    found.append("the library is not the archive's")
                if found:
                    problems.append("%s, killed at %.2f s of %.2f s: %s" % (what, at, plain, "; ".join(found)))
                else:
                    recovered += 1
            took = time.monotonic() - started_sweep
            figures.append("%s: %d kills over a %.2f s start (%d more ended first), %d of %d recovered; "
                           "%d kills left the cache changed, %d a half-written copy; %.0f s"
                           % (what, tried, plain, ended, recovered, i, touched, mid_write, took))
            if tried < kills:
                problems.append("%s: only %d of %d starts could be killed" % (what, tried, kills))
            print("      " + figures[-1])
            return problems

        def empty_cache():
            ct.reset(prefix.appdata)

        @h.case("cold starts of a %d MB runtime killed at %d moments each: the next start runs, the cache is whole"
                % (RUNTIME_MB, COLD_KILLS))
        def _():
            problems = sweep("cold start, setting 6 empty", cold["setting 6 empty"], large_data, empty_cache,
                             COLD_KILLS, lambda had, root: INSTALLED)
            # A killed start that got the library in place leaves it current: the
            # next start installs nothing, so it removes nothing either; a root
            # the killed start made stands before the next one, which keeps it.
            problems += sweep("cold start, setting 6 Y", cold["setting 6 Y"], large_data, empty_cache,
                              COLD_KILLS, lambda had, root: INSTALLED if had else [INSTALLED[0]] if root else [])
            for problem in problems:
                h.expect(False, problem)

        older = ["%d" % n for n in range(1, OLDER_FOLDERS + 1)]
        newer = ["202601", os.path.join("202601", "inside.txt")]

        def older_folders():
            ct.reset(prefix.appdata)
            ct.place(library, good)
            for name in older:
                for inner in ("a.txt", "b.bin", os.path.join("sub", "c.txt")):
                    ct.place(os.path.join(root, name, inner), name.encode() * 64, dated=False)
            ct.place(os.path.join(root, newer[1]), b"newer", dated=False)

        def only_older(extra):
            """A killed purge leaves some of the older folders, whole or in part, and the newer one."""
            keep_newer = [os.path.join("Vorlane Runtime", n) for n in newer]
            return [n for n in extra if n not in keep_newer and n.split(os.sep)[1] not in older]

        @h.case("starts purging %d older version folders killed at %d moments: the next start runs and ends the purge"
                % (OLDER_FOLDERS, PURGE_KILLS))
        def _():
            want = sorted(INSTALLED + [os.path.join("Vorlane Runtime", n) for n in newer])
            problems = sweep("purge of %d folders" % OLDER_FOLDERS, purging, good, older_folders, PURGE_KILLS,
                             lambda had, root: want, only_older)
            for problem in problems:
                h.expect(False, problem)

        print("      kill figures:\n      " + "\n      ".join(figures))
    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
