"""The runtime library's signature check under Wine: a library that is unsigned,
altered after signing, signed by another publisher or under a root the machine
does not trust is refused with exit 5 and a box naming it and the reason, and is
never run; the properly signed one runs. Another signed build planted in the
cache with a forged CRC-32 is told apart by the pin and replaced."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

EXIT_INTEGRITY = 5
LIBRARY = "VorlaneStub.dll"

REFUSALS = {
    "unsigned": LIBRARY + " is not signed.",
    "tampered": LIBRARY + " has an invalid signature (0x80096010).",
    "wrong_publisher": LIBRARY + " is signed by Mallory Software, expected " + fixtures.PUBLISHER + ".",
    "untrusted": LIBRARY + " is signed by " + fixtures.PUBLISHER +
                 ", whose certificate is not trusted (0x800B0109).",
}


def main():
    h = harness.Harness.from_args()
    if h.missing_builds(os.path.join(h.win64, "tests", "VorlaneStub.dll")):
        return 1

    with h:
        fx = fixtures.Fixtures(h)

        def expect_refused(prefix, exe, runtime, message, what):
            result = prefix.run(exe)
            h.expect_status(result, EXIT_INTEGRITY, what + ": exit status")
            h.expect_boxes(result, [("Error", message)], what + ": boxes")
            h.expect_equal(fx.record(exe), None, what + ": record of a runtime call")
            # The refused file was installed and checked where it stands; the run
            # ended before the hand-off, so nothing removed it.
            library = fixtures.library_path(prefix.appdata)
            if h.expect(os.path.exists(library), what + ": library not in the cache"):
                with open(library, "rb") as f, open(runtime, "rb") as g:
                    h.expect(f.read() == g.read(), what + ": the cache holds another file than the packaged one")

        @h.case("unsigned, altered, wrong publisher, untrusted root: refused with exit 5, never run")
        def _():
            prefix = fx.trusted_prefix()
            for kind, message in REFUSALS.items():
                for name in os.listdir(prefix.appdata):
                    shutil.rmtree(os.path.join(prefix.appdata, name))
                runtime = fx.runtime(kind)
                exe = fx.package("app-" + kind, runtime=runtime)
                expect_refused(prefix, exe, runtime, message, kind)

        @h.case("the properly signed library runs")
        def _():
            prefix = fx.trusted_prefix()
            exe = fx.package("app-good", runtime=fx.runtime("good"))
            result = prefix.run(exe, ["x"])
            h.expect_status(result, 0)
            h.expect_boxes(result, [])
            record = fx.record(exe)
            h.expect(record is not None and record.get("first_argument") == "x",
                     "the runtime was not called as expected: %r" % (record,))

        @h.case("another signed build with the archive's CRC-32, by the publisher or a namesake: replaced, never run")
        def _():
            prefix = fx.trusted_prefix()
            prefix.trust_root(fx.second_root()["pem"])
            good = fx.runtime("good")
            with open(good, "rb") as f:
                wanted = f.read()
            exe = fx.package("app-pinned", runtime=good)
            library = fixtures.library_path(prefix.appdata)
            for kind in ("other_build", "namesake"):
                forged = os.path.join(h.scratch_dir("forged-" + kind), LIBRARY)
                shutil.copyfile(fx.runtime(kind), forged)
                fixtures.forge_crc(forged, fixtures.crc32(wanted))
                os.makedirs(os.path.dirname(library), exist_ok=True)
                shutil.copyfile(forged, library)
                for attempt in ("planted", "next start"):
                    fx.clear_record(exe)
                    result = prefix.run(exe, ["x"])
                    h.expect_status(result, 0, "%s, %s: exit status" % (kind, attempt))
                    h.expect_boxes(result, [], "%s, %s: boxes" % (kind, attempt))
                    h.expect(fx.record(exe) is not None, "%s, %s: the runtime was not called" % (kind, attempt))
                    with open(library, "rb") as f:
                        h.expect(f.read() == wanted, "%s, %s: the cache does not hold the packed build"
                                 % (kind, attempt))

        @h.case("a signer certificate that names no use: refused after one rewrite")
        def _():
            prefix = fx.trusted_prefix()
            runtime = fx.runtime("no_eku")
            exe = fx.package("app-no-eku", runtime=runtime)
            expect_refused(prefix, exe, runtime, LIBRARY + " is signed by " + fixtures.PUBLISHER +
                           ", whose certificate is not for code signing.", "no EKU")

        @h.case("the same library on a machine that does not trust its root: refused")
        def _():
            prefix = h.new_prefix()
            runtime = fx.runtime("good")
            exe = fx.package("app-good-untrusting", runtime=runtime)
            expect_refused(prefix, exe, runtime, REFUSALS["untrusted"], "root not trusted")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
