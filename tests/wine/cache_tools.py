"""Shared pieces of the installation and concurrency tests: another process
holding the installed runtime library, a second signed runtime whose bytes
differ from the packaged one, the launcher variant without after-run removal,
and the messages a start may end with."""
import os
import shutil
import struct
import time

import fixtures
import harness

IN_USE = "Cannot update VorlaneStub.dll: file is in use."
IN_USE_OTHER_CRC = "Cannot update VorlaneStub.dll: file is in use and has a different CRC."
NO_FOLDER = "Failed to create output directory"
CANNOT_CHECK = "Cannot check VorlaneStub.dll: the file cannot be opened (error %d)."


def keep_launcher_path(h):
    """Where the launcher built with setting 6 empty (the cache stays after every run) is."""
    return os.path.join(h.win64, "tests", "variants", "keep", "VorlaneLauncher.exe")


def keep_launcher(h):
    """The launcher built with setting 6 empty, or None where this build has none."""
    path = keep_launcher_path(h)
    return path if os.path.exists(path) else None


def stale_runtime(fx):
    """The stand-in runtime with another link time stamp, signed like the packaged
    one: a library that would pass the signature check and run, but whose bytes
    differ from the archive's. A launcher that called it would leave a record."""
    out = os.path.join(fx.dir, "runtime-stale.dll")
    if not os.path.exists(out):
        unsigned = os.path.join(fx.dir, "runtime-stale-unsigned.dll")
        shutil.copyfile(os.path.join(fx.h.win64, "tests", "VorlaneStub.dll"), unsigned)
        with open(unsigned, "r+b") as f:
            data = f.read(4096)
            at = struct.unpack_from("<I", data, 60)[0] + 8  # TimeDateStamp of the file header
            f.seek(at)
            f.write(struct.pack("<I", (struct.unpack_from("<I", data, at)[0] + 86400) & 0xFFFFFFFF))
        harness.sign_image(unsigned, out, fx.chain())
    return out


def read(path):
    with open(path, "rb") as f:
        return f.read()


def place(path, data, dated=True):
    """Writes data at path (folders made); with dated, moves its modification time
    a day ahead so that any rewrite shows. Not back: without a time stamp in the
    signature, Wine checks the certificates at the file's modification time, and
    the test certificates are valid from now on only."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if dated:
        date(path)


def date(path):
    ahead = time.time() + 86400
    os.utime(path, (ahead, ahead))


def file_state(path):
    """What a rewrite in place or a replacement would change."""
    st = os.stat(path)
    return (st.st_ino, st.st_size, st.st_mtime_ns)


def reset(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


class Held:
    """Another process holding a file while the block runs:

        with Held(h, prefix, "load", library):
            result = prefix.run(exe)

    mode: load (a running copy of the application with its runtime loaded),
    read (read access, read sharing), write (write access, read sharing: a
    launcher in the middle of writing) or exclusive (read access, no sharing)."""

    _count = 0

    def __init__(self, h, prefix, mode, path, when=None):
        self.h = h
        self.prefix = prefix
        self.mode = mode
        self.path = path
        # (pattern, size, ms): the hold begins once a file matching pattern
        # exists and ends ms after it reached size bytes; taken tells it began.
        self.when = when
        self.taken = False
        Held._count += 1
        base = os.path.join(h.scratch, "hold-%d" % Held._count)
        self.ready = base + ".ready"
        self.stop = base + ".stop"
        self.process = None

    def __enter__(self):
        helper = self.h.helper("hold_file")
        args = [self.mode, harness.wine_path(self.path), harness.wine_path(self.ready), harness.wine_path(self.stop)]
        if self.when:
            pattern, size, ms = self.when
            args += [harness.wine_path(pattern), size, ms]
        self.process = self.prefix.start(helper, args, relay=False, timeout=180)
        deadline = time.monotonic() + 30
        while not os.path.exists(self.ready):
            if time.monotonic() > deadline:
                self._release()
                raise RuntimeError("hold_file %s %s never got hold of it: %r"
                                   % (self.mode, self.path, self.process.wait().stderr[-1000:]))
            time.sleep(0.02)
        return self

    def _release(self):
        with open(self.stop, "w"):
            pass
        return self.process.wait()

    def __exit__(self, *exc):
        done = self._release()
        self.taken = done.status == 0
        if exc[0] is None and done.status not in ((0, 3) if self.when else (0,)):
            raise RuntimeError("hold_file ended with %d: %s" % (done.status, done.stderr[-1000:]))
        return False


def runtime_dir(prefix):
    return fixtures.runtime_dir(prefix.appdata)


def library(prefix):
    return fixtures.library_path(prefix.appdata)
