"""Packaged applications for the end-to-end tests: stand-in runtimes signed by a
throwaway test CA, payloads, vorlane-pack output, and prefixes that trust the CA.

    fx = fixtures.Fixtures(h)
    exe = fx.package("app", runtime=fx.runtime("good"))
    prefix = fx.trusted_prefix()
    result = prefix.run(exe, ["a", "b c"])
    record = fx.record(exe)          # what the runtime received, or None
"""
import json
import os
import random
import shutil
import struct
import subprocess
import zlib

import harness

PUBLISHER = "Vorlane"
QUIET = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def crc32(data):
    import zlib
    return zlib.crc32(data) & 0xFFFFFFFF


def make_root(folder, name):
    os.makedirs(folder, exist_ok=True)
    root = {"pem": os.path.join(folder, "root.pem"), "key": os.path.join(folder, "root.key")}
    # SHA-1 certificates: Wine 8 accepts any root for SHA-256-signed ones.
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha1", "-days", "30",
                    "-keyout", root["key"], "-out", root["pem"], "-subj", "/CN=" + name], **QUIET)
    return root


def make_leaf(folder, root, signer, serial, code_signing=True):
    """A code-signing certificate for signer issued by root (without any
    extended key usage when code_signing is false); the chain embeds both."""
    os.makedirs(folder, exist_ok=True)
    p = {n: os.path.join(folder, n) for n in ("leaf.key", "leaf.csr", "leaf.pem", "leaf.ext", "chain.pem")}
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", p["leaf.key"],
                    "-out", p["leaf.csr"], "-subj", "/CN=" + signer], **QUIET)
    with open(p["leaf.ext"], "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n" +
                ("extendedKeyUsage=codeSigning\n" if code_signing else ""))
    subprocess.run(["openssl", "x509", "-req", "-sha1", "-days", "30", "-in", p["leaf.csr"], "-CA", root["pem"],
                    "-CAkey", root["key"], "-set_serial", str(serial), "-out", p["leaf.pem"],
                    "-extfile", p["leaf.ext"]], **QUIET)
    with open(p["chain.pem"], "wb") as out:
        for name in (p["leaf.pem"], root["pem"]):
            with open(name, "rb") as f:
                out.write(f.read())
    return {"root": root["pem"], "leaf": p["leaf.pem"], "key": p["leaf.key"], "chain": p["chain.pem"]}


