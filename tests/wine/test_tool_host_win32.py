"""The Windows tool host (platform/tool_host.h) under Wine, through
tool_host_probe.exe: the UTF-16 command line, an output committed over an
existing file, names never reused, work folders, and Ctrl-C while an output
is open."""
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
        probe = h.platform_helper("tool_host_probe", ["libvorlane_tool_host.a"], ["bcrypt"])
        prefix = h.new_prefix()

        @h.case("arguments come from the UTF-16 command line as UTF-8")
        def _():
            words = ["plain", "with space", "\u00e9t\u00e9", "\u65e5\u672c", "\U0001f600"]
            result = prefix.run(probe, ["args"] + words, relay=False)
            h.expect_equal(result.status, 0, "exit status")
            h.expect_equal(parse(result.stdout).get("arg"), [w.encode("utf-8").hex() for w in words], "arguments")

        @h.case("an output replaces an existing file in one step; names are never reused")
        def _():
            folder = h.scratch_dir("output")
            result = prefix.run(probe, ["output", harness.wine_path(folder)], relay=False)
            got = parse(result.stdout)
            h.expect_equal((result.status, got.get("fail")), (0, None), "probe checks: " + result.stderr[-800:])
            h.expect_equal(sorted(os.listdir(folder)), [".app.exe.000000000000000a.tmp", "app.exe", "old.exe"],
                           "what is left")

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

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
