"""Only checked code runs, under Wine with the load order set native-first for
the names involved, which is how Windows treats a library that is not a known
system library: copies planted beside the packaged exe or beside the installed
runtime library are never loaded (loaded, they would leave a mark), and the app
still runs; a library where the plain form of a cache named "x." would lead is
never loaded either; another genuine build standing in the cache is never run
in place of the archive's copy."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

BESIDE_EXE = ("wintrust", "crypt32", "msasn1", "cryptsp", "userenv")
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


def main():
    h = harness.Harness.from_args()
    planted = os.path.join(h.win64, "tests", "VorlanePlanted.dll")
    if h.missing_builds(planted, os.path.join(h.win64, "tests", "VorlaneStubWinHttp.dll")):
        return 1

    with h:
        fx = fixtures.Fixtures(h)

        def run_planted(prefix, exe, names, folder):
            marks = h.scratch_dir("marks-" + os.path.basename(folder))
            for name in names:
                shutil.copyfile(planted, os.path.join(folder, name + ".dll"))
            env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;%s=n,b" % ",".join(names),
                   "VORLANE_MARK_DIR": harness.wine_path(marks)}
            result = prefix.run(exe, env=env)
            h.expect_equal(sorted(os.listdir(marks)), [], "planted libraries that were loaded")
            h.expect_status(result, 0)
            h.expect_boxes(result, [])
            h.expect(fx.record(exe) is not None, "the runtime was not called")
            return result

        @h.case("libraries planted beside the packaged exe are never loaded")
        def _():
            prefix = fx.trusted_prefix()
            exe = fx.package("beside-exe")
            run_planted(prefix, exe, BESIDE_EXE, os.path.dirname(exe))

        @h.case("a library planted beside the installed runtime is never loaded for it")
        def _():
            prefix = fx.trusted_prefix()
            exe = fx.package("beside-runtime", runtime=fx.runtime("winhttp"))
            folder = os.path.dirname(fixtures.library_path(prefix.appdata))
            os.makedirs(folder)
            run_planted(prefix, exe, ("winhttp",), folder)
            h.expect_equal((fx.record(exe) or {}).get("winhttp"), "1", "the runtime's own winhttp call")

        @h.case("a local app data value naming a folder \"x.\" in \\\\?\\ form: refused; the library in \"x\" never runs")
        def _():
            # The launcher would install and check in "x.", the plain path the
            # loader gets would reach "x", where this one was put.
            prefix = fx.trusted_prefix()
            base = h.scratch_dir("trailing-dot")
            dotted = os.path.join(base, "x.")
            os.makedirs(dotted)
            library = fixtures.library_path(os.path.join(base, "x"))
            os.makedirs(os.path.dirname(library))
            shutil.copyfile(planted, library)
            value = "\\\\?\\" + harness.wine_path(dotted)
            prefix.reg_add(SHELL_FOLDERS, "Local AppData", "REG_EXPAND_SZ", value)
            exe = fx.package("trailing-dot")
            marks = h.scratch_dir("marks-trailing-dot")
            result = prefix.run(exe, env={"VORLANE_MARK_DIR": harness.wine_path(marks)})
            h.expect_equal(sorted(os.listdir(marks)), [], "planted libraries that were loaded")
            h.expect_status(result, 8)
            h.expect_boxes(result, [("Error", ("Cannot use the runtime cache safely: a name in its path ends in a dot "
                                               "or a space, and Windows would open other files by it: " + value)[:255])])
            h.expect_equal(fixtures.listing(dotted), [], "what was made in the refused folder")
            h.expect_equal(fx.record(exe), None, "record of a runtime call")

        @h.case("another genuine build in the cache, the archive's copy damaged: refused, never run")
        def _():
            prefix = fx.trusted_prefix()
            payload = fx.payload()
            exe = fx.package("damaged-runtime", payload=payload)
            # The runtime's packed data follows the stored payload.
            at = fx.archive_start(exe) + 32 + os.path.getsize(payload) + 200
            with open(exe, "r+b") as f:
                f.seek(at)
                byte = f.read(1)
                f.seek(at)
                f.write(bytes([byte[0] ^ 0xFF]))
            library = fixtures.library_path(prefix.appdata)
            os.makedirs(os.path.dirname(library))
            shutil.copyfile(fx.runtime("winhttp"), library)
            result = prefix.run(exe)
            h.expect_status(result, 5)
            # The pin names the packed build: the one found is named by its digest.
            h.expect_boxes(result, [("Error", "VorlaneStub.dll is not the runtime this application was packed with "
                                              "(digest %s)." % fx.pin(fx.runtime("winhttp")))])
            h.expect_equal(fx.record(exe), None, "record of a runtime call")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
