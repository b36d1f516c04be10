"""One table, four judges. For each runtime library and package below, the
launcher under Wine, vorlane-inspect on Linux, vorlane-inspect.exe under Wine
and vorlane-pack's own check end the same way: the same verdict, exit status
and message. vorlane-inspect without --trust-root agrees too, except where the
chain alone decides, and then says that it did not check the chain.

Every outcome of the launcher's table (base/outcome.h) is a row here or is
named in OUT_OF_REACH with the reason no package can cause it: a new refusal
in the launcher without either fails the first case.

The prefix trusts the test root and a second one (a namesake publisher's);
vorlane-inspect and vorlane-pack on Linux are given both with --trust-root.
What each judge said is printed, row by row, at the end."""
import json
import os
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

number = fixtures.number  # the archive format's variable-length number

LIBRARY = "VorlaneStub.dll"
DELAY_LOAD_MODULE_NOT_FOUND = 0xC06D007E

# Outcomes no package can cause, and why: they come from where the package is
# put, the machine, the cache or another process, never from its bytes.
OUT_OF_REACH = {
    "OwnPath": "the length of the path the package is started from",
    "Redirected": "a <exe>.local beside the package: its folder, not its bytes",
    "RewrittenOwnPath": "a folder name ending in a dot or a space on the path the package is started from",
    "ExeOpen": "the file system refusing to open the package",
    "Probe": "a package carries the launcher's own image, which passes the probe; "
             "an image that does not is another program",
    "ArchiveSeek": "an I/O fault while seeking",
    "ReaderMemory": "the machine's memory",
    "PayloadMemory": "the machine's memory",
    "RuntimeDir": "the per-user cache folder cannot be made",
    "LibraryPath": "the length of the user's local application data path",
    "RewrittenCachePath": "a folder name ending in a dot or a space in the user's local application data path",
    "InstallInUseOtherCrc": "another process holding the cached library",
    "InstallInUse": "another process holding the cached library",
    "InstallWrite": "the cache folder cannot be written",
    "InstallMemory": "the machine's memory",
    "UnsafeSearch": "a Windows without SetDefaultDllDirectories",
    "CheckIdentify": "I/O on the installed library",
    "CheckRead": "I/O on the installed library",
    "NotOurCopy": "what an earlier start or another process left in the cache (a link, another file)",
    "TrustServices": "the system's trust services do not load",
    "Revoked": "revocation comes from the machine's cached lists, never from the package",
    "FinalPathUnreadable": "the system cannot name the held library",
    "FinalPathTooLong": "the length of the cache path",
    "NetworkVolume": "a cache folder on a network volume",
    "RewrittenLoadPath": "a folder name ending in a dot or a space on the cache's final path",
    "MappedUncomparable": "the loader's mapped file cannot be identified",
    "MappedOther": "something swapping the library between its check and its load",
}


class Row:
    """One fixture: how its package is made, what the launcher does with it."""

    def __init__(self, key, title, outcome, message, code, runtime=None, pack=(), package=None,
                 chain_decides=False):
        self.key = key
        self.title = title
        self.outcome = outcome      # the launcher's Outcome name; None: the runtime itself ends the start
        self.message = message      # the box's text; None: no box
        self.code = code            # the launcher's exit code
        self.runtime = runtime      # a fixtures runtime kind, packed by vorlane-pack with the pack options
        self.pack = list(pack)      # extra vorlane-pack options
        self.package = package      # or: a function making the package's bytes (not something vorlane-pack writes)
        self.chain_decides = chain_decides


def launcher_outcomes(source):
    """The names of base/outcome.h's Outcome values, Count left out."""
    with open(os.path.join(source, "base", "outcome.h"), encoding="utf-8") as f:
        text = f.read()
    body = text[text.index("enum class Outcome"):]
    body = body[body.index("{") + 1:body.index("}")]
    names = [m.group(1) for m in re.finditer(r"^\s*([A-Za-z]\w*)\s*(?:=[^,]*)?,", body, re.M)]
    return [n for n in names if n != "Count"]


# ---- archives and string tables edited by hand ----------------------------------------------

