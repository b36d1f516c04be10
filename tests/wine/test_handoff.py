"""The hand-off to the runtime under Wine: the eight arguments the stand-in
runtime receives, the settings of the string table, and what the after-run
removal takes away (only what the run itself put where nothing stood), and a
library another process holds loaded under another name still runs."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cache_tools  # noqa: E402
import fixtures  # noqa: E402
import harness  # noqa: E402

LOAD_FAILED = ("Error", "Failed to load VorlaneStub DLL")
EXIT_RUNTIME_LOAD = 6
ROOT_NAME = "Vorlane Runtime"
CACHE_LISTING = [ROOT_NAME, os.path.join(ROOT_NAME, "202600"),
                 os.path.join(ROOT_NAME, "202600", "VorlaneStub.dll")]


def variant(h, name):
    """The launcher built with another string table (tests/CMakeLists.txt)."""
    return os.path.join(h.win64, "tests", "variants", name, "VorlaneLauncher.exe")


def empty_folder(path):
    for name in os.listdir(path):
        full = os.path.join(path, name)
        if os.path.isdir(full) and not os.path.islink(full):
            shutil.rmtree(full)
        else:
            os.remove(full)


def file_identity(path):
    st = os.stat(path)
    return st.st_ino, st.st_mtime_ns, st.st_size


def main():
    h = harness.Harness.from_args()
    needed = [h.launcher, os.path.join(h.win64, "tests", "VorlaneStub.dll")]
    needed += [variant(h, n) for n in ("keep", "lower_y", "yes", "no_setting4", "no_setting5")]
    if h.missing_builds(*needed):
        return 1

    settings = fixtures.launcher_settings(h.win64)
    calls = settings[4] != "" and settings[5] != ""
    removes = settings[6] == "Y"

    with h:
        fx = fixtures.Fixtures(h)
        payload = fx.payload(size=300000, seed=11)
        payload_crc = "%08x" % fixtures.payload_crc(payload)
        good = fx.runtime("good")
        app = fx.package("app", runtime=good, payload=payload)
        apps = {name: fx.package("app-" + name, runtime=good, payload=payload, launcher=variant(h, name))
                for name in ("keep", "lower_y", "yes", "no_setting4", "no_setting5")}

        def expect_called(result, exe, first, line, what, setting4="FALSE", setting5="NO"):
            """The run ended with 0 (never the runtime's 77), showed nothing, and the
            runtime received exactly these arguments."""
            h.expect_status(result, 0, what + ": exit status")
            h.expect_boxes(result, [], what + ": boxes")
            record = fx.record(exe)
            if not h.expect(record is not None, what + ": the runtime was not called"):
                return
            h.expect_equal(record.get("instance_is_exe"), "1", what + ": instance is the exe's module")
            h.expect_equal(record.get("module_path"), harness.wine_path(exe), what + ": module path")
            h.expect_equal(record.get("setting4"), setting4, what + ": setting 4")
            h.expect_equal(record.get("setting5"), setting5, what + ": setting 5")
            h.expect_equal(record.get("first_argument"), first, what + ": first argument")
            h.expect_equal(record.get("argument_line"), line, what + ": argument line")
            h.expect_equal(record.get("payload_offset"), str(fx.archive_start(exe) + 32), what + ": payload offset")
            h.expect_equal(record.get("payload_size"), str(os.path.getsize(payload)), what + ": payload size")
            h.expect_equal(record.get("payload_read"), "1", what + ": payload readable in place")
            h.expect_equal(record.get("payload_crc"), payload_crc, what + ": payload CRC read in place")

        @h.case("first start on a clean cache: the eight arguments, exit 0 not 77, then the cache is gone")
        def _():
            prefix = fx.trusted_prefix()
            result = prefix.run(app, ["C:\\My Files\\book", "-x"])
            if calls:
                expect_called(result, app, "C:\\My Files\\book", '"C:\\My Files\\book" -x', "first start",
                              settings[4], settings[5])
                record = fx.record(app) or {}
                h.expect(not record.get("module_path", "").startswith("\\\\?\\"),
                         "module path handed on in long form: %r" % record.get("module_path"))
            else:
                h.expect_status(result, EXIT_RUNTIME_LOAD, "first start: exit status")
            expected = [] if removes else CACHE_LISTING
            h.expect_equal(fixtures.listing(prefix.appdata), expected, "local app data after the run")

        @h.case("a root folder that existed before stays; only the version folder goes")
        def _():
            prefix = fx.trusted_prefix()
            root = os.path.join(prefix.appdata, ROOT_NAME)
            os.makedirs(root)
            fx.clear_record(app)
            result = prefix.run(app)
            h.expect_status(result, 0 if calls else EXIT_RUNTIME_LOAD)
            h.expect_equal(fx.record(app) is not None, calls, "runtime called")
            expected = [ROOT_NAME] if removes else CACHE_LISTING
            h.expect_equal(fixtures.listing(prefix.appdata), expected, "empty root before the run")

            # Another program's file in the root is no concern of the removal either.
            with open(os.path.join(root, "notes.txt"), "w") as f:
                f.write("mine\n")
            prefix.run(app)
            expected = [ROOT_NAME, os.path.join(ROOT_NAME, "notes.txt")] if removes else \
                sorted(CACHE_LISTING + [os.path.join(ROOT_NAME, "notes.txt")])
            h.expect_equal(fixtures.listing(prefix.appdata), expected, "root holding a file before the run")

        @h.case("a library that stood there before is never removed, not even one this run rewrote")
        def _():
            prefix = fx.trusted_prefix()
            library = fixtures.library_path(prefix.appdata)
            os.makedirs(os.path.dirname(library))
            shutil.copyfile(good, library)
            before = file_identity(library)
            fx.clear_record(app)
            result = prefix.run(app, ["a"])
            if calls:
                expect_called(result, app, "a", "a", "same library installed", settings[4], settings[5])
            h.expect_equal(fixtures.listing(prefix.appdata), CACHE_LISTING, "cache after the run")
            h.expect_equal(file_identity(library), before, "installed library (inode, mtime, size)")

            # An older, different library is replaced, and the new one stays too.
            with open(library, "wb") as f:
                f.write(b"an older runtime" * 1000)
            fx.clear_record(app)
            result = prefix.run(app)
            if calls:
                expect_called(result, app, "", "", "different library installed", settings[4], settings[5])
            h.expect_equal(fixtures.listing(prefix.appdata), CACHE_LISTING, "cache after the rewrite")
            with open(library, "rb") as f, open(good, "rb") as g:
                h.expect(f.read() == g.read(), "the cached library is not the packaged one")

        @h.case("setting 6 'y', 'YES' or missing: the cache stays after a first start")
        def _():
            prefix = fx.trusted_prefix()
            for name in ("lower_y", "yes", "keep"):
                empty_folder(prefix.appdata)
                exe = apps[name]
                result = prefix.run(exe, ["b"])
                expect_called(result, exe, "b", "b", name)
                h.expect_equal(fixtures.listing(prefix.appdata), CACHE_LISTING, name + ": cache after the run")

        @h.case("setting 4 or 5 missing: no call, no box, exit 6, the cache removed all the same")
        def _():
            prefix = fx.trusted_prefix()
            for name in ("no_setting4", "no_setting5"):
                empty_folder(prefix.appdata)
                exe = apps[name]
                result = prefix.run(exe, ["a", "b"])
                h.expect_status(result, EXIT_RUNTIME_LOAD, name + ": exit status")
                h.expect_boxes(result, [], name + ": boxes")
                h.expect_equal(fx.record(exe), None, name + ": record of a runtime call")
                h.expect_equal(fixtures.listing(prefix.appdata), [], name + ": local app data after the run")

        @h.case("a library without VorlaneInit: 'Failed to load VorlaneStub DLL', exit 6, the cache removed")
        def _():
            exe = fx.package("no-export", runtime=fx.runtime("no_export"), payload=payload)
            prefix = fx.trusted_prefix()
            result = prefix.run(exe)
            h.expect_status(result, EXIT_RUNTIME_LOAD)
            h.expect_boxes(result, [LOAD_FAILED])
            h.expect_equal(fx.record(exe), None, "record of a runtime call")
            h.expect_equal(fixtures.listing(prefix.appdata), [] if removes else CACHE_LISTING,
                           "local app data after the run")

        @h.case("arguments: none, 'a b', one with a space, an empty one between two, tabs and quotes as given")
        def _():
            prefix = fx.trusted_prefix()
            exe = apps["keep"]
            cases = [
                ([], "", ""),
                (["a", "b"], "a", "a b"),
                (["C:\\My Files\\book"], "C:\\My Files\\book", '"C:\\My Files\\book"'),
                (["a", "", "b"], "a", "a  b"),
                (["", "x"], "", " x"),
                # Only a space causes quoting; quotes inside an element are copied.
                (["tab\there", 'say "hi"', "plain"], "tab\there", 'tab\there "say "hi"" plain'),
            ]
            for args, first, line in cases:
                fx.clear_record(exe)
                result = prefix.run(exe, args)
                expect_called(result, exe, first, line, "arguments %r" % (args,))

        @h.case("the library held loaded by another process under another name for the same file runs")
        def _():
            # The cache in the prefix's own C: folder; the other process loads the
            # library through its Z: path, so the system names the image by that.
            prefix = fx.trusted_prefix(local_appdata=False)
            prefix.appdata = prefix.default_local_appdata()
            library = fixtures.library_path(prefix.appdata)
            os.makedirs(os.path.dirname(library))
            shutil.copyfile(good, library)
            fx.clear_record(app)
            with cache_tools.Held(h, prefix, "load", library):
                result = prefix.run(app, ["z"])
            if calls:
                expect_called(result, app, "z", "z", "held under another name", settings[4], settings[5])
            else:
                h.expect_status(result, EXIT_RUNTIME_LOAD, "held under another name: exit status")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
