"""The packing sequence: the inputs checked, the launcher's image cut and its
resources rewritten, the runtime library signed and compressed, the package
written under a temporary name, checked, and renamed."""

import os
import struct
import tempfile

from .archive import compress_runtime, file_crc, write_package
from .checks import check_input, check_package, check_space, megabytes
from .messages import PackError, progress
from .pin import runtime_pin
from .pe_image import CHECKSUM_FIELD, HEADER_BLOCK, drop_trailer_references, runtime_facts, search_start
from .programs import default_launcher, find_tool
from .resources import check_texts, resource_job, rewrite_resources
from .signing import sign_runtime


def pin_of(runtime, options):
    """The pin to write: the signed runtime's digest, or None (with a warning)
    when there is none to take."""
    if options.no_pin:
        progress("warning: no pin (--no-pin): the launcher will run any build signed by the publisher "
                 "whose CRC-32 matches, not only this one")
        return None
    try:
        if runtime_facts(runtime)["signed"]:
            pin = runtime_pin(runtime)
            progress("pin: %s" % pin)
            return pin
    except PackError:
        if not options.unchecked_runtime:
            raise
    progress("warning: no pin: the runtime library is not signed, so the launcher will refuse it")
    return None


def pack(options, here):
    signing = bool(options.sign_runtime or options.sign_pkcs12)
    if options.timestamp and not signing:
        raise PackError("--timestamp needs --sign-runtime or --sign-pkcs12")
    if options.trust_root and not options.check:
        raise PackError("--trust-root needs --check")
    check_texts(options)
    launcher = options.launcher or default_launcher(here)
    check_input(launcher, "launcher")
    payload_size = check_input(options.payload, "payload")
    runtime_size = check_input(options.runtime, "runtime library")
    if payload_size == 0:
        raise PackError("payload is empty: the launcher would not find it; give the file your runtime reads")
    for root in options.trust_root or []:
        check_input(root, "trusted root certificate")
    with open(launcher, "rb") as f:
        headers = f.read(HEADER_BLOCK)
    cut = search_start(headers)
    launcher_size = os.path.getsize(launcher)
    if cut > launcher_size:
        raise PackError("launcher is truncated: its sections end at %d, the file at %d" % (cut, launcher_size))
    progress("launcher %s: image ends at %d%s" % (launcher, cut,
             "" if cut == launcher_size else " (%d bytes after it dropped)" % (launcher_size - cut)))
    if not options.unchecked_runtime:
        facts = runtime_facts(options.runtime)
        progress("runtime library %s: 64-bit DLL exporting VorlaneInit, %s"
                 % (options.runtime, "signed" if facts["signed"] else "not signed"))
        if facts["signed"] and signing:
            raise PackError("runtime library %s is signed already: pack it as it is, or sign an unsigned build"
                            % options.runtime)
    tool = find_tool("VORLANE_7ZZ", ["7zz"])
    if not tool:
        raise PackError("7zz not found on PATH (set VORLANE_7ZZ)")

    out = os.path.abspath(options.output)
    out_dir = os.path.dirname(out)
    if not os.path.isdir(out_dir):
        raise PackError("output folder not found: %s" % out_dir)
    if os.path.isdir(out):
        raise PackError("output is a folder: %s" % out)

    # The output holds the payload once; the temporary folder holds the
    # launcher, a signed copy of the runtime and its compressed streams.
    work_root = tempfile.gettempdir()
    check_space(out_dir, cut + payload_size + runtime_size + (1 << 20), "the output")
    check_space(work_root, 2 * runtime_size + 2 * launcher_size + (1 << 20), "temporary files")
    progress("payload %s: %d bytes; packing needs about %s in %s and %s in %s"
             % (options.payload, payload_size, megabytes(cut + payload_size + runtime_size), out_dir,
                megabytes(2 * runtime_size + 2 * launcher_size), work_root))

    with tempfile.TemporaryDirectory(prefix="vorlane-pack-") as work:
        with open(launcher, "rb") as f:
            image = bytearray(f.read(cut))
        if len(image) != cut:
            raise PackError("launcher changed while it was read")
        runtime = options.runtime
        if signing:
            progress("signing the runtime library with %s" % (options.sign_pkcs12 or options.sign_runtime[0]))
            runtime = sign_runtime(runtime, options, work)
            if not options.unchecked_runtime and not runtime_facts(runtime)["signed"]:
                raise PackError("osslsigncode wrote no certificate table into the runtime library")
        pin = pin_of(runtime, options)
        job = resource_job(options, pin)
        if job is not None:
            written = [name for name, on in (("settings", len(job["strings"]) > (1 if pin else 0)), ("pin", pin),
                                             ("icon", job["icon"]), ("version", job["version"]),
                                             ("version strings", job["versionStrings"])) if on]
            progress("writing %s into the launcher's resources" % ", ".join(written))
            image = rewrite_resources(image, job, work, here)
            cut = search_start(bytes(image[:HEADER_BLOCK]))
            if cut > len(image):
                raise PackError("the resource rewrite returned a truncated image")
            del image[cut:]
        cleared = drop_trailer_references(image, cut)
        if "signature" in cleared:
            progress("launcher is signed: its signature cannot survive packing and is left out; "
                     "sign the packaged executable instead")
        archive, streams = compress_runtime(tool, runtime, work)
        runtime_crc = file_crc(runtime)
        lfanew = struct.unpack_from("<I", image, 60)[0]
        handle, temp = tempfile.mkstemp(prefix="." + os.path.basename(out) + ".", suffix=".tmp", dir=out_dir)
        try:
            with os.fdopen(handle, "w+b") as f:
                write_package(f, image, lfanew + CHECKSUM_FIELD, options.payload, archive, streams, runtime_crc)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(temp, 0o755)
            progress("archive: payload stored, runtime library BCJ2 over LZMA (%d bytes)" % sum(streams[1]))
            if options.check:
                check_package(temp, options.trust_root or [], here)
            os.replace(temp, out)
        except BaseException:
            try:
                os.unlink(temp)
            except OSError:
                pass
            raise
    progress("wrote %s (%d bytes)" % (out, os.path.getsize(out)))
