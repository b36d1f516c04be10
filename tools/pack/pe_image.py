"""The PE headers vorlane-pack reads: the launcher's, to find where its image
ends and to clear fields that would point into the archive, and the runtime
library's, to refuse one the launcher cannot load."""

import struct

from .messages import PackError

HEADER_BLOCK = 4096
SECTION_TABLE_OFFSET = 264  # signature, file header, 64-bit optional header
SECTION_HEADER_SIZE = 40
CHECKSUM_FIELD = 24 + 64    # from the PE signature

INIT_EXPORT = b"VorlaneInit"


def search_start(image):
    """Where the launcher starts its archive search, by the launcher's own rule,
    from the image's first 4096 bytes; refuses anything that is not a 64-bit PE
    image the launcher can probe."""
    if len(image) < 64 or image[0:2] != b"MZ":
        raise PackError("launcher is not a PE image (no MZ header)")
    lfanew = struct.unpack_from("<I", image, 60)[0]
    if lfanew >= HEADER_BLOCK - SECTION_TABLE_OFFSET or lfanew + SECTION_TABLE_OFFSET > len(image):
        raise PackError("launcher's PE header lies outside its first %d bytes" % HEADER_BLOCK)
    if image[lfanew:lfanew + 4] != b"PE\0\0":
        raise PackError("launcher is not a PE image (no PE signature)")
    machine, count = struct.unpack_from("<HH", image, lfanew + 4)
    optional_size = struct.unpack_from("<H", image, lfanew + 20)[0]
    magic = struct.unpack_from("<H", image, lfanew + 24)[0]
    if machine != 0x8664 or magic != 0x20B:
        raise PackError("launcher is not a 64-bit PE image (machine 0x%04X, magic 0x%03X)" % (machine, magic))
    if optional_size != SECTION_TABLE_OFFSET - 24:
        raise PackError("launcher's optional header is %d bytes, not 240" % optional_size)
    table = lfanew + SECTION_TABLE_OFFSET
    end = table + count * SECTION_HEADER_SIZE
    if end > HEADER_BLOCK or end > len(image):
        raise PackError("launcher's section table runs past its first %d bytes" % HEADER_BLOCK)
    largest = 0
    start = 0
    for i in range(count):
        raw_size, raw_pointer = struct.unpack_from("<II", image, table + i * SECTION_HEADER_SIZE + 16)
        if raw_pointer > largest:
            largest = raw_pointer
            start = (raw_pointer + raw_size) & 0xFFFFFFFF
    if start == 0:
        raise PackError("launcher has no section with raw data")
    return start


def drop_trailer_references(image, cut):
    """Clears header fields that point at or past the cut (into what packing
    drops): the certificate table of a launcher signed before packing, and a
    COFF symbol table. Left in place they would point into the archive, where
    signing tools and signature checks would take archive bytes for a
    signature. Returns the names of what was cleared."""
    lfanew = struct.unpack_from("<I", image, 60)[0]
    cleared = []
    symbols, _ = struct.unpack_from("<II", image, lfanew + 12)
    if symbols >= cut:
        struct.pack_into("<II", image, lfanew + 12, 0, 0)
        cleared.append("symbol table")
    optional = lfanew + 24
    if struct.unpack_from("<I", image, optional + 108)[0] > 4:
        entry = optional + 112 + 4 * 8
        offset, size = struct.unpack_from("<II", image, entry)
        if offset != 0 and size != 0 and offset >= cut:
            struct.pack_into("<II", image, entry, 0, 0)
            cleared.append("signature")
    return cleared


def u16(data, at):
    if at < 0 or at + 2 > len(data):
        raise ValueError("field at %d past the end" % at)
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    if at < 0 or at + 4 > len(data):
        raise ValueError("field at %d past the end" % at)
    return struct.unpack_from("<I", data, at)[0]


def runtime_facts(path):
    """What the launcher needs of the runtime library: a 64-bit x86-64 DLL with
    VorlaneInit among its export names. Returns {"signed": bool}; raises
    PackError naming what is wrong. Its signer, imports and the rest are
    vorlane-inspect's to judge (--check)."""
    with open(path, "rb") as f:
        data = f.read()
    what = "runtime library %s" % path
    if len(data) < 64 or data[0:2] != b"MZ":
        raise PackError("%s is not a PE image (no MZ header)" % what)
    try:
        lfanew = u32(data, 60)
        if data[lfanew:lfanew + 4] != b"PE\0\0":
            raise PackError("%s is not a PE image (no PE signature)" % what)
        machine, sections = struct.unpack_from("<HH", data, lfanew + 4)
        optional_size, characteristics = struct.unpack_from("<HH", data, lfanew + 20)
        optional = lfanew + 24
        magic = u16(data, optional)
        if magic == 0x10B or machine in (0x014C, 0x01C0, 0x01C4):
            raise PackError("%s is a 32-bit PE image: the launcher is 64-bit and cannot load it" % what)
        if machine != 0x8664 or magic != 0x20B:
            raise PackError("%s is not a 64-bit x86-64 image (machine 0x%04X, magic 0x%03X)"
                            % (what, machine, magic))
        if not characteristics & 0x2000:
            raise PackError("%s is an executable, not a DLL" % what)
        count = min(u32(data, optional + 108), max(0, (optional_size - 112) // 8))
        directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        table = optional + optional_size

        def offset_of(rva):
            for i in range(sections):
                at = table + 40 * i
                vsize, vaddr, rsize, raddr = struct.unpack_from("<IIII", data, at + 8)
                if vaddr <= rva < vaddr + max(vsize, rsize) and rva - vaddr < rsize:
                    return raddr + rva - vaddr
            raise ValueError("RVA 0x%X lies in no section's data" % rva)

        names = []
        export_rva = directories[0][0] if count > 0 else 0
        if export_rva:
            directory = offset_of(export_rva)
            number, names_rva = u32(data, directory + 24), u32(data, directory + 32)
            array = offset_of(names_rva) if number else 0
            for i in range(min(number, 65536)):
                at = offset_of(u32(data, array + 4 * i))
                names.append(data[at:data.index(b"\0", at)])
        signed = count > 4 and directories[4][0] != 0 and directories[4][1] != 0
    except (ValueError, struct.error) as error:
        raise PackError("%s has damaged PE headers (%s)" % (what, error))
    if INIT_EXPORT not in names:
        raise PackError("%s does not export VorlaneInit (%s)"
                        % (what, "it exports nothing" if not names else
                           "exports: " + ", ".join(n.decode("ascii", "replace") for n in names[:8])
                           + (", ..." if len(names) > 8 else "")))
    return {"signed": signed}
