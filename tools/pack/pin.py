"""The pin: the Authenticode digest of the runtime library as packed, written
into the launcher's string table (id 8) as "<algorithm>:<lowercase hex>". The
launcher compares it with the digest the trust services verify, so another
build never runs, whatever its CRC-32 or signer."""

import hashlib
import struct

from .messages import PackError
from .pe_image import u16, u32

PIN_STRING_ID = 8

# DER encodings of the algorithm identifiers a signature's digest may use.
ALGORITHMS = {
    bytes.fromhex("2b0e03021a"): "sha1",
    bytes.fromhex("608648016503040201"): "sha256",
    bytes.fromhex("608648016503040202"): "sha384",
    bytes.fromhex("608648016503040203"): "sha512",
}


def der(data, at):
    """One DER element at `at`: (tag, start of contents, end of contents)."""
    if at + 2 > len(data):
        raise ValueError("DER element past the end")
    tag, length = data[at], data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or at + count > len(data):
            raise ValueError("DER length form")
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    if at + length > len(data):
        raise ValueError("DER element past the end")
    return tag, at, at + length


def children(data, start, end):
    out = []
    while start < end:
        element = der(data, start)
        out.append(element)
        start = element[2]
    return out


def signed_digest(blob):
    """(algorithm, digest) of the SpcIndirectDataContent in a PKCS#7 signature:
    ContentInfo -> [0] SignedData -> encapContentInfo -> [0] -> indirect data."""
    _, start, end = der(blob, 0)
    signed = children(blob, *der(blob, children(blob, start, end)[1][1])[1:])
    encapsulated = children(blob, signed[2][1], signed[2][2])
    indirect = children(blob, *der(blob, encapsulated[1][1])[1:])
    digest_info = children(blob, indirect[1][1], indirect[1][2])
    oid = der(blob, digest_info[0][1])
    name = ALGORITHMS.get(bytes(blob[oid[1]:oid[2]]))
    if name is None:
        raise ValueError("unknown digest algorithm")
    return name, bytes(blob[digest_info[1][1]:digest_info[1][2]])


def authenticode_digest(data, name):
    """What a signature over the image signs: everything but the checksum field,
    the certificate table's directory entry and the certificate table."""
    lfanew = u32(data, 60)
    optional = lfanew + 24
    magic = u16(data, optional)
    directories = optional + (112 if magic == 0x20B else 96)
    security = directories + 4 * 8
    headers_end = u32(data, optional + 60)
    table_offset, table_size = struct.unpack_from("<II", data, security)
    sections = u16(data, lfanew + 6)
    section_table = optional + u16(data, lfanew + 20)
    h = hashlib.new(name)
    h.update(data[:optional + 64])
    h.update(data[optional + 68:security])
    h.update(data[security + 8:headers_end])
    raw = []
    for i in range(sections):
        size, pointer = struct.unpack_from("<II", data, section_table + 40 * i + 16)
        if size:
            raw.append((pointer, size))
    hashed = headers_end
    for pointer, size in sorted(raw):
        h.update(data[pointer:pointer + size])
        hashed = max(hashed, pointer + size)
    tail_end = table_offset if table_offset else len(data)
    h.update(data[hashed:tail_end])
    return h.digest()


def runtime_pin(path):
    """The pin of a signed runtime library; raises PackError for an unsigned one
    or one whose signature does not match its bytes (it could never run)."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        lfanew = u32(data, 60)
        optional = lfanew + 24
        security = optional + (112 if u16(data, optional) == 0x20B else 96) + 4 * 8
        table_offset, table_size = struct.unpack_from("<II", data, security)
        if table_offset == 0 or table_size < 8 or table_offset + table_size > len(data):
            raise PackError("runtime library %s is not signed: the launcher would refuse it "
                            "(sign it, or pack with --no-pin to leave the pin out)" % path)
        length = u32(data, table_offset)
        blob = data[table_offset + 8:table_offset + min(length, table_size)]
        name, signed = signed_digest(blob)
        computed = authenticode_digest(data, name)
    except (ValueError, IndexError, struct.error) as error:
        raise PackError("runtime library %s has a signature that cannot be read (%s)" % (path, error))
    if computed != signed:
        raise PackError("runtime library %s was changed after it was signed: its signature no longer "
                        "matches its bytes" % path)
    return "%s:%s" % (name, signed.hex())
