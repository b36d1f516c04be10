#!/usr/bin/env python3
"""Regenerates the fuzzers' seed corpora in tests/fuzz/corpus/ (committed; run
this only to change them). Needs 7zz on PATH and vorlane-pack built in
build/native/tools (scripts/build.sh).

    tests/fuzz/make_seeds.py

Package seeds are small packaged files: a minimal synthetic 64-bit PE image (no
7z signature bytes in it) followed by an archive. One comes from vorlane-pack
itself; the others vary what vorlane-pack fixes (plain headers, other coders and
filters, solid folders, odd entries) and the bytes around the archive. Text
seeds are UTF-16LE strings: folder names and command lines.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PACK = os.path.join(ROOT, "build", "native", "tools", "vorlane-pack")
FIXED_TIME = 1700000000
SIGNATURE = b"7z\xbc\xaf\x27\x1c"


def pe_image(sections, lfanew=0x80, size=None):
    """Headers in the first 0x200 bytes, then each section's raw data as a pattern."""
    end = max([0x200] + [p + s for s, p in sections])
    image = bytearray((size or end))
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 60, lfanew)
    image[lfanew:lfanew + 4] = b"PE\0\0"
    struct.pack_into("<HH", image, lfanew + 4, 0x8664, len(sections))
    struct.pack_into("<H", image, lfanew + 20, 240)
    struct.pack_into("<H", image, lfanew + 24, 0x20B)
    for i, (raw_size, raw_pointer) in enumerate(sections):
        header = lfanew + 264 + 40 * i
        image[header:header + 8] = (b".s%02d" % i).ljust(8, b"\0")
        struct.pack_into("<II", image, header + 16, raw_size, raw_pointer)
        for j in range(raw_pointer, min(raw_pointer + raw_size, len(image))):
            image[j] = 0x40 + (j * 7) % 31  # never 0x37 0x7A...: no stray signature
    return bytes(image)


LAUNCHER = pe_image([(0x100, 0x200), (0x80, 0x300)])  # search start 0x380


def runtime_bytes():
    """A minimal 64-bit DLL image exporting VorlaneInit (what vorlane-pack asks of a
    runtime library), whose one section holds bytes that look like x86 code:
    calls and jumps for the branch filters. It is never loaded."""
    code = bytearray()
    for i in range(40):
        code += b"\x55\x48\x89\xe5"                     # push rbp; mov rbp, rsp
        code += b"\xe8" + struct.pack("<i", -16 * i)    # call rel32
        code += b"\xe9" + struct.pack("<i", 0x40 + i)   # jmp rel32
        code += b"\x0f\x84" + struct.pack("<i", i * 3)  # je rel32
    va, raw = 0x1000, 0x200
    exports = len(code)                      # export directory, 40 bytes
    functions, names, ordinals, name = exports + 40, exports + 44, exports + 48, exports + 52
    section = code + bytearray(name + 16 - len(code))
    struct.pack_into("<IIIIIIIIII", section, exports, 0, 0, 0, va + name, 1, 1, 1,
                     va + functions, va + names, va + ordinals)
    struct.pack_into("<IIH", section, functions, va, va + name, 0)
    section[name:name + 12] = b"VorlaneInit\0"
    section += bytearray(-len(section) % 0x200)

    image = bytearray(raw)
    lfanew = 0x80
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 60, lfanew)
    image[lfanew:lfanew + 4] = b"PE\0\0"
    struct.pack_into("<HH", image, lfanew + 4, 0x8664, 1)
    struct.pack_into("<HH", image, lfanew + 20, 240, 0x2022)  # a DLL
    optional = lfanew + 24
    struct.pack_into("<H", image, optional, 0x20B)
    struct.pack_into("<I", image, optional + 108, 16)
    struct.pack_into("<II", image, optional + 112, va + exports, 40)
    header = optional + 240
    image[header:header + 8] = b".text\0\0\0"
    struct.pack_into("<IIII", image, header + 8, len(section), va, len(section), raw)
    return bytes(image + section)


PAYLOAD = bytes((i * 13 + 5) & 0xFF for i in range(96))
RUNTIME = runtime_bytes()


def run(args, cwd):
    result = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        sys.exit("make_seeds: %s failed:\n%s" % (" ".join(args), result.stdout.decode("utf-8", "replace")))


def archive(work, steps, name="a.7z"):
    """Runs 7zz 'a' once per step (switches, entry names) in work; returns the archive bytes."""
    path = os.path.join(work, name)
    if os.path.exists(path):
        os.unlink(path)
    for switches, names in steps:
        run(["7zz", "a", "-t7z", "-y", "-bd", "-bso0", "-bsp0", "-ssc"] + switches + ["--", path] + names, work)
    with open(path, "rb") as f:
        return f.read()


def start_header(next_offset, next_size, next_crc):
    body = struct.pack("<QQI", next_offset, next_size, next_crc)
    return SIGNATURE + b"\x00\x04" + struct.pack("<I", zlib.crc32(body)) + body