def flip_text_byte(path):
    """Flips one byte inside the .text section of a PE image in place."""
    with open(path, "r+b") as f:
        data = f.read()
        pe = harness.PeImage(data)
        for name, _, _, raw_pointer, raw_size in pe.sections:
            if name == ".text":
                at = raw_pointer + min(raw_size // 2, 4096)
                f.seek(at)
                f.write(bytes([data[at] ^ 0xFF]))
                return
    raise RuntimeError("no .text section in " + path)


def number(value):
    """The archive format's variable-length number."""
    for extra in range(8):
        if (value >> (8 * extra)) < (1 << (7 - extra)):
            first = ((0xFF00 >> extra) & 0xFF) | (value >> (8 * extra))
            return bytes([first]) + (value & ((1 << (8 * extra)) - 1)).to_bytes(extra, "little")
    return b"\xff" + value.to_bytes(8, "little")


def file_rva(pe, offset):
    """The RVA at which a file offset of a PE image is mapped."""
    for _, vaddr, _, raddr, rsize in pe.sections:
        if raddr <= offset < raddr + rsize:
            return offset - raddr + vaddr
    raise ValueError("offset %#x outside every section" % offset)


def fill_delay_directory(path, library):
    """Points the delay-import directory (data directory 13) of a 64-bit PE image
    in place at the one descriptor naming library, as MSVC's linker does: GNU ld
    leaves the entry empty, and the delay-load helper finds its descriptors by
    their own symbols, so nothing at run time changes. The descriptor is found by
    what it holds: the RVA-based attribute (1), then the RVA of library's name."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    pe = harness.PeImage(bytes(data))
    name = data.find(library.encode("ascii") + b"\0")
    if name < 0:
        raise RuntimeError("%s names no %s" % (path, library))
    wanted = struct.pack("<II", 1, file_rva(pe, name))
    found = [at for at in range(0, len(data) - 32, 4) if data[at:at + 8] == wanted]
    if len(found) != 1:
        raise RuntimeError("%d delay-import descriptors for %s in %s" % (len(found), library, path))
    if pe.magic != 0x20B or len(pe.directories) <= 13:
        raise RuntimeError(path + " has no delay-import directory entry")
    entry = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 112 + 13 * 8
    struct.pack_into("<II", data, entry, file_rva(pe, found[0]), 32)
    with open(path, "wb") as f:
        f.write(data)


def forge_crc(path, target):
    """Sets the PE checksum field (outside what a signature covers) so that the
    file's CRC-32 becomes target, as an attacker can: CRC-32 is linear."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    data[field:field + 4] = bytes(4)
    base = crc32(bytes(data))
    columns = []
    for bit in range(32):
        data[field + bit // 8] = 1 << (bit % 8)
        columns.append((crc32(bytes(data)) ^ base, 1 << bit))
        data[field + bit // 8] = 0
    # Gauss-Jordan over GF(2): which checksum bits make each CRC bit.
    for bit in range(32):
        pivot = next(r for r in range(bit, 32) if columns[r][0] >> bit & 1)
        columns[bit], columns[pivot] = columns[pivot], columns[bit]
        for r in range(32):
            if r != bit and columns[r][0] >> bit & 1:
                columns[r] = (columns[r][0] ^ columns[bit][0], columns[r][1] ^ columns[bit][1])
    want, value = target ^ base, 0
    for bit in range(32):
        if want >> bit & 1:
            value ^= columns[bit][1]
    struct.pack_into("<I", data, field, value)
    assert crc32(bytes(data)) == target
    with open(path, "wb") as f:
        f.write(data)


class Fixtures:
    def __init__(self, h):
        self.h = h
        self.dir = h.scratch_dir("fixtures")
        self.pack_tool = os.path.join(h.native or "", "tools", "vorlane-pack")
        self._root = None
        self._second_root = None
        self._chains = {}
        self._runtimes = {}

    # -- certificates --

    def root(self):
        if self._root is None:
            self._root = make_root(os.path.join(self.dir, "root"), "Vorlane Test Root")
        return self._root

    def chain(self, signer=PUBLISHER, trusted=True):
        key = (signer, trusted)
        if key not in self._chains:
            folder = os.path.join(self.dir, "chain-%d" % len(self._chains))
            root = self.root() if trusted else make_root(os.path.join(folder, "root"), "Unknown Test Root")
            self._chains[key] = make_leaf(folder, root, signer, 10 + len(self._chains))
        return self._chains[key]

    def second_root(self):
        """Another root the machine may trust for code signing (an enterprise CA)."""
        if self._second_root is None:
            self._second_root = make_root(os.path.join(self.dir, "root2"), "Other Test Root")
        return self._second_root

    def chain_under(self, root, signer, code_signing, tag):
        key = (tag, signer)
        if key not in self._chains:
            folder = os.path.join(self.dir, "chain-%d" % len(self._chains))
            self._chains[key] = make_leaf(folder, root, signer, 10 + len(self._chains), code_signing)
        return self._chains[key]

    def trusted_prefix(self, local_appdata=True):
        prefix = self.h.new_prefix(local_appdata=local_appdata)
        prefix.trust_root(self.root()["pem"])
        return prefix

    # -- runtime libraries --

    def runtime(self, kind="good"):
        """The stand-in runtime as kind: good, unsigned, tampered, wrong_publisher,
        untrusted, no_export (signed, but lacks VorlaneInit), winhttp (another
        signed build, which imports winhttp.dll), other_build (other code signed
        by the publisher), namesake (the same, by a "Vorlane" under the second
        root), no_eku (signed by a certificate that names no use), x86 (marked
        as a 32-bit image), shared (needs libstdc++ and libgcc_s) or delay
        (delay-loads VorlaneMissing.dll, which no Windows has, and calls it)."""
        if kind in self._runtimes:
            return self._runtimes[kind]
        built = os.path.join(self.h.win64, "tests", "VorlaneStub.dll")
        no_export = os.path.join(self.h.win64, "tests", "VorlaneStubNoInit.dll")
        out = os.path.join(self.dir, "runtime-%s.dll" % kind)
        if kind == "good":
            harness.sign_image(built, out, self.chain())
        elif kind == "unsigned":
            shutil.copyfile(built, out)
        elif kind == "tampered":
            harness.sign_image(built, out, self.chain())
            flip_text_byte(out)
        elif kind == "wrong_publisher":
            harness.sign_image(built, out, self.chain("Mallory Software"))
        elif kind == "untrusted":
            harness.sign_image(built, out, self.chain(trusted=False))
        elif kind == "no_export":
            harness.sign_image(no_export, out, self.chain())
        elif kind in ("other_build", "namesake"):
            # Other code, genuinely signed: by the publisher, or by a namesake
            # of it under a second root.
            unsigned = out + ".unsigned"
            shutil.copyfile(built, unsigned)
            flip_text_byte(unsigned)
            chain = self.chain() if kind == "other_build" else \
                self.chain_under(self.second_root(), PUBLISHER, True, "second")
            harness.sign_image(unsigned, out, chain)
        elif kind == "no_eku":
            harness.sign_image(built, out, self.chain_under(self.root(), PUBLISHER, False, "no-eku"))
        elif kind == "winhttp":
            harness.sign_image(os.path.join(self.h.win64, "tests", "VorlaneStubWinHttp.dll"), out, self.chain())
        elif kind in ("x86", "shared", "delay"):
            unsigned = out + ".unsigned"
            stand_in = {"x86": "VorlaneStub.dll", "shared": "VorlaneStubShared.dll", "delay": "VorlaneStubDelay.dll"}
            shutil.copyfile(os.path.join(self.h.win64, "tests", stand_in[kind]), unsigned)
            if kind == "x86":
                with open(unsigned, "r+b") as f:
                    f.seek(struct.unpack_from("<I", f.read(64), 60)[0] + 4)
                    f.write(struct.pack("<H", 0x14C))
            elif kind == "delay":
                fill_delay_directory(unsigned, "VorlaneMissing.dll")
            harness.sign_image(unsigned, out, self.chain())
        else:
            raise ValueError(kind)
        self._runtimes[kind] = out
        return out

    def padded_runtime(self, megabytes):
        """The good stand-in runtime grown by `megabytes` MiB appended before
        signing, a quarter of it random: a large runtime whose decode and write
        take a while. The loader maps only the sections, so it runs as the
        small one does."""
        out = os.path.join(self.dir, "runtime-padded-%d.dll" % megabytes)
        if not os.path.exists(out):
            unsigned = out + ".unsigned"
            shutil.copyfile(os.path.join(self.h.win64, "tests", "VorlaneStub.dll"), unsigned)
            rng = random.Random(megabytes)
            with open(unsigned, "ab") as f:
                f.write(rng.randbytes(megabytes << 18))
                f.write(bytes(range(256)) * (3 * megabytes << 10))
            harness.sign_image(unsigned, out, self.chain())
        return out

    # -- payloads and packages --

    def payload(self, size=1 << 20, seed=7):
        path = os.path.join(self.dir, "payload-%d-%d.bin" % (size, seed))
        if not os.path.exists(path):
            rng = random.Random(seed)
            with open(path, "wb") as f:
                f.write(bytes(rng.getrandbits(8) for _ in range(size)) if size <= (1 << 16)
                        else rng.randbytes(size))
        return path

    def package(self, name, runtime=None, payload=None, launcher=None, folder=None):
        """vorlane-pack output: folder/name.exe (a folder of its own under scratch by default)."""
        folder = folder or self.h.scratch_dir("app-" + name)
        out = os.path.join(folder, name + ".exe")
        # Unchecked: the stand-ins include a runtime without VorlaneInit.
        subprocess.run([self.pack_tool, "--launcher", launcher or self.h.launcher,
                        "--payload", payload or self.payload(), "--runtime", runtime or self.runtime("good"),
                        "-o", out, "--quiet", "--unchecked-runtime"],
                       check=True, stdout=subprocess.DEVNULL)
        return out

    def pin(self, runtime):
        """The pin vorlane-pack writes for a signed runtime library ("sha256:..."), from its --json summary."""
        out = os.path.join(self.h.scratch_dir("pin"), "pin.exe")
        done = subprocess.run([self.pack_tool, "--launcher", self.h.launcher, "--payload", self.payload(),
                               "--runtime", runtime, "-o", out, "--quiet", "--unchecked-runtime", "--json"],
                              check=True, stdout=subprocess.PIPE)
        return json.loads(done.stdout)["pin"]

    def archive_start(self, exe):
        """Where the 7z start header of a packaged exe begins."""
        at = archive_start(exe)
        if at < 0:
            raise RuntimeError("no archive in " + exe)
        return at

    # -- what the runtime received --

    @staticmethod
    def record_path(exe):
        return exe + ".record.txt"

    def record(self, exe):
        """The stand-in runtime's record of its eight arguments, or None when it was not called."""
        return read_record(exe)

    def clear_record(self, exe):
        try:
            os.remove(self.record_path(exe))
        except FileNotFoundError:
            pass


def noise_png(side, seed):
    """A PNG of random opaque colours: the icons made from it hardly compress."""
    rng = random.Random(seed)
    rows = b"".join(b"\0" + rng.randbytes(side * 3) for _ in range(side))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def launcher_settings(build_dir):
    """The string table a build folder was configured with: {id: value or ''},
    settings 4, 5, 6 and the publisher (7)."""
    settings = {4: "FALSE", 5: "NO", 6: "Y", 7: PUBLISHER}
    names = {4: "VORLANE_SETTING_4", 5: "VORLANE_SETTING_5", 6: "VORLANE_SETTING_6", 7: "VORLANE_PUBLISHER"}
    cache = os.path.join(build_dir, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache, encoding="utf-8") as f:
            for line in f:
                for sid, name in names.items():
                    if line.startswith(name + ":"):
                        settings[sid] = line.rstrip("\n").split("=", 1)[1]
    return settings


def read_record(exe):
    """The stand-in runtime's record of its eight arguments, or None when it was not called."""
    path = exe + ".record.txt"
    if not os.path.exists(path):
        return None
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            values[key] = unescape(value)
    return values


def unescape(value):
    """Undoes the runtime record's escapes (backslash, newline, tab), left to right."""
    out, i = [], 0
    while i < len(value):
        if value[i] == "\\" and i + 1 < len(value):
            out.append({"n": "\n", "t": "\t"}.get(value[i + 1], value[i + 1]))
            i += 2
        else:
            out.append(value[i])
            i += 1
    return "".join(out)


def archive_start(exe):
    """Where the 7z start header of a packaged exe begins (-1 when there is none)."""
    with open(exe, "rb") as f:
        data = f.read()
    return data.find(b"7z\xbc\xaf\x27\x1c", harness.PeImage(data).raw_end())


def runtime_dir(appdata):
    return os.path.join(appdata, "Vorlane Runtime", "202600")


def library_path(appdata):
    return os.path.join(runtime_dir(appdata), "VorlaneStub.dll")


def payload_crc(path):
    with open(path, "rb") as f:
        return crc32(f.read())


def listing(folder):
    """Every path below folder, relative, sorted: for comparing cache states."""
    out = []
    for base, dirs, files in os.walk(folder):
        for name in dirs + files:
            out.append(os.path.relpath(os.path.join(base, name), folder))
    return sorted(out)


def struct_u32(data, at):
    return struct.unpack_from("<I", data, at)[0]