def archive(entries):
    """entries: [(name, bytes, recorded size, method id)], each alone in a one-coder
    folder of that method holding the bytes as they are, with a plain header."""
    n = len(entries)
    h = b"\x01\x04\x06" + number(0) + number(n) + b"\x09" + b"".join(number(len(d)) for _, d, _, _ in entries)
    h += b"\x00\x07\x0b" + number(n) + b"\x00"
    h += b"".join(b"\x01" + bytes([len(m)]) + m for _, _, _, m in entries)  # one coder: its id's size, its id
    h += b"\x0c" + b"".join(number(size) for _, _, size, _ in entries) + b"\x00"
    h += b"\x08\x0a\x01" + b"".join(struct.pack("<I", fixtures.crc32(d)) for _, d, _, _ in entries) + b"\x00\x00"
    names = b"\x00" + b"".join(name.encode("utf-16-le") + b"\0\0" for name, _, _, _ in entries)
    h += b"\x05" + number(n) + b"\x11" + number(len(names)) + names + b"\x00\x00"
    body = b"".join(d for _, d, _, _ in entries)
    tail = struct.pack("<QQI", len(body), len(h), fixtures.crc32(h))
    return b"7z\xbc\xaf\x27\x1c\x00\x04" + struct.pack("<I", fixtures.crc32(tail)) + tail + body + h


COPY = b"\x00"
DEFLATE = b"\x04\x01\x08"  # a method the launcher's decoder does not have