def main():
    if shutil.which("7zz") is None:
        sys.exit("make_seeds: 7zz not found on PATH")
    package_dir = os.path.join(HERE, "corpus", "package")
    text_dir = os.path.join(HERE, "corpus", "text")
    for d in (package_dir, text_dir):
        os.makedirs(d, exist_ok=True)
        for old in os.listdir(d):
            os.unlink(os.path.join(d, old))

    seeds = {}
    with tempfile.TemporaryDirectory(prefix="vorlane-seeds-") as work:
        files = {"vorlane.bin": PAYLOAD, "VorlaneStub.dll": RUNTIME, "other.txt": b"other entry\n" * 4}
        for name, data in files.items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
            os.utime(os.path.join(work, name), (FIXED_TIME, FIXED_TIME))
        os.mkdir(os.path.join(work, "dir"))
        os.mkdir(os.path.join(work, "dir", "vorlane.bin"))
        os.utime(os.path.join(work, "dir", "vorlane.bin"), (FIXED_TIME, FIXED_TIME))
        for name in ("launcher.exe", "payload", "runtime"):
            data = {"launcher.exe": LAUNCHER, "payload": PAYLOAD, "runtime": RUNTIME}[name]
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)

        # What the packaging tool writes: encoded header, stored payload, BCJ2 over LZMA.
        out = os.path.join(work, "packed.exe")
        # The runtime is unsigned: the launcher would refuse it, which a seed does not mind.
        run([PACK, "--launcher", "launcher.exe", "--payload", "payload", "--runtime", "runtime",
             "-o", out, "--no-check", "-q"], work)
        with open(out, "rb") as f:
            seeds["packed"] = f.read()

        stored = ["-m0=Copy", "-ms=off", "-mhc=off"]
        bcj2 = ["-m0=BCJ2", "-m1=LZMA:d16", "-m2=LZMA:d16", "-m3=LZMA:d16", "-mb0:1", "-mb0s1:2", "-mb0s2:3",
                "-ms=off", "-mhc=off"]
        # The same layout with a plain header, so mutations reach the header parser.
        plain = archive(work, [(stored, ["vorlane.bin"]), (bcj2, ["VorlaneStub.dll"])])
        seeds["plain_header"] = LAUNCHER + plain
        # Bytes between image and archive, among them a signature with a wrong CRC.
        junk = b"\x00" * 40 + SIGNATURE + b"\x00\x04" + b"\xff" * 24 + b"tail" * 8
        seeds["junk_before_archive"] = LAUNCHER + junk + plain
        # Other coders and filters for the runtime library, headers plain.
        for label, methods in (("x86_lzma2", ["-m0=BCJ", "-m1=LZMA2:d16"]),
                               ("arm64_lzma", ["-m0=ARM64", "-m1=LZMA:d16"]),
                               ("delta_lzma2", ["-m0=Delta:4", "-m1=LZMA2:d16"]),
                               ("ppmd", ["-m0=PPMd:mem=1m"])):
            seeds[label] = LAUNCHER + archive(work, [(stored, ["vorlane.bin"]),
                                                     (methods + ["-ms=off", "-mhc=off"], ["VorlaneStub.dll"])])
        # Two entries in one solid LZMA folder, after the payload.
        seeds["solid_folder"] = LAUNCHER + archive(
            work, [(stored, ["vorlane.bin"]), (["-m0=LZMA:d16", "-ms=on", "-mhc=off"], ["other.txt", "VorlaneStub.dll"])])
        # A folder named like the payload, and the library stored.
        seeds["folder_named_payload"] = LAUNCHER + archive(
            work, [(stored, ["VorlaneStub.dll", os.path.join("dir", "vorlane.bin")])])
        # Everything stored in one solid Copy folder, encoded header compressed.
        seeds["stored_encoded_header"] = LAUNCHER + archive(
            work, [(["-m0=Copy", "-ms=on", "-mhc=on"], ["vorlane.bin", "VorlaneStub.dll"])])

    # An archive without entries: next header of size 0.
    seeds["empty_archive"] = LAUNCHER + start_header(0, 0, 0) + b"\x00"
    # A start header whose 32 bytes end the file: the search needs one byte after it.
    seeds["header_ends_file"] = LAUNCHER + start_header(0, 0, 0)
    # Image with three sections, the last-starting one not the last-ending, and a second
    # section table entry starting at the same place: the probe's tie and order rules.
    odd = pe_image([(0x400, 0x200), (0x80, 0x300), (0x40, 0x300)], lfanew=0x40, size=0x600)
    seeds["odd_sections"] = odd[:0x380] + plain
    # Image whose archive search start lies beyond the file's end.
    seeds["search_past_end"] = pe_image([(0x4000, 0x200)], size=0x300)

    for name, data in seeds.items():
        with open(os.path.join(package_dir, name), "wb") as f:
            f.write(data)

    texts = {
        "folder_number": "  +000202599abc",
        "folder_saturates": "-99999999999",
        "arguments_quoted": 'app.exe "C:\\My Files\\book" a  "" b',
        "arguments_escapes": '"C:\\Program Files\\app.exe" a\\\\"b c" d\\"e \\\\\\"f\tg',
        "unc_path": "\\\\server\\share\\folder\\file.txt",
        "drive_path": "C:\\" + "long\\" * 60 + "file",
    }
    for name, text in texts.items():
        with open(os.path.join(text_dir, name), "wb") as f:
            f.write(text.encode("utf-16-le"))

    for d in (package_dir, text_dir):
        for name in sorted(os.listdir(d)):
            print("%-60s %6d bytes" % (os.path.relpath(os.path.join(d, name), ROOT),
                                       os.path.getsize(os.path.join(d, name))))


if __name__ == "__main__":
    main()
