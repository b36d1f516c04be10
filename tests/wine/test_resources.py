"""The launcher's resources as vorlane-pack writes them, read back by Windows'
own functions under Wine (resource_probe.c: LoadStringW, the version
functions, FindResourceW and the icon pick), and the package made from the
rewritten launcher still loads and starts, its resource section grown past
the relocations that follow it."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402


def parse(output):
    """key=value lines; icon lines collect into a list."""
    values = {"icon": []}
    for line in output.replace("\r", "").splitlines():
        key, _, value = line.partition("=")
        if key == "icon":
            values["icon"].append(tuple(int(v) for v in value.split()))
        elif key:
            values[key] = value
    return values


def main():
    h = harness.Harness.from_args()
    if h.missing_builds(os.path.join(h.win64, "tests", "VorlaneStub.dll")):
        return 1
    with h:
        fx = fixtures.Fixtures(h)
        folder = h.scratch_dir("resources")
        probe = h.helper("resource_probe")
        prefix = fx.trusted_prefix()

        def pack(out, args):
            with open(fx.pack_tool, "rb") as f:
                script = f.read(2) == b"#!"
            command = ([sys.executable] if script else []) + [fx.pack_tool]
            done = subprocess.run(command + ["--payload", fx.payload(), "--runtime", fx.runtime("good"), "-o", out,
                                             "-q", "--unchecked-runtime"] + args,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            h.expect_equal(done.returncode, 0, "vorlane-pack: " + done.stdout.decode("utf-8", "replace")[-2000:])
            return out

        def read_back(exe):
            result = prefix.run(probe, [harness.wine_path(exe)], relay=False)
            h.expect(not result.timed_out and result.status == 0,
                     "resource_probe ended with %r: %s" % (result.status, result.stderr[-1500:]))
            return parse(result.stdout)

        @h.case("LoadStringW, the version functions and the icon group read what was packed; the grown "
                "resource section moved the relocations, the image still loads relocated and the package starts")
        def _():
            logo = os.path.join(folder, "logo.png")
            with open(logo, "wb") as f:
                f.write(fixtures.noise_png(512, 1))
            setting4 = "vier \u2603 " + "x" * 246 + "\U0001F600"  # 255 UTF-16 units: the most the launcher reads
            product = "\u00dcn\u00efcode \u2603 Viewer"
            exe = pack(os.path.join(folder, "App.exe"),
                       ["--setting4", setting4, "--setting5", "f\u00fcnf", "--setting6", "", "--publisher",
                        fixtures.PUBLISHER, "--icon", logo, "--version", "2026.12.8.65535", "--product-name", product,
                        "--company-name", "Example Ltd", "--copyright", "\u00a9 2026 Example Ltd"])
            got = read_back(exe)
            pe = harness.PeImage.load(exe)
            pin = pe.strings().get(8, "")
            h.expect_equal([(got.get("string.%d" % i), got.get("string.%d.length" % i)) for i in range(4, 9)],
                           [(setting4, "255"), ("f\u00fcnf", "4"), ("", "0"), (fixtures.PUBLISHER, "7"),
                            (pin, str(len(pin.encode("utf-16-le")) // 2))],
                           "LoadStringW 4 to 8")
            # Not given: FileDescription and OriginalFilename name the output, not the launcher.
            h.expect_equal((got.get("fixed"), got.get("value.ProductName"), got.get("value.CompanyName"),
                            got.get("value.FileVersion"), got.get("value.ProductVersion"),
                            got.get("value.LegalCopyright"), got.get("value.FileDescription"),
                            got.get("value.OriginalFilename")),
                           ("2026.12.8.65535 2026.12.8.65535", product, "Example Ltd", "2026.12.8.65535",
                            "2026.12.8.65535", "\u00a9 2026 Example Ltd", "App", "App.exe"),
                           "the version block through VerQueryValueW")
            icons = got["icon"]
            h.expect_equal([(w, hgt) for w, hgt, _, _, _ in icons],
                           [(s, s) for s in (256, 128, 64, 48, 32, 24, 16)], "icon group MAIN")
            h.expect(all(listed == size for _, _, listed, _, size in icons), "icon sizes: %r" % icons)
            h.expect_equal(int(got.get("pick32", 0)), next((i for w, _, _, i, _ in icons if w == 32), -1),
                           "the icon Windows picks for 32x32")

            before = {s[0]: s for s in harness.PeImage.load(h.launcher).sections}
            after = {s[0]: s for s in pe.sections}
            h.expect(after[".reloc"][1] > before[".reloc"][1] and after[".rsrc"][2] > before[".reloc"][1] - before[
                ".rsrc"][1], "the resource section should have grown past .reloc: %r" % after)
            h.expect_equal(got.get("mapped"), "1", "the image loaded as a module")

            result = prefix.run(exe, ["a b"])
            h.expect_status(result, 0, "the package")
            h.expect_boxes(result, [])
            record = fx.record(exe) or {}
            h.expect_equal((record.get("setting4"), record.get("setting5")), (setting4, "f\u00fcnf"),
                           "what the runtime received")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
