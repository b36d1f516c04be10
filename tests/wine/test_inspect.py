"""vorlane-inspect against the launcher itself: on the same packages, sound and
damaged, the verdict the inspector gives (message and exit code) is what the
real launcher does under Wine, and the Windows build of the inspector reports
exactly what the native one does."""
import json
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

number = fixtures.number  # the archive format's variable-length number

START_HEADER = 32
SIGNATURE = b"7z\xbc\xaf\x27\x1c"


# ---- archives written by hand: stored folders with any recorded size ---------------------

def start_header(next_offset, next_size, next_crc, major=0):
    tail = struct.pack("<QQI", next_offset, next_size, next_crc)
    return SIGNATURE + bytes([major, 4]) + struct.pack("<I", fixtures.crc32(tail)) + tail


def stored_archive(entries):
    """entries: [(name, bytes, recorded size)], each alone in a Copy folder, with a plain header."""
    n = len(entries)
    h = b"\x01\x04\x06" + number(0) + number(n) + b"\x09" + b"".join(number(len(d)) for _, d, _ in entries)
    h += b"\x00\x07\x0b" + number(n) + b"\x00" + b"\x01\x01\x00" * n
    h += b"\x0c" + b"".join(number(size) for _, _, size in entries) + b"\x00"
    h += b"\x08\x0a\x01" + b"".join(struct.pack("<I", fixtures.crc32(d)) for _, d, _ in entries) + b"\x00\x00"
    names = b"\x00" + b"".join(name.encode("utf-16-le") + b"\0\0" for name, _, _ in entries)
    h += b"\x05" + number(n) + b"\x11" + number(len(names)) + names + b"\x00\x00"
    body = b"".join(d for _, d, _ in entries)
    return start_header(len(body), len(h), fixtures.crc32(h)) + body + h


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def with_major(data, start, major):
    offset, size, crc = struct.unpack_from("<QQI", data, start + 12)
    return data[:start] + start_header(offset, size, crc, major) + data[start + START_HEADER:]


