"""A packaged application end to end: the launcher finds its appended archive,
checks the payload in place and hands it to the runtime; a missing archive,
damaged archive headers and a bad payload each end the run with their own
message and exit status before anything is written to the cache."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

number = fixtures.number  # the archive format's variable-length number

START_HEADER = 32
SIGNATURE = b"7z\xbc\xaf\x27\x1c"
# The search reads 32 KiB passes that overlap by 32 bytes, and starts no pass beyond
# 4 MiB after the image: pass 128 begins at 128 * 32,736 and its last position is
# one before where pass 129 would begin.
LAST_POSITION = 129 * (32768 - 32) - 1

# ---- archives written by hand ---------------------------------------------------------
# Copy-coded folders and a plain header, so the tests control every recorded
# size and CRC exactly (7zz would refuse to write a wrong one).


def next_header(folders, names):
    """folders: [(pack size, unpack size, CRC)], each one Copy coder holding one entry."""
    h = b"\x01\x04"  # header, main streams
    h += b"\x06" + number(0) + number(len(folders)) + b"\x09" + b"".join(number(f[0]) for f in folders) + b"\x00"
    h += b"\x07\x0b" + number(len(folders)) + b"\x00" + b"\x01\x01\x00" * len(folders)
    h += b"\x0c" + b"".join(number(f[1]) for f in folders) + b"\x00"
    h += b"\x08\x0a\x01" + b"".join(struct.pack("<I", f[2]) for f in folders) + b"\x00"
    h += b"\x00"
    blob = b"\x00" + b"".join(name.encode("utf-16-le") + b"\0\0" for name in names)
    h += b"\x05" + number(len(names)) + b"\x11" + number(len(blob)) + blob + b"\x00"
    return h + b"\x00"


def start_header(next_offset, next_size, next_crc, major=0):
    tail = struct.pack("<QQI", next_offset, next_size, next_crc)
    return SIGNATURE + bytes([major, 4]) + struct.pack("<I", fixtures.crc32(tail)) + tail


def forge_crc(data, at, target):
    """data with the 4 bytes at `at` chosen so that its CRC-32 is target (the CRC is
    affine in the message bits, so 32 free bits reach any value)."""
    base = bytearray(data)
    base[at:at + 4] = bytes(4)
    zero = fixtures.crc32(bytes(len(base)))
    basis = {}
    for bit in range(32):
        probe = bytearray(len(base))
        probe[at + bit // 8] = 1 << (bit % 8)
        value, mask = fixtures.crc32(bytes(probe)) ^ zero, 1 << bit
        while value:
            top = value.bit_length() - 1
            if top not in basis:
                basis[top] = (value, mask)
                break
            value, mask = value ^ basis[top][0], mask ^ basis[top][1]
    want, mask = fixtures.crc32(bytes(base)) ^ target, 0
    while want:
        value, bits = basis[want.bit_length() - 1]
        want, mask = want ^ value, mask ^ bits
    base[at:at + 4] = mask.to_bytes(4, "little")
    assert fixtures.crc32(bytes(base)) == target
    return bytes(base)


def payload_reaching_end(runtime, payload, beyond, recorded_crc):
    """An archive laid out [start header][runtime][payload][next header] whose payload
    entry's recorded size runs from its data to the file's last byte, plus `beyond`.
    The payload bytes are adjusted so that the range up to the end has recorded_crc."""
    size = len(payload)
    while True:
        header = next_header([(len(runtime), len(runtime), fixtures.crc32(runtime)),
                              (len(payload), size, recorded_crc)], ["VorlaneStub.dll", "vorlane.bin"])
        wanted = len(payload) + len(header) + beyond
        if wanted == size:
            break
        size = wanted
    region = forge_crc(payload + header, len(payload) - 4, recorded_crc)
    body = runtime + region
    return start_header(len(runtime) + len(payload), len(header), fixtures.crc32(header)) + body


# ---- packaged files ----------------------------------------------------------------------

def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(folder, name, data):
    path = os.path.join(folder, name + ".exe")
    with open(path, "wb") as f:
        f.write(data)
    return path


def with_start_header(data, start, next_offset=None, major=None):
    """data with the start header at `start` rewritten, its CRC made valid again."""
    old_offset, old_size, old_crc = struct.unpack_from("<QQI", data, start + 12)
    header = start_header(old_offset if next_offset is None else next_offset, old_size, old_crc,
                          data[start + 6] if major is None else major)
    return data[:start] + header + data[start + START_HEADER:]


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def main():
    h = harness.Harness.from_args()
    if h.missing_builds():
        return 1

    with h:
        fx = fixtures.Fixtures(h)
        folder = h.scratch_dir("packaged")
        payload_path = fx.payload()
        payload = read(payload_path)
        runtime = read(fx.runtime("good"))
        exe = fx.package("app", folder=folder)
        packaged = read(exe)
        start = fx.archive_start(exe)
        image = read(h.launcher)[:harness.PeImage.load(h.launcher).raw_end()]
        prefix = fx.trusted_prefix()

        def expect_runs(path, offset, size, crc, what):
            fx.clear_record(path)
            result = prefix.run(path)
            h.expect_status(result, 0, what + ": exit status")
            h.expect_boxes(result, [], what + ": error boxes")
            record = fx.record(path)
            if h.expect(record is not None, what + ": the runtime was not called"):
                h.expect_equal(int(record["payload_offset"]), offset, what + ": payload offset")
                h.expect_equal(int(record["payload_size"]), size, what + ": payload size")
                h.expect_equal(record["payload_crc"], "%08x" % crc, what + ": CRC of the payload range")
                h.expect_equal(record["payload_read"], "1", what + ": payload range readable")

        def expect_stops(path, message, code, what):
            """Ends with the message and exit code, the runtime not called, the cache not touched."""
            fx.clear_record(path)
            shutil.rmtree(prefix.appdata)
            os.makedirs(prefix.appdata)
            result = prefix.run(path)
            h.expect_status(result, code, what + ": exit status")
            h.expect_boxes(result, [("Error", message)], what + ": error boxes")
            h.expect(fx.record(path) is None, what + ": the runtime was called")
            h.expect_equal(fixtures.listing(prefix.appdata), [], what + ": local app data")

        @h.case("packaged app runs: payload at archive start + 32, its size and CRC handed to the runtime")
        def _():
            h.expect_equal(start, len(image), "archive start (vorlane-pack cuts the image at its raw end)")
            expect_runs(exe, start + START_HEADER, len(payload), fixtures.crc32(payload), "packaged app")
            # Bytes between the image and the archive are skipped, as far as the search reaches.
            gap = write(folder, "gap", image + b"\xa5" * 1000 + packaged[start:])
            expect_runs(gap, start + 1000 + START_HEADER, len(payload), fixtures.crc32(payload), "1000-byte gap")
            edge = write(folder, "edge", image + bytes(LAST_POSITION) + packaged[start:])
            expect_runs(edge, start + LAST_POSITION + START_HEADER, len(payload), fixtures.crc32(payload),
                        "archive at the last position searched")

        @h.case("no archive: '7z archive not found', exit 1")
        def _():
            expect_stops(h.launcher, "7z archive not found", 1, "bare launcher")
            # A start header whose CRC does not hold is no start header.
            at = start + 20  # inside the next header size, which the CRC covers
            expect_stops(write(folder, "bad-start-crc", flip(packaged, at)), "7z archive not found", 1,
                         "start header CRC broken")
            far = write(folder, "far", image + bytes(LAST_POSITION + 1) + packaged[start:])
            expect_stops(far, "7z archive not found", 1, "archive just beyond the search window")
            # A start header needs at least one byte after it to be seen.
            expect_stops(write(folder, "header-at-end", image + start_header(0, 0, 0)), "7z archive not found", 1,
                         "empty archive whose start header ends the file")

        @h.case("damaged archive headers: 'SzArEx_Open error: N' with the decoder's code, exit 2")
        def _():
            next_offset, next_size = struct.unpack_from("<QQ", packaged, start + 12)
            next_at = start + START_HEADER + next_offset
            h.expect_equal(next_at + next_size, len(packaged), "the next header ends the file")
            damaged = {
                "truncated by one byte": (packaged[:-1], 6),
                "truncated inside the payload": (packaged[:start + START_HEADER + 4096], 6),
                "next header byte flipped": (flip(packaged, next_at + next_size // 2), 16),
                "major version 1": (with_start_header(packaged, start, major=1), 4),
                "next header offset 2^62": (with_start_header(packaged, start, next_offset=1 << 62), 17),
            }
            for i, (what, (data, code)) in enumerate(damaged.items()):
                expect_stops(write(folder, "damaged-%d" % i, data), "SzArEx_Open error: %d" % code, 2, what)

        @h.case("flipped payload byte: 'Vorlane.Bin CRC error', exit 3, cache untouched")
        def _():
            for i, at in enumerate((0, len(payload) // 2, len(payload) - 1)):
                bad = write(folder, "flipped-%d" % i, flip(packaged, start + START_HEADER + at))
                expect_stops(bad, "Vorlane.Bin CRC error", 3, "payload byte %d flipped" % at)

        @h.case("payload ending at the file's last byte runs; one byte more: 'Vorlane.Bin offset out of range', 3")
        def _():
            small = payload[:65536]
            crc = 0x5EED1234
            exact = write(folder, "exact-end", image + payload_reaching_end(runtime, small, 0, crc))
            offset = len(image) + START_HEADER + len(runtime)
            expect_runs(exact, offset, os.path.getsize(exact) - offset, crc, "payload up to the last byte")
            over = write(folder, "one-beyond", image + payload_reaching_end(runtime, small, 1, crc))
            expect_stops(over, "Vorlane.Bin offset out of range", 3, "payload one byte past the end")

        @h.case("no entry named exactly vorlane.bin: 'Vorlane.Bin not found', exit 3")
        def _():
            with tempfile.TemporaryDirectory(dir=h.scratch) as work:
                with open(os.path.join(work, "VORLANE.BIN"), "wb") as f:
                    f.write(payload)
                archive = os.path.join(work, "upper.7z")
                subprocess.run(["7zz", "a", "-t7z", "-m0=Copy", "-ssc", "-bd", "-y", archive, "VORLANE.BIN"],
                               cwd=work, check=True, stdout=subprocess.DEVNULL)
                upper = write(folder, "upper", image + read(archive))
            expect_stops(upper, "Vorlane.Bin not found", 3, "payload named VORLANE.BIN")
            empty = write(folder, "empty", image + start_header(0, 0, 0) + b"\0")
            expect_stops(empty, "Vorlane.Bin not found", 3, "archive without entries")

        @h.case("Authenticode-signed packaged app: certificate table after the archive, payload still found")
        def _():
            signed = os.path.join(folder, "signed.exe")
            harness.sign_image(exe, signed, fx.chain())
            table_at, table_size = harness.PeImage.load(signed).directories[4]
            h.expect(table_at >= len(packaged) and table_size > 0,
                     "certificate table at %d (+%d), archive ends at %d" % (table_at, table_size, len(packaged)))
            h.expect_equal(read(signed)[start:len(packaged)], packaged[start:], "archive bytes kept in place")
            expect_runs(signed, start + START_HEADER, len(payload), fixtures.crc32(payload), "signed app")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
