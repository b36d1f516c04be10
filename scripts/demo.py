#!/usr/bin/env python3
"""The launcher at work, step by step, under Wine and without a display.

Packs a sample payload and the stand-in runtime library (signed by a demo
certificate authority) behind the launcher, starts the packaged application in
a Wine prefix of its own under build/demo/, and says in plain words what
happened: what the runtime received, what the cache folder held, what a second
start did, and what a build with setting 6 = "Y" leaves behind. Every claim is
checked; the exit status is non-zero when anything is off.

    python3 scripts/demo.py [--win64 build/win64] [--native build/native]

Run scripts/demo.sh on a fresh machine: it sets up and builds first.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import fixtures  # noqa: E402
import harness  # noqa: E402

LIBRARY = "VorlaneStub.dll"
RUNTIME_ROOT = "Vorlane Runtime"
RUNTIME_VERSION = "202600"
PAYLOAD_SIZE = 3 * 1024 * 1024


class Demo:
    def __init__(self, win64, native):
        self.win64 = os.path.abspath(win64)
        self.native = os.path.abspath(native)
        self.dir = os.path.join(ROOT, "build", "demo")
        self.checks = 0
        self.problems = []
        self.step_number = 0

    # -- output --

    def step(self, title):
        self.step_number += 1
        print()
        print("%d. %s" % (self.step_number, title))
        sys.stdout.flush()

    def say(self, text="", indent=3):
        for line in text.split("\n"):
            print(" " * indent + line if line else "")
        sys.stdout.flush()

    def check(self, condition, good, bad=None):
        """Prints a checked statement; remembers it when it does not hold."""
        self.checks += 1
        if condition:
            self.say("[ok] " + good)
        else:
            message = bad or ("NOT SO: " + good)
            self.say("[!!] " + message)
            self.problems.append(message)
        return bool(condition)

    # -- helpers --

    def launcher(self, variant=None):
        if variant is None:
            return os.path.join(self.win64, "VorlaneLauncher.exe")
        return os.path.join(self.win64, "tests", "variants", variant, "VorlaneLauncher.exe")

    def pack(self, name, launcher, runtime, checked=True):
        """vorlane-pack -q into app/NAME, checked with the chain against the
        demo root, or not at all: (its path, its exit status, what it printed:
        only refusals and warnings)."""
        out = os.path.join(self.app_dir, name)
        tool = os.path.join(self.native, "tools", "vorlane-pack")
        done = subprocess.run([tool, "-q", "--launcher", launcher, "--payload", self.payload, "--runtime", runtime] +
                              (["--trust-root", self.root_pem] if checked else ["--no-check"]) + ["-o", out],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return out, done.returncode, done.stdout.decode("utf-8", "replace")

    def packed(self, name, launcher, runtime):
        """A package that must be written: its path (a refusal stops the demo)."""
        out, status, output = self.pack(name, launcher, runtime)
        if not self.check(status == 0 and os.path.exists(out),
                          "vorlane-pack checked %s with the launcher's own code and wrote it" % name,
                          "vorlane-pack ended with %d for %s:\n%s" % (status, name, output.rstrip())):
            raise DemoStopped("vorlane-pack failed for " + name)
        return out

    def start(self, exe, args):
        shown = " ".join('"%s"' % a if (" " in a or a == "") else a for a in args)
        self.say(("> %s %s" % (os.path.basename(exe), shown)).rstrip())
        try:
            os.remove(exe + ".record.txt")
        except FileNotFoundError:
            pass
        began = time.monotonic()
        result = self.prefix.run(exe, args)
        self.say("  ended after %.1f s with exit status %d%s" % (
            time.monotonic() - began, result.status, " (timed out)" if result.timed_out else ""))
        for caption, text in result.boxes:
            self.say('  error box "%s": %s' % (caption, text))
        return result

    def cache_root(self):
        return os.path.join(self.appdata, RUNTIME_ROOT)

    def library(self):
        return os.path.join(self.cache_root(), RUNTIME_VERSION, LIBRARY)

    def show_cache(self):
        root = self.cache_root()
        windows_root = self.appdata_windows + "\\" + RUNTIME_ROOT
        if not os.path.exists(root):
            self.say('%s: not there' % windows_root)
            return
        self.say(windows_root + "\\")
        for base, dirs, files in os.walk(root):
            dirs.sort()
            depth = os.path.relpath(base, root).count(os.sep) + (0 if base == root else 1)
            pad = "  " * (depth + 1)
            for name in sorted(files):
                self.say("%s%s  (%s bytes)" % (pad, name, "{:,}".format(os.path.getsize(os.path.join(base, name)))))
            for name in dirs:
                self.say("%s%s\\" % (pad, name))

    def received(self, exe, result, setting4, setting5, first, line, full=False):
        """Checks what the stand-in runtime wrote down; shows all of it when full."""
        ended = result.status == 0 and not result.boxes and not result.timed_out
        record = fixtures.read_record(exe)
        if record is None:
            self.check(False, "", "the runtime was never called (exit status %d, boxes %r)"
                       % (result.status, result.boxes))
            return None
        archive_start = fixtures.archive_start(exe)
        expected = {
            "instance_is_exe": "1",
            "module_path": harness.wine_path(exe),
            "setting4": setting4,
            "setting5": setting5,
            "first_argument": first,
            "argument_line": line,
            "payload_offset": str(archive_start + 32),
            "payload_size": str(os.path.getsize(self.payload)),
        }
        wrong = ["%s = %r, expected %r" % (k, record.get(k), v) for k, v in expected.items() if record.get(k) != v]
        intact = record.get("payload_read") == "1" and record.get("payload_crc") == self.payload_crc
        if not full:
            self.check(ended and not wrong and intact,
                       "exit status 0, no error box; the runtime got the right eight arguments (first argument %r,\n"
                       "     argument line %r) and read the payload intact" % (first, line),
                       "exit status %d, boxes %r, wrong arguments: %s, payload CRC %s (packed: %s)"
                       % (result.status, result.boxes, "; ".join(wrong) or "none", record.get("payload_crc"),
                          self.payload_crc))
            return record

        try:
            instance = "0x%x" % int(record.get("instance", ""), 16)
        except ValueError:
            instance = record.get("instance", "")
        rows = [
            ("1 instance", instance + ("  (the launcher's own module)"
                                       if record.get("instance_is_exe") == "1" else "")),
            ("2 module path", record.get("module_path")),
            ("3 setting 4", record.get("setting4")),
            ("4 setting 5", record.get("setting5")),
            ("5 first argument", record.get("first_argument")),
            ("6 argument line", record.get("argument_line")),
            ("7 payload offset", "%s  (the archive starts at %d, plus its 32-byte start header)"
             % (record.get("payload_offset"), archive_start)),
            ("8 payload size", record.get("payload_size")),
        ]
        self.say("The runtime's VorlaneInit received:")
        for name, value in rows:
            self.say("  %-18s %s" % (name, value))
        self.check(not wrong, "all eight are what they should be", "wrong arguments: " + "; ".join(wrong))
        self.check(intact, "reading %s bytes at that offset of its own .exe, the runtime found CRC-32 %s,\n"
                   "     the packed payload's: it is intact, read in place" % (record.get("payload_size"),
                                                                            record.get("payload_crc")),
                   "the payload read in place has CRC-32 %s, the packed one %s"
                   % (record.get("payload_crc"), self.payload_crc))
        self.check(ended, "exit status 0 and no error box (the runtime itself returned 77: the launcher\n"
                   "     never passes that on)", "the run ended with %d and boxes %r" % (result.status, result.boxes))
        return record

    # -- the demo --

    def run(self):
        print("Vorlane launcher demo")
        print("=====================")
        for path in (self.launcher(), self.launcher("keep"), os.path.join(self.win64, "tests", LIBRARY),
                     os.path.join(self.native, "tools", "vorlane-pack")):
            if not os.path.exists(path):
                print("missing %s: run scripts/build.sh (or scripts/demo.sh) first" % path)
                return 1
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.app_dir = os.path.join(self.dir, "app")
        os.makedirs(self.app_dir)
        settings = fixtures.launcher_settings(self.win64)

        self.step("The pieces")
        rng = random.Random(2026)
        self.payload = os.path.join(self.app_dir, "sample-payload.bin")
        with open(self.payload, "wb") as f:
            f.write(b"Vorlane demo payload\n" + rng.randbytes(PAYLOAD_SIZE - 21))
        with open(self.payload, "rb") as f:
            self.payload_crc = "%08x" % (zlib.crc32(f.read()) & 0xFFFFFFFF)
        self.say("launcher         build/win64/VorlaneLauncher.exe, built with settings 4 = %s, 5 = %s, 6 = %s"
                 % tuple(repr(settings[i]) if settings[i] else "(left out)" for i in (4, 5, 6)))
        self.say("runtime library  build/win64/tests/%s, a stand-in for the real runtime: it writes down\n"
                 "                 the eight arguments it receives and reads the payload where it lies" % LIBRARY)
        self.say("payload          a sample application of %s bytes, CRC-32 %s"
                 % ("{:,}".format(PAYLOAD_SIZE), self.payload_crc))

        self.step("Sign the runtime library")
        ca_dir = os.path.join(self.dir, "ca")
        root = fixtures.make_root(ca_dir, "Vorlane Demo Root")
        chain = fixtures.make_leaf(os.path.join(ca_dir, "signer"), root, fixtures.PUBLISHER, 100)
        self.root_pem = chain["root"]
        self.signed = signed = os.path.join(self.app_dir, LIBRARY)
        harness.sign_image(os.path.join(self.win64, "tests", LIBRARY), signed, chain)
        self.say('A demo certificate authority "Vorlane Demo Root" issued a code-signing certificate to "%s";\n'
                 "osslsigncode signed the library with it. The launcher loads the library only when its\n"
                 'signature holds, chains to a trusted root and names exactly "%s" as signer.'
                 % (fixtures.PUBLISHER, fixtures.PUBLISHER))

        self.step("Pack the application")
        self.say("vorlane-pack runs the launcher's own checks on what it wrote before the file takes its\n"
                 "name (here with --trust-root, so the signature's chain is checked against the demo root).")
        main_app = self.packed("DemoApp.exe", self.launcher(), signed)
        keep_app = self.packed("DemoApp-keep.exe", self.launcher("keep"), signed)
        archive_start = fixtures.archive_start(main_app)
        self.say("build/demo/app/DemoApp.exe (%s bytes) is the launcher's image (%s bytes), then a 7z\n"
                 "archive with vorlane.bin stored as it is and %s compressed."
                 % ("{:,}".format(os.path.getsize(main_app)), "{:,}".format(archive_start), LIBRARY))
        self.say("DemoApp-keep.exe is the same, packed behind a launcher built with setting 6 left out,\n"
                 "so the cache stays in place for us to look at.")

        self.step("A Windows machine: a Wine prefix that trusts the demo root")
        self.say("(the first time, Wine needs about 15 s to make its template prefix)")
        self.h = DemoHarness(self.win64, self.native, self.dir)
        self.prefix = self.h.new_prefix(local_appdata=False)
        try:
            return self.on_machine(settings, main_app, keep_app, chain)
        finally:
            self.h.stop()

    def on_machine(self, settings, main_app, keep_app, chain):
        self.prefix.trust_root(chain["root"])
        self.appdata = self.prefix.default_local_appdata()
        user = os.path.basename(os.path.dirname(os.path.dirname(self.appdata)))
        self.appdata_windows = "C:\\users\\%s\\AppData\\Local" % user
        self.say("prefix %s; its local app data folder is %s"
                 % (os.path.relpath(self.prefix.path, ROOT), self.appdata_windows))
        self.check(not os.path.exists(self.cache_root()), "no runtime cache yet")

        self.step("First start")
        args = ["--open", "C:\\My Files\\report.txt"]
        result = self.start(keep_app, args)
        self.received(keep_app, result, "FALSE", "NO", args[0], '--open "C:\\My Files\\report.txt"', full=True)
        self.say("The cache folder after the first start:")
        self.show_cache()
        library = self.library()
        if self.check(os.path.exists(library), "the launcher installed %s there" % LIBRARY):
            self.check(same_file_content(library, self.signed),
                       "it is byte for byte the signed library that was packed")

        self.step("Second start")
        before = os.stat(library) if os.path.exists(library) else None
        time.sleep(1.1)  # so that a rewrite would show in the modification time
        result = self.start(keep_app, ["again"])
        self.received(keep_app, result, "FALSE", "NO", "again", "again")
        after = os.stat(library) if os.path.exists(library) else None
        same = before is not None and after is not None and \
            (before.st_ino, before.st_mtime_ns, before.st_size) == (after.st_ino, after.st_mtime_ns, after.st_size)
        self.check(same, "the library was already current (same CRC-32), so nothing was rewritten:\n"
                   "     same inode %s, same modification time %s"
                   % (after.st_ino if after else "?", time.strftime("%H:%M:%S", time.localtime(after.st_mtime))
                      if after else "?"),
                   "the library was touched on the second start")

        self.step('The shipped setting 6 = "Y": removal after the run')
        removes = settings[6] == "Y"
        calls = settings[4] != "" and settings[5] != ""
        if not removes:
            self.say("This build's setting 6 is %r, not \"Y\": its runs keep the cache." % settings[6])
        self.say("With the cache from the runs above still there, DemoApp.exe finds the library installed\n"
                 "and leaves it: a run removes only what it installed itself.")
        result = self.start(main_app, [])
        if calls:
            self.received(main_app, result, settings[4], settings[5], "", "")
        self.check(os.path.exists(library), "the cache is still there")
        self.say("Now as on a fresh machine: the cache emptied, DemoApp.exe started again.")
        shutil.rmtree(self.cache_root())
        result = self.start(main_app, ["x"])
        if calls:
            self.received(main_app, result, settings[4], settings[5], "x", "x")
        self.say("The cache folder after this run:")
        self.show_cache()
        if removes:
            self.check(not os.path.exists(self.cache_root()),
                       'it installed the library, ran the application, then removed "%s\\%s" and,\n'
                       '     since it had created it, "%s" too' % (RUNTIME_ROOT, RUNTIME_VERSION, RUNTIME_ROOT))
        else:
            self.check(os.path.exists(library), "the library stays, as this build asks")

        self.step("And a library altered after it was signed")
        tampered = os.path.join(self.app_dir, "tampered", LIBRARY)
        os.makedirs(os.path.dirname(tampered))
        shutil.copyfile(self.signed, tampered)
        fixtures.flip_text_byte(tampered)
        refusal = LIBRARY + " has an invalid signature (0x80096010)."
        self.say("One byte of the signed library's code is changed: its signature no longer matches its bytes.\n"
                 "First as a packager would pack it, checked:")
        before = sorted(os.listdir(self.app_dir))
        self.say("> vorlane-pack -q --runtime tampered/%s ... -o DemoApp-tampered.exe" % LIBRARY)
        bad_app, status, output = self.pack("DemoApp-tampered.exe", self.launcher(), tampered)
        self.say(output.rstrip(), indent=5)
        self.check(status == 3 and '"%s" (stage 14), exit code 5' % refusal in output,
                   "vorlane-pack refused it with exit status 3: the launcher would end with exit code 5",
                   "expected vorlane-pack to refuse with 3 and the invalid-signature verdict, got %d:\n%s"
                   % (status, output.rstrip()))
        after = sorted(os.listdir(self.app_dir))
        self.check(after == before, "nothing was written: build/demo/app holds what it held before",
                   "build/demo/app changed: %r, before %r" % (after, before))
        self.say("Then packed with --no-check, as a package made by someone else might be, and started:")
        self.say("> vorlane-pack -q --no-check --runtime tampered/%s ... -o DemoApp-tampered.exe" % LIBRARY)
        bad_app, status, output = self.pack("DemoApp-tampered.exe", self.launcher(), tampered, checked=False)
        self.say(output.rstrip(), indent=5)
        if not self.check(status == 0 and os.path.exists(bad_app) and "warning: --no-check" in output,
                          "written, with a warning that it was not checked",
                          "vorlane-pack --no-check ended with %d" % status):
            return 1
        result = self.start(bad_app, [])
        self.check(result.status == 5 and not result.timed_out and result.boxes == [("Error", refusal)],
                   "the launcher refused it at start, with exit status 5 and an error box naming the library\n"
                   "     and the reason",
                   "expected exit 5 and the invalid-signature box, got %d and %r" % (result.status, result.boxes))
        self.check(fixtures.read_record(bad_app) is None, "the altered library never ran")
        return 0


class DemoStopped(Exception):
    """A step the rest depends on failed; it was reported as it failed."""


class DemoHarness(harness.Harness):
    """The test harness with its prefixes and scratch files under build/demo/."""

    def __init__(self, win64, native, folder):
        super().__init__(win64, native, ROOT, keep=True)
        shutil.rmtree(self.runs, ignore_errors=True)
        self.runs = folder
        self.scratch = os.path.join(folder, "scratch")
        os.makedirs(self.scratch, exist_ok=True)

    def stop(self):
        """Stops the prefixes' Wine servers but keeps their files for a look."""
        for prefix in self._prefixes:
            if prefix._server:
                subprocess.run(["timeout", "60", harness.WINESERVER, "-k"], env=prefix.env(),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                subprocess.run(["timeout", "30", harness.WINESERVER, "-w"], env=prefix.env(),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                prefix._server = False
        self._prefixes = []


def same_file_content(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--win64", default=os.path.join(ROOT, "build", "win64"))
    parser.add_argument("--native", default=os.path.join(ROOT, "build", "native"))
    options = parser.parse_args()
    demo = Demo(options.win64, options.native)
    try:
        status = demo.run()
    except DemoStopped:
        status = 1
    print()
    if status == 0 and not demo.problems:
        print("All %d checks held. Everything the demo made is in build/demo/." % demo.checks)
        return 0
    if not demo.problems:
        return 1
    print("%d of %d checks did not hold:" % (len(demo.problems), demo.checks))
    for problem in demo.problems:
        print("  - " + problem)
    return 1


if __name__ == "__main__":
    sys.exit(main())