def edit_strings(image, edit):
    """The image with its string table's first block replaced by edit(block):
    the same number of bytes, strings as [(length, UTF-16 bytes)] in and out."""
    pe = harness.PeImage(image)
    block = next(iter(pe.resources()[harness.RT_STRING][1].values()))
    at = image.find(block)
    if at < 0 or image.find(block, at + 1) >= 0:
        raise RuntimeError("the string block is not found once in the image")
    strings, pos = [], 0
    for _ in range(16):
        length = struct.unpack_from("<H", block, pos)[0]
        strings.append(block[pos + 2:pos + 2 + 2 * length])
        pos += 2 + 2 * length
    out = b"".join(struct.pack("<H", len(s) // 2) + s for s in edit(strings))
    if len(out) > len(block):
        raise RuntimeError("the edited string block grew")
    return image[:at] + out + bytes(len(block) - len(out)) + image[at + len(block):]


# ---- what each judge says --------------------------------------------------------------------

class Said:
    """One judge's answer: ok, the exit status a Linux parent sees, the message."""

    def __init__(self, ok, status, message, note=""):
        self.ok = ok
        self.status = status
        self.message = message
        self.note = note

    def key(self):
        return (self.ok, self.status, self.message)

    def __str__(self):
        text = "ok" if self.ok else "status %s" % self.status
        if self.message is not None:
            text += ", " + json.dumps(self.message)
        elif not self.ok:
            text += ", no message"
        return text + (" (%s)" % self.note if self.note else "")


def from_report(report, status):
    verdict = report["verdict"]
    note = "chain not checked" if verdict.get("chainAssumed") else ""
    said = Said(verdict["ok"], harness.wine_status(verdict["exitCode"]), verdict["message"], note)
    if status != said.status:
        said.note = (said.note + "; " if said.note else "") + "but exits with %d" % status
        said.status = status
    return said


PACK_REFUSAL = re.compile(r"(?:would refuse this package|would fail at start|would not start): (.*)")


def from_pack(done):
    text = done.stderr.decode("utf-8", "replace")
    if done.returncode == 0:
        return Said(True, 0, None, "written")
    found = PACK_REFUSAL.search(text)
    if done.returncode != 3 or not found:
        return Said(False, None, None, "pack status %d: %s" % (done.returncode, text.strip()[-300:]))
    verdict = found.group(1)
    message = re.match(r'"(.*)" \(stage', verdict)
    code = re.search(r"exit code (-?\d+)", verdict)
    return Said(False, harness.wine_status(int(code.group(1))) if code else None,
                message.group(1) if message else None)


def main():
    h = harness.Harness.from_args()
    inspect = os.path.join(h.native or "", "tools", "vorlane-inspect")
    inspect_exe = os.path.join(h.win64, "tools", "vorlane-inspect.exe")
    pack_tool = os.path.join(h.native or "", "tools", "vorlane-pack")
    stand_ins = [os.path.join(h.win64, "tests", name) for name in
                 ("VorlaneStub.dll", "VorlaneStubShared.dll", "VorlaneStubDelay.dll", "VorlaneStubNoInit.dll")]
    if h.missing_builds(inspect, inspect_exe, pack_tool, *stand_ins):
        return 1

    with h:
        fx = fixtures.Fixtures(h)
        roots = [fx.root()["pem"], fx.second_root()["pem"]]
        root_args = [a for root in roots for a in ("--trust-root", root)]
        folder = h.scratch_dir("table")

        def packed(runtime, extra=(), name="app"):
            out = os.path.join(h.scratch_dir("table-" + name), name + ".exe")
            subprocess.run([pack_tool, "--launcher", h.launcher, "--payload", fx.payload(), "--runtime", runtime,
                            "-o", out, "--quiet", "--unchecked-runtime", "--publisher", fixtures.PUBLISHER] +
                           list(extra), check=True, stdout=subprocess.DEVNULL)
            with open(out, "rb") as f:
                return f.read()

        good = packed(fx.runtime("good"), name="good-source")
        start = fx.archive_start(os.path.join(h.scratch, "table-good-source", "good-source.exe"))
        image = good[:start]
        with open(fx.payload(), "rb") as f:
            payload = f.read()
        with open(fx.runtime("good"), "rb") as f:
            runtime = f.read()

        def namesake():
            # Pinned to the publisher's build, holding other code signed by a
            # "Vorlane" under another trusted root: the archive of a package of it.
            other = packed(fx.runtime("namesake"), name="namesake-source")
            other_start = other.index(b"7z\xbc\xaf\x27\x1c", harness.PeImage(other).raw_end())
            if other_start != start:
                raise RuntimeError("the two images differ in size")
            return image + other[other_start:]

        def unreadable_pin(strings):
            pin = strings[8].decode("utf-16-le")
            return strings[:8] + [pin.replace("sha256:", "sha255:").encode("utf-16-le")] + strings[9:]

        namesake_pin = fx.pin(fx.runtime("namesake"))
        rows = [
            Row("good", "signed by the publisher", "Ok", None, 0, runtime="good"),
            Row("other-publisher", "signed by another publisher", "WrongSigner",
                LIBRARY + " is signed by Mallory Software, expected Vorlane.", 5, runtime="wrong_publisher"),
            Row("unsigned", "not signed", "NotSigned", LIBRARY + " is not signed.", 5, runtime="unsigned"),
            Row("altered", "altered after signing", "BadSignature",
                LIBRARY + " has an invalid signature (0x80096010).", 5, runtime="tampered"),
            Row("no-eku", "signer certificate without the code-signing use", "NotCodeSigning",
                LIBRARY + " is signed by Vorlane, whose certificate is not for code signing.", 5, runtime="no_eku"),
            Row("untrusted-root", "signed under a root no one trusts", "Untrusted",
                LIBRARY + " is signed by Vorlane, whose certificate is not trusted (0x800B0109).", 5,
                runtime="untrusted", chain_decides=True),
            Row("namesake", "another build by a namesake publisher under another trusted root", "NotPinned",
                LIBRARY + " is not the runtime this application was packed with (digest %s)." % namesake_pin, 5,
                package=namesake),
            Row("32-bit", "a 32-bit library", "RuntimeLoad", "Failed to load VorlaneStub DLL", 6, runtime="x86"),
            Row("static-import", "imports libraries Windows does not have (libstdc++, libgcc_s)", "RuntimeLoad",
                "Failed to load VorlaneStub DLL", 6, runtime="shared"),
            Row("delay-import", "delay-loads a library Windows does not have, and calls it", None, None,
                DELAY_LOAD_MODULE_NOT_FOUND, runtime="delay"),
            Row("no-init", "exports no VorlaneInit", "RuntimeLoad", "Failed to load VorlaneStub DLL", 6,
                runtime="no_export"),
            Row("undecodable", "a runtime entry the decoder cannot decode", "CheckOpen",
                "Cannot check VorlaneStub.dll: the file cannot be opened (error 2).", 5,
                package=lambda: image + archive([("vorlane.bin", payload, len(payload), COPY),
                                                 (LIBRARY, runtime, len(runtime), DEFLATE)])),
            Row("damaged-payload", "a payload byte changed after packing", "PayloadCrc", "Vorlane.Bin CRC error", 3,
                package=lambda: good[:start + 32 + 1000] + bytes([good[start + 32 + 1000] ^ 0xFF]) +
                good[start + 33 + 1000:]),
            Row("no-setting4", "setting 4 left out", "SettingMissing", None, 6, runtime="good",
                pack=["--setting4", ""]),
            Row("no-archive", "the launcher with nothing appended", "NoArchive", "7z archive not found", 1,
                package=lambda: image),
            Row("damaged-archive", "the archive cut short by one byte", "ArchiveOpen", "SzArEx_Open error: 6", 2,
                package=lambda: good[:-1]),
            Row("payload-missing", "the payload named in capitals", "PayloadNotFound", "Vorlane.Bin not found", 3,
                package=lambda: image + archive([("VORLANE.BIN", payload, len(payload), COPY),
                                                 (LIBRARY, runtime, len(runtime), COPY)])),
            Row("payload-past-end", "the payload recorded as larger than the file", "PayloadOutOfRange",
                "Vorlane.Bin offset out of range", 3,
                package=lambda: image + archive([("vorlane.bin", payload, len(payload) + (1 << 22), COPY),
                                                 (LIBRARY, runtime, len(runtime), COPY)])),
            Row("no-publisher", "no publisher in the string table", "NoPublisher",
                "Cannot check VorlaneStub.dll: this application names no publisher.", 5,
                package=lambda: edit_strings(image, lambda s: s[:7] + [b""] + s[8:]) + good[start:]),
            Row("unreadable-pin", "a pin that does not read", "PinUnreadable",
                "Cannot check VorlaneStub.dll: this application's pin cannot be read.", 5,
                package=lambda: edit_strings(image, unreadable_pin) + good[start:]),
        ]

        @h.case("every outcome of the launcher a package can cause is a row; the others are named, with why")
        def _():
            outcomes = launcher_outcomes(h.source)
            covered = {row.outcome for row in rows if row.outcome}
            h.expect_equal(sorted(set(outcomes) - covered - set(OUT_OF_REACH)), [],
                           "outcomes neither in the table nor out of a package's reach")
            h.expect_equal(sorted((covered | set(OUT_OF_REACH)) - set(outcomes)), [],
                           "rows or reasons for outcomes the launcher no longer has")
            h.expect_equal(sorted(covered & set(OUT_OF_REACH)), [], "outcomes both in the table and out of reach")

        prefix = fx.trusted_prefix()
        prefix.trust_root(fx.second_root()["pem"])
        said = {}

        def make(row):
            exe = os.path.join(h.scratch_dir("table-" + row.key), "App.exe")
            if row.package is None:
                data = packed(fx.runtime(row.runtime), row.pack, name=row.key)
            else:
                data = row.package()
            with open(exe, "wb") as f:
                f.write(data)
            return exe

        def launch(exe):
            shutil.rmtree(prefix.appdata, ignore_errors=True)
            os.makedirs(prefix.appdata)
            fx.clear_record(exe)
            result = prefix.run(exe)
            boxes = [text for caption, text in result.boxes]
            note = "runtime called" if fx.record(exe) is not None else ""
            if result.timed_out:
                note = "timed out"
            if len(boxes) > 1:
                note += "; %d boxes" % len(boxes)
            return Said(result.status == 0, result.status, boxes[0] if boxes else None, note.strip("; "))

        def inspect_linux(exe, args):
            done = subprocess.run([inspect, "--json"] + args + [exe], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            return from_report(json.loads(done.stdout.decode("utf-8")), done.returncode)

        def inspect_windows(exe):
            result = prefix.run(inspect_exe, ["--json", exe], relay=False)
            return from_report(json.loads(result.stdout), result.status)

        def pack_check(row):
            if row.package is not None:
                return None  # vorlane-pack never writes it
            out = os.path.join(folder, "checked.exe")
            done = subprocess.run([pack_tool, "--launcher", h.launcher, "--payload", fx.payload(),
                                   "--runtime", fx.runtime(row.runtime), "-o", out, "--quiet",
                                   "--publisher", fixtures.PUBLISHER] + root_args + row.pack,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if os.path.exists(out):
                os.remove(out)
            return from_pack(done)

        for row in rows:
            @h.case("%s (%s): every judge ends it as the launcher does" % (row.key, row.title))
            def _():
                exe = make(row)
                expected = Said(row.code == 0, harness.wine_status(row.code), row.message)
                answers = {
                    "launcher": launch(exe),
                    "vorlane-inspect --trust-root": inspect_linux(exe, root_args),
                    "vorlane-inspect": inspect_linux(exe, []),
                    "vorlane-inspect.exe": inspect_windows(exe),
                    "vorlane-pack": pack_check(row),
                }
                said[row.key] = answers
                for judge, answer in answers.items():
                    if answer is None:
                        continue
                    if judge == "vorlane-inspect" and row.chain_decides:
                        h.expect(answer.ok and answer.note == "chain not checked",
                                 "%s: without roots the chain decides; expected ok with the chain not checked, "
                                 "got %s" % (judge, answer))
                        continue
                    h.expect_equal(answer.key(), expected.key(), judge)
                    checked = judge != "vorlane-inspect" or not answer.ok
                    h.expect(checked or answer.note == "chain not checked",
                             "%s: an ok without a checked chain does not say so: %s" % (judge, answer))
                    h.expect(not (judge != "vorlane-inspect" and "chain not checked" in answer.note),
                             "%s: the chain was given but not checked: %s" % (judge, answer))
                ran = answers["launcher"].note.startswith("runtime called")
                h.expect_equal(ran, row.code == 0 or row.outcome is None, "launcher: the runtime was called")

        print("\nWhat each judge said:")
        for row in rows:
            print("%-17s %s" % (row.key, row.title))
            for judge, answer in said.get(row.key, {}).items():
                print("    %-28s %s" % (judge, "(not a package vorlane-pack writes)" if answer is None else answer))
        sys.stdout.flush()

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
