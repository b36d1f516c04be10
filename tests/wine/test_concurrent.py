"""Many starts of one packaged application at the same time. Nothing coordinates
them but the file system, so each may meet another one installing, holding or
removing the library; every start must still end in one of the ways the
launcher defines, no runtime may ever run from a library the archive did not
write, and the cache must end in a state the next start accepts."""
import collections
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cache_tools as ct  # noqa: E402
import fixtures  # noqa: E402
import harness  # noqa: E402

INSTALLED = ["Vorlane Runtime", os.path.join("Vorlane Runtime", "202600"),
             os.path.join("Vorlane Runtime", "202600", "VorlaneStub.dll")]


def copies(exe, count, folder):
    """count names for the same packaged file (hard links): each start gets its own runtime record."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for i in range(count):
        path = os.path.join(folder, "app-%02d.exe" % i)
        if not os.path.exists(path):
            os.link(exe, path)
        paths.append(path)
    return paths


def outcome(result, record):
    """A short name for how one start ended (the message and status together)."""
    if result.timed_out:
        return "timed out"
    if result.status == 0 and not result.boxes and record is not None:
        return "ran"
    if len(result.boxes) == 1 and result.boxes[0][0] == "Error" and record is None:
        text = result.boxes[0][1]
        if result.status == 4 and text == ct.IN_USE:
            return "in use"
        if result.status == 4 and text == ct.IN_USE_OTHER_CRC:
            return "in use, other CRC"
        if result.status == harness.wine_status(-3) and text == ct.NO_FOLDER:
            return "no folder"
        for error in (2, 3, 32):
            if result.status == 5 and text == ct.CANNOT_CHECK % error:
                return "cannot check (%d)" % error
    return "unexpected: status %r, boxes %r, runtime called %r" % (result.status, result.boxes, record is not None)


def main():
    h = harness.Harness.from_args()
    if h.missing_builds():
        return 1

    with h:
        fx = fixtures.Fixtures(h)
        good = ct.read(fx.runtime("good"))
        payload = ct.read(fx.payload())
        exe = fx.package("app")
        prefix = fx.trusted_prefix()
        library = ct.library(prefix)

        def start_together(paths):
            for path in paths:
                fx.clear_record(path)
            results = prefix.run_many([(path, [], None) for path in paths], timeout=120)
            return [(result, fx.record(path)) for path, result in zip(paths, results)]

        def check_together(what, ended, allowed):
            """Every start ended in an allowed way; the runtimes that ran got the verified payload."""
            seen = collections.Counter(outcome(result, record) for result, record in ended)
            print("      %s: %s" % (what, ", ".join("%s x%d" % item for item in sorted(seen.items()))))
            h.expect(set(seen) <= set(allowed), "%s: outcomes outside %r: %r" % (what, sorted(allowed), seen))
            for result, record in ended:
                if record is not None:
                    h.expect(record["payload_crc"] == "%08x" % fixtures.crc32(payload)
                             and int(record["payload_size"]) == len(payload) and record["payload_read"] == "1",
                             "%s: a runtime got a wrong payload: %r" % (what, record))
            return seen

        def check_left_behind(what):
            """The starts left either no library or the archive's."""
            if os.path.isfile(library):
                h.expect(ct.read(library) == good, what + ": library left with other content")

        def check_final_start(what, path):
            fx.clear_record(path)
            result = prefix.run(path)
            h.expect_status(result, 0, what + ": next single start: exit status")
            h.expect_boxes(result, [], what + ": next single start: error boxes")
            h.expect(fx.record(path) is not None, what + ": next single start: the runtime was not called")

        # With setting 6 "Y" a run that installed the library removes the folders after it:
        # a start in its shadow may find RuntimeRoot gone while it creates RuntimeDir
        # ("no folder"), or the library gone before its signature check (errors 2, 3).
        # A start that meets another one writing the library sees "in use" or, when it
        # gets to the check first, error 32. The signature check holds the file from the
        # check until the load, and writers truncate only what nobody reads, so a runtime
        # never runs from a partly written or foreign library.
        WITH_REMOVAL = {"ran", "in use", "in use, other CRC", "no folder",
                        "cannot check (2)", "cannot check (3)", "cannot check (32)"}
        WITHOUT_REMOVAL = {"ran", "in use", "in use, other CRC", "cannot check (32)"}

        @h.case("16 starts at once on a clean cache, setting 6 'Y': each ends in a defined way, the next start runs")
        def _():
            ct.reset(prefix.appdata)
            paths = copies(exe, 16, h.scratch_dir("together-y"))
            seen = check_together("16 with removal", start_together(paths), WITH_REMOVAL)
            h.expect(seen["ran"] > 0, "no start ran")
            check_left_behind("after 16 with removal")
            check_final_start("after 16 with removal", paths[0])

        keep = ct.keep_launcher(h)
        if keep is None:
            print("skip  16 starts at once with setting 6 empty: no keep variant in " + h.win64)
        else:
            @h.case("16 starts at once on a clean cache, setting 6 empty: the archive's library stays")
            def _():
                ct.reset(prefix.appdata)
                kept = fx.package("kept", launcher=keep)
                paths = copies(kept, 16, h.scratch_dir("together-keep"))
                seen = check_together("16 keeping the cache", start_together(paths), WITHOUT_REMOVAL)
                h.expect(seen["ran"] > 0, "no start ran")
                h.expect_equal(fixtures.listing(prefix.appdata), INSTALLED, "cache after the starts")
                check_left_behind("after 16 keeping the cache")
                check_final_start("after 16 keeping the cache", paths[0])
                ct.date(library)
                before = ct.file_state(library)
                check_final_start("current library", paths[1])
                h.expect_equal(ct.file_state(library), before, "a current library was written again")

        @h.case("8 starts while a running copy has another library loaded: all stop 'in use', nothing written")
        def _():
            ct.reset(prefix.appdata)
            stale = ct.read(ct.stale_runtime(fx))
            ct.place(library, stale)
            before = ct.file_state(library)
            paths = copies(exe, 8, h.scratch_dir("together-held"))
            with ct.Held(h, prefix, "load", library):
                check_together("8 against another loaded library", start_together(paths), {"in use"})
            h.expect_equal(ct.file_state(library), before, "the loaded library was touched")
            h.expect(ct.read(library) == stale, "the loaded library's content changed")
            check_final_start("after the running copy ended", paths[0])
            h.expect(ct.read(library) == good, "the stale library was not replaced by the next start")

        @h.case("8 starts while a running copy has the same library loaded: all run, nothing written")
        def _():
            ct.reset(prefix.appdata)
            ct.place(library, good)
            before = ct.file_state(library)
            paths = copies(exe, 8, h.scratch_dir("together-same"))
            with ct.Held(h, prefix, "load", library):
                check_together("8 against the same loaded library", start_together(paths), {"ran"})
            h.expect_equal(ct.file_state(library), before, "the loaded library was touched")
            h.expect_equal(fixtures.listing(prefix.appdata), INSTALLED, "cache after the starts")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
