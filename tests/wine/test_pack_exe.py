"""vorlane-pack.exe, the Windows build of the packer, under Wine: it packs a
package that then runs, and for the same inputs it writes the very bytes the
Linux build writes (resources, icons scaled from a PNG, pin, archive)."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402


def main():
    h = harness.Harness.from_args()
    pack = os.path.join(h.native or "", "tools", "vorlane-pack")
    pack_exe = os.path.join(h.win64, "tools", "vorlane-pack.exe")
    if h.missing_builds(pack, pack_exe, os.path.join(h.win64, "tests", "VorlaneStub.dll")):
        return 1
    with h:
        fx = fixtures.Fixtures(h)
        folder = h.scratch_dir("pack-exe")
        prefix = fx.trusted_prefix()

        @h.case("vorlane-pack.exe packs a package that runs, byte for byte what the Linux build packs")
        def _():
            logo = os.path.join(folder, "logo.png")
            with open(logo, "wb") as f:
                f.write(fixtures.noise_png(300, 2))
            inputs = {"--launcher": h.launcher, "--payload": fx.payload(), "--runtime": fx.runtime("good"),
                      "--icon": logo}
            options = ["-q", "--setting4", "vier \u2603", "--file-version", "3.1.4",
                       "--product-name", "\u00dcn\u00efcode Viewer"]
            # The same output name: the version block's defaults come from it.
            os.makedirs(os.path.join(folder, "linux"), exist_ok=True)
            os.makedirs(os.path.join(folder, "windows"), exist_ok=True)
            linux_out = os.path.join(folder, "linux", "app.exe")
            done = subprocess.run([pack, "-o", linux_out, "--trust-root", fx.root()["pem"]] + options +
                                  [a for k, v in inputs.items() for a in (k, v)],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"))
            h.expect_equal(done.returncode, 0, "vorlane-pack: " + done.stdout.decode("utf-8", "replace")[-2000:])

            windows_out = os.path.join(folder, "windows", "app.exe")
            result = prefix.run(pack_exe, ["-o", harness.wine_path(windows_out)] + options +
                                [a for k, v in inputs.items() for a in (k, harness.wine_path(v))],
                                relay=False, timeout=300, env={"SOURCE_DATE_EPOCH": "1700000000"})
            h.expect_status(result, 0, "vorlane-pack.exe (%s)" % (result.stdout + result.stderr)[-2000:])
            with open(linux_out, "rb") as a, open(windows_out, "rb") as b:
                linux, windows = a.read(), b.read()
            first = next((i for i, (x, y) in enumerate(zip(linux, windows)) if x != y), None)
            h.expect(linux == windows, "the builds' packages differ: sizes %d and %d, first difference at %r"
                     % (len(linux), len(windows), first))

            launched = prefix.run(windows_out, ["a b"])
            h.expect_status(launched, 0, "the package vorlane-pack.exe wrote")
            h.expect_boxes(launched, [])
            record = fx.record(windows_out) or {}
            h.expect_equal((record.get("setting4"), record.get("argument_line")), ("vier \u2603", '"a b"'),
                           "what the runtime received")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
