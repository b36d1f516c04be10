"""The archive behind the launcher's image: 7zz compresses the runtime library
into an archive of its own, whose packed streams are copied behind the stored
payload under a header written here, and the PE checksum is summed over the
whole file as it is written."""

import os
import struct
import subprocess
import zlib

from .messages import PackError
from .programs import tool_output

PAYLOAD_NAME = "vorlane.bin"
RUNTIME_NAME = "VorlaneStub.dll"

START_HEADER_SIZE = 32
COPY_PIECE = 1 << 20
ENTRY_ATTRIBUTES = 0x20  # FILE_ATTRIBUTE_ARCHIVE, whatever the packing machine's file modes

RUNTIME_METHODS = ["-m0=BCJ2", "-m1=LZMA:d25", "-m2=LZMA:d19", "-m3=LZMA:d19",
                   "-mb0:1", "-mb0s1:2", "-mb0s2:3"]
# Only the packed streams of this archive are used: a plain header to read them
# from, nothing that varies between machines or runs.
RUNTIME_ARCHIVE = ["-t7z", "-y", "-bd", "-bso0", "-bsp0", "-ssc", "-ms=off", "-mhc=off", "-mhe=off",
                   "-mtm=off", "-mtc=off", "-mta=off"]


def number(value):
    """The 7z format's variable-length number."""
    for extra in range(8):
        if (value >> (8 * extra)) < (1 << (7 - extra)):
            first = ((0xFF00 >> extra) & 0xFF) | (value >> (8 * extra))
            return bytes([first]) + (value & ((1 << (8 * extra)) - 1)).to_bytes(extra, "little")
    return b"\xff" + value.to_bytes(8, "little")


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def byte(self):
        if self.at >= len(self.data):
            raise PackError("7zz wrote a header this tool cannot read (it ends early)")
        self.at += 1
        return self.data[self.at - 1]

    def number(self):
        first = self.byte()
        mask = 0x80
        value = 0
        for i in range(8):
            if first & mask == 0:
                return value | ((first & (mask - 1)) << (8 * i))
            value |= self.byte() << (8 * i)
            mask >>= 1
        return value

    def skip_digests(self, count):
        if self.byte() == 0:
            defined = sum(bin(self.byte()).count("1") for _ in range((count + 7) // 8))
        else:
            defined = count
        self.at += 4 * defined


def runtime_streams(archive):
    """From a plain-header archive of one compressed file: where its packed
    streams start, their sizes, the folder's description as recorded, and the
    folder's unpack sizes."""
    with open(archive, "rb") as f:
        start = f.read(START_HEADER_SIZE)
        if len(start) != START_HEADER_SIZE or start[:6] != b"7z\xbc\xaf\x27\x1c":
            raise PackError("7zz wrote no 7z archive")
        offset, size = struct.unpack_from("<QQ", start, 12)
        f.seek(START_HEADER_SIZE + offset)
        r = Reader(f.read(size))
    if r.byte() != 0x01 or r.byte() != 0x04 or r.byte() != 0x06:
        raise PackError("7zz wrote a header this tool cannot read (not a plain header)")
    pack_pos, streams = r.number(), r.number()
    sizes = []
    while True:
        kind = r.byte()
        if kind == 0x00:
            break
        if kind == 0x09:
            sizes = [r.number() for _ in range(streams)]
        elif kind == 0x0A:
            r.skip_digests(streams)
        else:
            raise PackError("7zz wrote a header this tool cannot read (pack info %#x)" % kind)
    if r.byte() != 0x07 or r.byte() != 0x0B or r.number() != 1 or r.byte() != 0:
        raise PackError("7zz wrote a header this tool cannot read (not one folder)")
    folder_start = r.at
    outputs = inputs = 0
    for _ in range(r.number()):
        flag = r.byte()
        if flag & 0x80:
            raise PackError("7zz wrote a header this tool cannot read (alternative methods)")
        r.at += flag & 0x0F
        coder_in, coder_out = (r.number(), r.number()) if flag & 0x10 else (1, 1)
        inputs += coder_in
        outputs += coder_out
        if flag & 0x20:
            properties = r.number()
            r.at += properties
    for _ in range(outputs - 1):
        r.number()
        r.number()
    if inputs - (outputs - 1) > 1:
        for _ in range(inputs - (outputs - 1)):
            r.number()
    folder = r.data[folder_start:r.at]
    if r.byte() != 0x0C:
        raise PackError("7zz wrote a header this tool cannot read (no unpack sizes)")
    unpack_sizes = [r.number() for _ in range(outputs)]
    if len(sizes) != streams or inputs - (outputs - 1) != streams:
        raise PackError("7zz wrote a header this tool cannot read (stream counts disagree)")
    return START_HEADER_SIZE + pack_pos, sizes, folder, unpack_sizes


def archive_header(payload_size, payload_crc, runtime, runtime_crc):
    """The archive's header: the payload's Copy folder first, then the runtime's
    folder as 7zz described it; names, CRCs and fixed attributes, no times."""
    _, sizes, folder, unpack_sizes = runtime
    h = b"\x01\x04"
    h += b"\x06" + number(0) + number(1 + len(sizes))
    h += b"\x09" + number(payload_size) + b"".join(number(s) for s in sizes) + b"\x00"
    h += b"\x07\x0b" + number(2) + b"\x00" + b"\x01\x01\x00" + folder
    h += b"\x0c" + number(payload_size) + b"".join(number(s) for s in unpack_sizes) + b"\x00"
    h += b"\x08\x0a\x01" + struct.pack("<II", payload_crc, runtime_crc) + b"\x00"
    h += b"\x00"
    names = b"\x00" + (PAYLOAD_NAME + "\0" + RUNTIME_NAME + "\0").encode("utf-16-le")
    h += b"\x05" + number(2)
    h += b"\x11" + number(len(names)) + names
    h += b"\x15" + number(2 + 8) + b"\x01\x00" + struct.pack("<II", ENTRY_ATTRIBUTES, ENTRY_ATTRIBUTES)
    h += b"\x00\x00"
    return h


def start_header(next_offset, header):
    tail = struct.pack("<QQI", next_offset, len(header), zlib.crc32(header) & 0xFFFFFFFF)
    return b"7z\xbc\xaf\x27\x1c\x00\x04" + struct.pack("<I", zlib.crc32(tail) & 0xFFFFFFFF) + tail


class Checksum:
    """The PE checksum of a file written in pieces: the end-around-carry sum
    of its 16-bit words plus its length. That sum is the file read as one
    little-endian number modulo 0xFFFF (65536 is 1 there), which Python's big
    integers compute fast, piece by piece."""

    def __init__(self):
        self.total = 0
        self.length = 0
        self.nonzero = False

    def add(self, data, at=None):
        at = self.length if at is None else at
        value = int.from_bytes(data, "little")
        self.nonzero = self.nonzero or value != 0
        self.total = (self.total + (value % 0xFFFF) * (256 if at % 2 else 1)) % 0xFFFF
        if at == self.length:
            self.length += len(data)

    def value(self):
        folded = self.total if self.total != 0 or not self.nonzero else 0xFFFF
        return (folded + self.length) & 0xFFFFFFFF


def write_package(out, image, checksum_at, payload_path, runtime_archive, runtime, runtime_crc):
    """Writes image, start header, payload, the runtime's packed streams and
    the header to out; returns the payload's CRC. The payload is read once."""
    data_start, sizes, _, _ = runtime
    checksum = Checksum()
    image = bytearray(image)
    struct.pack_into("<I", image, checksum_at, 0)
    out.write(image)
    checksum.add(image)
    archive_start = len(image)
    # The start header names the header's CRC, which needs the payload's: written last.
    out.write(bytes(START_HEADER_SIZE))
    checksum.add(bytes(START_HEADER_SIZE))
    crc = 0
    payload_size = 0
    with open(payload_path, "rb") as src:
        while True:
            piece = src.read(COPY_PIECE)
            if not piece:
                break
            crc = zlib.crc32(piece, crc)
            payload_size += len(piece)
            out.write(piece)
            checksum.add(piece)
    if payload_size == 0:
        raise PackError("payload is empty: the launcher would not find it")
    crc &= 0xFFFFFFFF
    with open(runtime_archive, "rb") as src:
        src.seek(data_start)
        remaining = sum(sizes)
        while remaining > 0:
            piece = src.read(min(remaining, COPY_PIECE))
            if not piece:
                raise PackError("7zz's archive is shorter than its header says")
            out.write(piece)
            checksum.add(piece)
            remaining -= len(piece)
    header = archive_header(payload_size, crc, runtime, runtime_crc)
    out.write(header)
    checksum.add(header)
    start = start_header(payload_size + sum(sizes), header)
    out.seek(archive_start)
    out.write(start)
    checksum.add(start, archive_start)
    out.seek(checksum_at)
    out.write(struct.pack("<I", checksum.value()))
    return crc


def compress_runtime(tool, runtime, work):
    """7zz's BCJ2-over-LZMA streams of the runtime, in an archive of its own."""
    folder = os.path.join(work, "runtime")
    os.mkdir(folder)
    os.symlink(os.path.abspath(runtime), os.path.join(folder, RUNTIME_NAME))
    archive = os.path.join(work, "runtime.7z")
    command = [tool, "a"] + RUNTIME_METHODS + RUNTIME_ARCHIVE + ["--", archive, RUNTIME_NAME]
    result = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise PackError("7zz failed (%d): %s" % (result.returncode, tool_output(result)))
    return archive, runtime_streams(archive)


def file_crc(path):
    crc = 0
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(COPY_PIECE), b""):
            crc = zlib.crc32(piece, crc)
    return crc & 0xFFFFFFFF