def main():
    h = harness.Harness.from_args()
    inspect = os.path.join(h.native or "", "tools", "vorlane-inspect")
    inspect_exe = os.path.join(h.win64, "tools", "vorlane-inspect.exe")
    missing = [p for p in (h.launcher, inspect, inspect_exe) if not os.path.exists(p)]
    if missing:
        print("missing %s: build the win64 and native trees first" % ", ".join(missing))
        print("0 passed, 1 failed")
        return 1

    with h:
        fx = fixtures.Fixtures(h)
        folder = h.scratch_dir("inspect")
        payload = open(fx.payload(), "rb").read()
        runtime = open(fx.runtime("good"), "rb").read()
        good = fx.package("good", folder=folder)
        packaged = open(good, "rb").read()
        start = fx.archive_start(good)
        image = packaged[:start]
        prefix = fx.trusted_prefix()

        def write(name, data):
            path = os.path.join(folder, name + ".exe")
            with open(path, "wb") as f:
                f.write(data)
            return path

        def inspect_json(exe):
            done = subprocess.run([inspect, "--json", exe], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            report = json.loads(done.stdout.decode("utf-8"))
            return report, done.returncode

        def agree(exe, message, code, what):
            """The inspector predicts message and code, and the launcher does exactly that."""
            report, status = inspect_json(exe)
            verdict = report["verdict"]
            h.expect_equal((verdict["message"], verdict["exitCode"]), (message, code), what + ": verdict")
            h.expect_equal(status, harness.wine_status(code), what + ": inspector's exit status")
            # A clean cache each time: the verdict speaks for a first start.
            shutil.rmtree(prefix.appdata, ignore_errors=True)
            os.makedirs(prefix.appdata)
            fx.clear_record(exe)
            result = prefix.run(exe)
            h.expect_status(result, verdict["exitCode"], what + ": launcher's exit status")
            h.expect_boxes(result, [("Error", verdict["message"])] if verdict["message"] else [],
                           what + ": launcher's boxes")
            record = fx.record(exe)
            h.expect_equal(record is not None, verdict["ok"], what + ": runtime called")
            if record is not None and verdict["ok"]:
                h.expect_equal((int(record["payload_offset"]), int(record["payload_size"])),
                               (report["payload"]["offset"], report["payload"]["size"]), what + ": payload")
            return report

        @h.case("sound package and outer exe signed after packing: 'ok', and the launcher runs it")
        def _():
            report = agree(good, None, 0, "sound")
            h.expect_equal((report["archive"]["bytesAfter"], report["archive"]["certificateTableAfter"]), (0, False),
                           "sound: bytes after the archive")
            signed = os.path.join(folder, "signed.exe")
            harness.sign_image(good, signed, fx.chain())
            report = agree(signed, None, 0, "signed outer exe")
            archive = report["archive"]
            h.expect(archive["bytesAfter"] > 0 and archive["certificateTableAfter"],
                     "signed outer exe: certificate table not reported after the archive: %r" % archive)
            h.expect_equal(archive["end"] + archive["bytesAfter"], report["hostImage"]["fileSize"],
                           "signed outer exe: end + bytes after")

        @h.case("no archive and damaged headers: stages 5 and 8 agree")
        def _():
            agree(write("bare", image), "7z archive not found", 1, "nothing appended")
            next_offset, next_size = struct.unpack_from("<QQ", packaged, start + 12)
            next_at = start + START_HEADER + next_offset
            agree(write("truncated", packaged[:-1]), "SzArEx_Open error: 6", 2, "truncated by one byte")
            agree(write("header-flip", flip(packaged, next_at + next_size // 2)), "SzArEx_Open error: 16", 2,
                  "next header byte flipped")
            agree(write("major-1", with_major(packaged, start, 1)), "SzArEx_Open error: 4", 2, "major version 1")

        @h.case("payload flipped, past the end, named in capitals: stage 9 agrees")
        def _():
            agree(write("payload-flip", flip(packaged, start + START_HEADER + len(payload) // 2)),
                  "Vorlane.Bin CRC error", 3, "payload byte flipped")
            past = image + stored_archive([("vorlane.bin", payload, len(payload) + (1 << 22)),
                                           ("VorlaneStub.dll", runtime, len(runtime))])
            agree(write("past-end", past), "Vorlane.Bin offset out of range", 3, "payload past the end")
            capitals = image + stored_archive([("VORLANE.BIN", payload, len(payload)),
                                               ("VorlaneStub.dll", runtime, len(runtime))])
            report = agree(write("capitals", capitals), "Vorlane.Bin not found", 3, "payload named in capitals")
            h.expect(any("VORLANE.BIN" in note for note in report["notes"]),
                     "capitals: no note on the near miss: %r" % report["notes"])
            # Stored by hand with the right sizes, the same entries run.
            plain = image + stored_archive([("vorlane.bin", payload, len(payload)),
                                            ("VorlaneStub.dll", runtime, len(runtime))])
            agree(write("plain", plain), None, 0, "hand-written stored archive")

        @h.case("damaged runtime entry: passed over, then the signature check finds no library")
        def _():
            # The runtime's packed streams follow the stored payload.
            damaged = flip(packaged, start + START_HEADER + len(payload) + 300)
            report = agree(write("runtime-flip", damaged),
                           "Cannot check VorlaneStub.dll: the file cannot be opened (error 2).", 5,
                           "runtime entry damaged")
            entry = report["entries"][report["runtime"]["entry"]]
            h.expect_equal((entry["name"], entry["decode"]["crcMatches"], report["runtime"]["installable"]),
                           ("VorlaneStub.dll", False, False), "runtime entry damaged: decode facts")
            h.expect_equal(report["payload"]["result"], "ok", "runtime entry damaged: payload")

        @h.case("vorlane-inspect.exe under Wine reports what the native build reports, its trust verdict "
                "from the machine's own check")
        def _():
            root = ["--trust-root", fx.root()["pem"]]
            for exe in (good, os.path.join(folder, "signed.exe"), os.path.join(folder, "capitals.exe")):
                native, status = inspect_json(exe)
                # The prefix trusts the root: the native build given it judges the chain as the machine does.
                rooted = json.loads(subprocess.run([inspect, "--json"] + root + [exe],
                                                   stdout=subprocess.PIPE).stdout.decode("utf-8"))
                text = subprocess.run([inspect] + root + [exe], stdout=subprocess.PIPE).stdout.decode("utf-8")
                name = os.path.basename(exe)
                result = prefix.run(inspect_exe, ["--json", exe], relay=False)
                h.expect_equal(result.status, status, name + " --json: exit status")
                windows = json.loads(result.stdout)
                if native["trust"] is None and rooted["trust"] is not None:
                    h.expect_equal((windows["trust"]["checkedBy"], windows["trust"]["verified"],
                                    windows["trust"]["result"]), ("this machine", True, None), name + ": trust")
                h.expect_equal(windows["notes"], rooted["notes"], name + ": notes")
                for report in (windows, rooted):
                    report["trust"] = None
                    report["notes"] = None
                h.expect_equal(json.dumps(windows, indent=2), json.dumps(rooted, indent=2), name + " --json: output")
                result = prefix.run(inspect_exe, [exe], relay=False)
                h.expect_equal(result.status, status, name + ": exit status")
                without_trust = lambda report: [line for line in report.splitlines() if not line.startswith("trust ")]
                h.expect_equal(without_trust(result.stdout), without_trust(text), name + ": output")
                h.expect("--trust-root" not in result.stdout, name + ": the Windows build suggests --trust-root")

        @h.case("vorlane-inspect.exe on a machine that does not trust the root: refused as the launcher refuses it")
        def _():
            bare = h.new_prefix()
            result = bare.run(inspect_exe, ["--json", good], relay=False)
            report = json.loads(result.stdout)
            message = "VorlaneStub.dll is signed by Vorlane, whose certificate is not trusted (0x800B0109)."
            h.expect_equal((report["verdict"]["message"], report["verdict"]["exitCode"], result.status),
                           (message, 5, 5), "verdict")
            h.expect_equal((report["trust"]["checkedBy"], report["trust"]["verified"], report["trust"]["result"]),
                           ("this machine", False, 0x800B0109), "trust")
            fx.clear_record(good)
            launched = bare.run(good)
            h.expect_status(launched, 5, "the launcher's exit status")
            h.expect_boxes(launched, [("Error", message)], "the launcher's boxes")
            usage = bare.run(inspect_exe, ["--trust-root", fx.root()["pem"], good], relay=False)
            h.expect_equal(usage.status, 64, "--trust-root: a usage error")
            helped = bare.run(inspect_exe, ["--help"], relay=False)
            h.expect(helped.status == 0 and "--trust-root" not in helped.stdout and "trust check" in helped.stdout,
                     "--help: %r" % helped.stdout)

        @h.case("vorlane-inspect.exe takes its trust verdict from the machine: refused where the root is not "
                "trusted, as the launcher refuses it there, accepted once the root is trusted")
        def _():
            untrusted = h.new_prefix()
            result = untrusted.run(inspect_exe, ["--json", good], relay=False)
            verdict = json.loads(result.stdout)["verdict"]
            h.expect(not verdict["ok"] and verdict["exitCode"] != 0, "untrusted root: verdict %r" % verdict)
            h.expect_equal(result.status, harness.wine_status(verdict["exitCode"]), "untrusted root: exit status")
            fx.clear_record(good)
            launched = untrusted.run(good)
            h.expect_status(launched, verdict["exitCode"], "untrusted root: the launcher's exit status")
            h.expect_boxes(launched, [("Error", verdict["message"])], "untrusted root: the launcher's box")
            h.expect(fx.record(good) is None, "untrusted root: the runtime was called")
            untrusted.trust_root(fx.root()["pem"])
            result = untrusted.run(inspect_exe, ["--json", good], relay=False)
            h.expect_equal((result.status, json.loads(result.stdout)["verdict"]["ok"]), (0, True),
                           "root trusted: vorlane-inspect.exe")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
