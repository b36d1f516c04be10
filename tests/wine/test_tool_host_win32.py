"""The Windows tool host (tools/host/host.h) under Wine, through
tool_host_probe.exe: the UTF-16 command line, paths taken apart by Windows'
rules and text at the Win32 calls, an output committed over an
existing file, names never reused, work folders held and removed by handle,
Ctrl-C while an output is open, a hard kill while it is written and after,
what the next run removes, a child's secret on its standard input and the
timeout ending a child with its grandchild. (Links are not faithful under
Wine: the removal's link safety is tested natively over the simulator.)"""
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def parse(output):
    values = {}
    for line in output.splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            values.setdefault(key, []).append(value)
    return values


def main():
    h = harness.Harness.from_args()
    with h:
        probe = h.platform_helper("tool_host_probe", ["tools/host/libvorlane_tool_host.a", "libvorlane_core.a"],
                                  ["bcrypt"])
        prefix = h.new_prefix()

        @h.case("arguments come from the UTF-16 command line as UTF-8")
        def _():
            words = ["plain", "with space", "\u00e9t\u00e9", "\u65e5\u672c", "\U0001f600"]
            result = prefix.run(probe, ["args"] + words, relay=False)
            h.expect_equal(result.status, 0, "exit status")
            h.expect_equal(parse(result.stdout).get("arg"), [w.encode("utf-8").hex() for w in words], "arguments")

        @h.case("paths are taken apart by Windows' rules; text that is not UTF-8 reaches no Win32 call")
        def _():
            result = prefix.run(probe, ["names"], relay=False)
            got = parse(result.stdout)
            h.expect_equal((result.status, got.get("fail")), (0, None), "probe checks: " + result.stdout[-1200:])

        @h.case("an output replaces an existing file in one step; names are never reused")
        def _():
            folder = h.scratch_dir("output")
            result = prefix.run(probe, ["output", harness.wine_path(folder)], relay=False)
            got = parse(result.stdout)
            h.expect_equal((result.status, got.get("fail")), (0, None), "probe checks: " + result.stderr[-800:])
            left = sorted(os.listdir(folder))
            h.expect_equal((len(left), left[1:]), (3, ["app.exe", "old.exe"]), "what is left")
            h.expect(left[0].startswith(".app.exe.vorlane-") and left[0].endswith("-000000000000000a.tmp"),
                     "the planted file kept: %r" % left)

        def interrupt(folder, *extra):
            """Starts the probe waiting in folder, sends it SIGINT once ready."""
            process = prefix.start(probe, ["wait", harness.wine_path(folder)] + list(extra), relay=False)
            ready = os.path.join(folder, "ready")
            deadline = time.monotonic() + 30
            while not os.path.exists(ready) and time.monotonic() < deadline:
                time.sleep(0.02)
            h.expect(os.path.exists(ready), "the probe never got ready")
            # Wine runs the console handlers for a SIGINT to the process.
            for pid in harness._children(process._popen.pid):
                os.kill(pid, signal.SIGINT)
            result = process.wait()
            return result, parse(result.stdout)

        @h.case("Ctrl-C removes the temporary file and the work folder, and refuses the commit")
        def _():
            if harness.ON_WINDOWS:
                print("note: SIGINT is Wine's way in; not run on Windows")
                return
            for extra in ([], ["abandon"]):
                folder = h.scratch_dir("interrupt-" + "-".join(["wait"] + extra))
                result, got = interrupt(folder, *extra)
                h.expect_equal((got.get("interruption"), got.get("fail")), (["2"], None), "probe checks %r" % extra)
                h.expect_equal(result.status, 128 + 2, "exit status %r" % extra)
                h.expect_equal(os.listdir(folder), ["ready"], "what is left %r" % extra)

        @h.case("a work folder is held against renaming and removed by handle, read-only and hidden files too")
        def _():
            result = prefix.run(probe, ["workfolder"], relay=False)
            got = parse(result.stdout)
            h.expect_equal((result.status, got.get("fail")), (0, None), "probe checks: " + result.stdout[-800:])
            h.expect_equal(got.get("renamed_while_held"), ["0"], "a rename of the held folder")

        def hold(folder, *extra):
            """Starts the probe holding an output and a work folder in folder; its key=value lines once ready."""
            process = prefix.start(probe, ["hold", harness.wine_path(folder)] + list(extra), relay=False)
            ready = os.path.join(folder, "ready")
            deadline = time.monotonic() + 30
            while not os.path.exists(ready) and time.monotonic() < deadline:
                time.sleep(0.02)
            h.expect(os.path.exists(ready), "the holding probe never got ready")
            return process

        @h.case("a hard kill while the output is written leaves no file; the next run takes the work folder")
        def _():
            if harness.ON_WINDOWS:
                print("note: the kill is Wine's process ending; not run on Windows")
                return
            for closed in (False, True):
                folder = h.scratch_dir("hold-closed" if closed else "hold-written")
                process = hold(folder, *(["closed"] if closed else []))
                # The owner lives: nothing of it is taken, from another process either.
                living = prefix.run(probe, ["sweep", harness.wine_path(folder)], relay=False)
                h.expect_equal(parse(living.stdout).get("removed"), ["0"], "sweep beside a living owner")
                h.expect(process.kill(), "the holding probe was running")
                held = parse(process.wait().stdout)
                if not closed and held.get("open_while_written") != ["0"]:
                    # Windows refuses to open a file whose deletion is pending; Wine 8 opens it.
                    print("note: Wine opened the output's name while its deletion was pending")
                names = sorted(n for n in os.listdir(folder) if n != "ready")
                h.expect_equal(len(names), 1 if closed else 0, "left beside the output after the kill: %r" % names)
                swept = prefix.run(probe, ["sweep", harness.wine_path(folder)] + held.get("work", []) +
                                   held.get("temporary", []), relay=False)
                got = parse(swept.stdout)
                h.expect_equal((got.get("removed"), got.get("exists")),
                               (["2" if closed else "1"], ["0", "0"]), "the next run's sweep")
                h.expect_equal(os.listdir(folder), ["ready"], "what is left at last")

        @h.case("a secret reaches a child on its standard input; the timeout ends the child and its grandchild")
        def _():
            folder = h.scratch_dir("children")
            result = prefix.run(probe, ["children", harness.wine_path(folder)], relay=False, timeout=120)
            got = parse(result.stdout)
            h.expect_equal((result.status, got.get("fail"), got.get("grandchild_ended")), (0, None, ["1"]),
                           "probe checks: " + result.stdout[-800:])

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
