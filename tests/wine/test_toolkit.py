"""The packager's toolkit end to end: resources written at pack time reach the
launcher and the runtime under Wine, the packed file stays a sane PE image,
vorlane-pack's own check (on by default) refuses the packages that would fail
and writes nothing, and vorlane-run reports what the launcher really did with
each."""
import os
import shutil
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

PUBLISHER = "Vorlane Pack Test"


def png(width, height):
    """An RGBA picture: a gradient with a transparent border."""
    rows = b""
    for y in range(height):
        row = bytearray(b"\0")
        for x in range(width):
            inside = 4 <= x < width - 4 and 4 <= y < height - 4
            row += bytes((x * 255 // width, y * 255 // height, 160, 255 if inside else 0))
        rows += bytes(row)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def pe_checksum(data, field):
    """The PE checksum by its definition, the field itself counted as zero."""
    length = len(data)
    data = bytearray(data)
    data[field:field + 4] = bytes(4)
    if length % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + length) & 0xFFFFFFFF


def fixed_version(pe):
    versions = pe.resources()[harness.RT_VERSION]
    data = next(iter(next(iter(versions.values())).values()))
    at = data.index(struct.pack("<I", 0xFEEF04BD))
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def main():
    h = harness.Harness.from_args()
    tools = os.path.join(h.source, "tools")
    inspect = os.path.join(h.native or "", "tools", "vorlane-inspect")
    pack_tool = os.path.join(h.native or "", "tools", "vorlane-pack")
    shared = os.path.join(h.win64, "tests", "VorlaneStubShared.dll")
    if h.missing_builds(inspect, pack_tool, shared):
        return 1
    env = dict(os.environ, VORLANE_RUN_CACHE=h.cache)

    def pack(args, check=True):
        return subprocess.run([pack_tool] + args, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=check)

    def run(exe, args=(), extra=()):
        """vorlane-run on exe: (status, [box texts], exit code line, cache line)."""
        done = subprocess.run(["python3", os.path.join(tools, "vorlane-run"), "--trust-root", fx.root()["pem"]] +
                              list(extra) + [exe] + list(args), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=600)
        lines = done.stdout.decode("utf-8").splitlines()
        boxes = [line for line in lines if line.startswith("box ")]
        codes = [line for line in lines if line.startswith("exit code ")]
        caches = [line[len("cache: "):] for line in lines if line.startswith("cache: ")]
        return done.returncode, boxes, codes, caches, done.stderr.decode("utf-8", "replace")

    with h:
        fx = fixtures.Fixtures(h)
        folder = h.scratch_dir("toolkit")

        @h.case("pack-time resources: settings reach the runtime, version block and icon read back, a Unicode "
                "product name survives, setting 6 left out keeps the cache, the file stays a sane PE image")
        def _():
            logo = os.path.join(folder, "logo.png")
            with open(logo, "wb") as f:
                f.write(png(300, 200))
            chain = fx.chain(PUBLISHER)
            runtime = os.path.join(folder, "runtime.dll")
            harness.sign_image(os.path.join(h.win64, "tests", "VorlaneStub.dll"), runtime, chain)
            exe = os.path.join(folder, "App.exe")
            product = "Vorlane Ünïcode ☃ Viewer"
            pack(["--payload", fx.payload(), "--runtime", runtime, "-o", exe, "-q",
                  "--trust-root", fx.root()["pem"],
                  "--setting4", "vier ☃", "--setting5", "fünf 5", "--setting6", "", "--publisher", PUBLISHER,
                  "--icon", logo, "--file-version", "2026.12.8.65535", "--product-name", product,
                  "--company-name", "Example Ltd", "--copyright", "© 2026 Example Ltd"])
            data = open(exe, "rb").read()
            pe = harness.PeImage(data)
            h.expect_equal({k: v for k, v in pe.strings().items() if k in (4, 5, 6, 7)},
                           {4: "vier ☃", 5: "fünf 5", 7: PUBLISHER}, "string table")
            strings = pe.version_strings()
            h.expect_equal((strings.get("ProductName"), strings.get("CompanyName"), strings.get("FileVersion"),
                            fixed_version(pe)),
                           (product, "Example Ltd", "2026.12.8.65535", "2026.12.8.65535"), "version block")
            group = next(iter(pe.resources()[harness.RT_GROUP_ICON]["MAIN"].values()))
            sizes = [group[6 + 14 * i] or 256 for i in range(struct.unpack_from("<H", group, 4)[0])]
            h.expect_equal(sorted(sizes), [16, 24, 32, 48, 64, 128, 256], "icon sizes")
            # Sections in order without overlap, the archive right after them,
            # no certificate entry, a checksum over the whole file.
            raw = sorted((s[3], s[4]) for s in pe.sections if s[4])
            h.expect(all(a + n <= b for (a, n), (b, _) in zip(raw, raw[1:])), "sections overlap: %r" % raw)
            h.expect_equal(fixtures.archive_start(exe), pe.raw_end(), "archive start")
            h.expect_equal(pe.directories[4], (0, 0), "certificate table entry")
            field = struct.unpack_from("<I", data, 60)[0] + 24 + 64
            h.expect_equal(struct.unpack_from("<I", data, field)[0], pe_checksum(data, field), "checksum")

            status, boxes, codes, caches, err = run(exe, ["x y"], ["--keep-cache"])
            h.expect_equal((status, boxes, codes), (0, [], ["exit code 0"]), "vorlane-run: " + err[-2000:])
            record = fx.record(exe) or {}
            h.expect_equal((record.get("setting4"), record.get("setting5"), record.get("argument_line")),
                           ("vier ☃", "fünf 5", '"x y"'), "what the runtime received")
            h.expect(caches and os.path.isfile(os.path.join(caches[0], "202600", "VorlaneStub.dll")),
                     "setting 6 left out: the cache should stay: %r" % caches)
            for cache in caches:
                shutil.rmtree(os.path.dirname(cache), ignore_errors=True)

        @h.case("the default check refuses the four packages that fail at start and writes nothing, even with -q; "
                "vorlane-run shows the launcher ending exactly as vorlane-inspect predicted")
        def _():
            x86 = os.path.join(folder, "x86.dll")
            with open(os.path.join(h.win64, "tests", "VorlaneStub.dll"), "rb") as f:
                image = bytearray(f.read())
            struct.pack_into("<H", image, struct.unpack_from("<I", image, 60)[0] + 4, 0x14C)
            with open(x86 + ".unsigned", "wb") as f:
                f.write(image)
            harness.sign_image(x86 + ".unsigned", x86, fx.chain())
            needs_dlls = os.path.join(folder, "shared.dll")
            harness.sign_image(shared, needs_dlls, fx.chain())
            # The publisher defaults to the runtime's signer: another one is named on purpose.
            cases = [
                ("another publisher", fx.runtime("wrong_publisher"), ["--publisher", fixtures.PUBLISHER],
                 "VorlaneStub.dll is signed by Mallory Software, expected Vorlane.", 5),
                ("unsigned", fx.runtime("unsigned"), [], "VorlaneStub.dll is not signed.", 5),
                ("libstdc++ and libgcc_s imported", needs_dlls, [], "Failed to load VorlaneStub DLL", 6),
                ("32-bit", x86, [], "Failed to load VorlaneStub DLL", 6),
            ]
            for what, runtime, extra, message, code in cases:
                out = os.path.join(folder, "refused.exe")
                done = pack(["--payload", fx.payload(), "--runtime", runtime, "-o", out, "-q",
                             "--trust-root", fx.root()["pem"]] + extra, check=False)
                stderr = done.stderr.decode("utf-8", "replace")
                h.expect_equal(done.returncode, 3, what + ": pack status (%s)" % stderr[-1500:])
                h.expect('"%s" (stage' % message in stderr, what + ": the refusal is not shown: " + stderr[-1500:])
                h.expect_equal([n for n in os.listdir(folder) if "refused" in n], [], what + ": files left")

                exe = os.path.join(folder, "failing.exe")
                pack(["--payload", fx.payload(), "--runtime", runtime, "-o", exe, "-q", "--unchecked-runtime"])
                done = subprocess.run([inspect, "--trust-root", fx.root()["pem"], exe], stdout=subprocess.PIPE)
                h.expect_equal(done.returncode, code, what + ": inspect status")
                status, boxes, codes, _, err = run(exe)
                h.expect_equal((status, boxes, codes), (code, ['box "Error": ' + message], ["exit code %d" % code]),
                               what + ": vorlane-run (%s)" % err[-1500:])

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
