"""The release bundle (scripts/release.sh, which scripts/test.sh runs first):
its launcher is stripped, names no build folder, has no link timestamp and is
byte-identical to a second build in another folder; packing with the bundle
alone, twice, gives the same bytes."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402


def main():
    h = harness.Harness.from_args()
    bundles = sorted(glob.glob(os.path.join(h.source, "build", "release", "vorlane-*[0-9]")))
    if not bundles:
        print("missing build/release/vorlane-*: run scripts/release.sh first")
        print("0 passed, 1 failed")
        return 1
    bundle = bundles[-1]
    launcher = os.path.join(bundle, "VorlaneLauncher.exe")

    with h:
        fx = fixtures.Fixtures(h)

        @h.case("the shipped launcher: no debug sections, symbols, build paths or link timestamp; "
                "built again in another folder it is byte-identical")
        def _():
            data = open(launcher, "rb").read()
            pe = harness.PeImage(data)
            names = [s[0] for s in pe.sections]
            h.expect(not [n for n in names if n.startswith((".debug", "/"))], "debug sections: %r" % names)
            lfanew = int.from_bytes(data[60:64], "little")
            h.expect_equal((int.from_bytes(data[lfanew + 8:lfanew + 12], "little"),
                            int.from_bytes(data[lfanew + 12:lfanew + 16], "little")), (0, 0),
                           "link timestamp and symbol table")
            for path in (h.source, os.path.realpath(h.source), os.path.join(h.source, "build")):
                h.expect(path.encode() not in data, "the launcher names " + path)
            second = tempfile.mkdtemp(prefix="repro-", dir=os.path.join(h.source, "build"))
            try:
                quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, check=True)
                subprocess.run(["cmake", "-S", h.source, "-B", second, "-DCMAKE_BUILD_TYPE=Release",
                                "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(h.source, "cmake", "mingw-w64.cmake")],
                               **quiet)
                subprocess.run(["cmake", "--build", second, "-j2", "--target", "VorlaneLauncher"], **quiet)
                again = open(os.path.join(second, "VorlaneLauncher.exe"), "rb").read()
                h.expect(again == data, "a second build differs (%d and %d bytes)" % (len(again), len(data)))
            finally:
                shutil.rmtree(second, ignore_errors=True)

        @h.case("the bundle packs without a launcher build, and the same inputs give the same bytes twice")
        def _():
            outputs = []
            for attempt in ("a", "b"):
                folder = h.scratch_dir("pack-" + attempt)
                # Same contents, other names and times: nothing of that may show.
                payload = os.path.join(folder, "payload-%s.bin" % attempt)
                shutil.copyfile(fx.payload(1 << 20, 3), payload)
                os.utime(payload, (1000000 * (attempt == "a") + 5, 1000000 * (attempt == "a") + 5))
                out = os.path.join(folder, "App.exe")
                env = dict(os.environ, SOURCE_DATE_EPOCH="1767225600")
                subprocess.run([os.path.join(bundle, "vorlane-pack"), "--payload", payload,
                                "--runtime", os.path.join(h.win64, "tests", "VorlaneStub.dll"), "-o", out, "-q",
                                "--sign-runtime", fx.chain()["chain"], fx.chain()["key"],
                                "--setting4", "four", "--version", "3.2.1.0", "--product-name", "Same"],
                               env=env, check=True)
                outputs.append(open(out, "rb").read())
                test = subprocess.run(["7zz", "t", out], stdout=subprocess.PIPE)
                h.expect(b"Everything is Ok" in test.stdout, "7zz t %s:\n%s" % (out, test.stdout.decode()))
            h.expect(outputs[0] == outputs[1], "two packs differ")
            h.expect(harness.PeImage(outputs[0]).strings().get(4) == "four", "setting 4 not written")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
