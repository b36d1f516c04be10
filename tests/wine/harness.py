"""End-to-end harness: runs the cross-built launcher under Wine 8 without a display.

Python 3 standard library only. A test file builds a Harness from its command
line (--win64 <cross build> --native <native build> --source <repo>), makes
throwaway prefixes from a cached template, runs executables in them and checks
exit statuses and the error boxes they showed:

    h = Harness.from_args()
    with h:
        @h.case("bare launcher reports the missing archive")
        def _():
            prefix = h.new_prefix()
            result = prefix.run(h.launcher)
            h.expect_status(result, 1)
            h.expect_boxes(result, [("Error", "7z archive not found")])
    sys.exit(h.finish())

Error boxes are captured from a relay trace of user32.MessageBoxW: with no X
display Wine's MessageBoxW returns at once, so a run never blocks on a box.
The trace, the template prefix and trusting a root are tools/vorlane-run's,
the packager's tool for the same job: the tests use it, so it stays right.

Started on Windows (or with VORLANE_E2E=windows), the same cases run the .exe
directly: a "prefix" is a scratch folder standing for the per-user local
application data folder, boxes come from tests/wine/box_watch.c, and trusting
a root takes the machine's root store. docs/windows-e2e.md says what differs.
"""
import argparse
import atexit
import hashlib
import importlib.machinery
import importlib.util
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
# Run the .exe directly instead of under Wine.
ON_WINDOWS = os.name == "nt" or os.environ.get("VORLANE_E2E") == "windows"
if not ON_WINDOWS:
    import fcntl


def _load_run_tool():
    path = os.path.join(HERE, "..", "..", "tools", "vorlane-run")
    loader = importlib.machinery.SourceFileLoader("vorlane_run", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("vorlane_run", loader))
    loader.exec_module(module)
    return module


def _parse_watched_boxes(stderr_text):
    """box_watch's `box "CAPTION": TEXT` lines."""
    boxes = []
    for line in stderr_text.splitlines():
        if line.startswith('box "') and '": ' in line:
            caption, text = line[5:].split('": ', 1)
            boxes.append((caption, text.replace("\\n", "\n")))
    return boxes


if ON_WINDOWS:
    vorlane_run = WINE = WINESERVER = decode_wine_string = None
    parse_message_boxes = _parse_watched_boxes

    def wine_path(path):
        return os.path.abspath(path)
else:
    vorlane_run = _load_run_tool()
    WINE = vorlane_run.WINE
    WINESERVER = vorlane_run.WINESERVER
    decode_wine_string = vorlane_run.decode_wine_string
    parse_message_boxes = vorlane_run.parse_message_boxes
    wine_path = vorlane_run.wine_path
MINGW_CC = "x86_64-w64-mingw32-gcc"
MINGW_CXX = "x86_64-w64-mingw32-g++-posix"
MINGW_WINDRES = "x86_64-w64-mingw32-windres"

DEFAULT_TIMEOUT = 60


# ---- exit statuses ---------------------------------------------------------------

def wine_status(code):
    """The Linux exit status Wine reports for a Windows exit code: the low 8 bits,
    except that a non-zero code whose low byte is 0 becomes 1."""
    code &= 0xFFFFFFFF
    low = code & 0xFF
    return low if low != 0 or code == 0 else 1


# ---- results -----------------------------------------------------------------------

class RunResult:
    def __init__(self, status, boxes, stdout, stderr, timed_out, elapsed):
        self.status = status          # Linux exit status (low 8 bits of the Windows code)
        self.boxes = boxes            # [(caption, text), ...]
        self.stdout = stdout
        self.stderr = stderr
        self.timed_out = timed_out
        self.elapsed = elapsed

    def __repr__(self):
        return "RunResult(status=%r, boxes=%r, timed_out=%r)" % (self.status, self.boxes, self.timed_out)


class Process:
    """A started Wine process; wait() gives its RunResult.

    Output goes to files, not pipes: Wine's service processes inherit the
    handles and outlive the run under a persistent server, so a pipe would
    never reach its end."""

    def __init__(self, popen, timeout, started, out, err):
        self._popen = popen
        self._timeout = timeout
        self._started = started
        self._out = out
        self._err = err
        self._result = None

    def wait(self):
        if self._result is not None:
            return self._result
        timed_out = False
        try:
            self._popen.wait(timeout=self._timeout + (0 if ON_WINDOWS else 20))
        except subprocess.TimeoutExpired:
            # `timeout` should have ended it; take the whole group down.
            _kill_group(self._popen.pid)
            self._popen.wait()
            timed_out = True
        status = self._popen.returncode
        if ON_WINDOWS:
            status = wine_status(status)  # the cases compare statuses as Wine reports them
        elif status in (124, 137) and time.monotonic() - self._started >= self._timeout:
            timed_out = True
        texts = []
        for f in (self._out, self._err):
            f.seek(0)
            texts.append(f.read().decode("utf-8", "replace"))
            f.close()
        self._result = RunResult(status, parse_message_boxes(texts[1]), texts[0], texts[1], timed_out,
                                 time.monotonic() - self._started)
        return self._result

    def kill(self):
        """Kills the Wine process running the executable (SIGKILL: no clean-up
        of any kind) and waits until it is reaped, which also closes its server
        connection; True when it was still running. Not the process group: a
        desktop process Wine starts for a run joins it and serves later runs.
        On Windows: TerminateProcess of the program and its box watcher."""
        if ON_WINDOWS:
            running = self._popen.poll() is None
            _kill_group(self._popen.pid)
            self.wait()
            return running
        while self._popen.poll() is None:
            children = _children(self._popen.pid)
            if children:
                for pid in children:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                break
            time.sleep(0.001)  # `timeout` has not started Wine yet
        # `timeout` reaps its child, then ends with the child's signal.
        return self.wait().status == -signal.SIGKILL


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def _kill_group(pid):
    if ON_WINDOWS:
        subprocess.run(["taskkill", "/F", "/T", "/PID", str(pid)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


# ---- prefixes ------------------------------------------------------------------------

_base_env = vorlane_run.base_env


class Prefix:
    """A throwaway Wine prefix copied from the template, with its own persistent server."""

    def __init__(self, harness, path):
        self.harness = harness
        self.path = path
        self.home = os.path.join(path, "unix-home")
        os.makedirs(self.home, exist_ok=True)
        self.appdata = None   # the redirected local app data folder, when new_prefix set one
        self._server = False
        self.closed = False

    def env(self, debug="-all"):
        env = _base_env()
        env["WINEPREFIX"] = self.path
        env["HOME"] = self.home
        env["WINEDEBUG"] = debug
        return env

    def start_server(self):
        if not self._server:
            # Its output must not hold the caller's pipes open (CTest waits on them).
            subprocess.run(["timeout", "60", WINESERVER, "-p"], env=self.env(), check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self._server = True

    def start(self, exe, args=(), cwd=None, timeout=DEFAULT_TIMEOUT, relay=True, env=None):
        """Starts exe (a Linux path) with arguments; returns a Process."""
        self.start_server()
        run_env = self.env("-all,+relay" if relay else "-all")
        if env:
            run_env.update(env)
        command = ["timeout", "-k", "5", str(timeout), WINE, exe] + [str(a) for a in args]
        out = tempfile.TemporaryFile(dir=self.harness.scratch)
        err = tempfile.TemporaryFile(dir=self.harness.scratch)
        popen = subprocess.Popen(command, cwd=cwd or self.harness.scratch, env=run_env,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err, start_new_session=True)
        return Process(popen, timeout, time.monotonic(), out, err)

    def run(self, exe, args=(), cwd=None, timeout=DEFAULT_TIMEOUT, relay=True, env=None):
        """Runs exe to its end: RunResult with the exit status and the error boxes shown."""
        return self.start(exe, args, cwd, timeout, relay, env).wait()

    def run_many(self, runs, timeout=DEFAULT_TIMEOUT):
        """Starts every (exe, args, cwd) at once, then waits for all: [RunResult, ...] in order."""
        processes = [self.start(exe, args, cwd, timeout) for exe, args, cwd in runs]
        return [p.wait() for p in processes]

    def wine_tool(self, *args, timeout=DEFAULT_TIMEOUT):
        """Runs a Wine built-in program (reg, cmd, ...) quietly: a RunResult."""
        return self.run(args[0], args[1:], timeout=timeout, relay=False)

    def reg_add(self, key, name, kind, data):
        done = self.wine_tool("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
        if done.status != 0:
            raise RuntimeError("reg add %s %s failed: %s" % (key, name, done.stderr[-2000:]))

    def set_local_appdata(self, linux_dir):
        """Points the per-user local application data folder at linux_dir (created if missing)."""
        os.makedirs(linux_dir, exist_ok=True)
        self.reg_add(r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders",
                     "Local AppData", "REG_EXPAND_SZ", wine_path(linux_dir))

    def default_local_appdata(self):
        """The Linux folder behind the prefix's own local application data folder."""
        users = os.path.join(self.path, "drive_c", "users")
        for name in sorted(os.listdir(users)):
            candidate = os.path.join(users, name, "AppData", "Local")
            if name != "Public" and os.path.isdir(candidate):
                return candidate
        raise RuntimeError("no user folder in " + users)

    def trust_root(self, certificate):
        """Adds a root certificate (PEM or DER file) to the prefix's trusted roots."""
        self.start_server()
        vorlane_run.trust_root(self.env(), self.harness.run_helper, certificate, self.harness.scratch)

    def close(self):
        if self.closed:
            return
        self.closed = True
        if self._server:
            subprocess.run(["timeout", "60", WINESERVER, "-k"], env=self.env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # -k returns before the server is gone; wait so the folder can go.
            subprocess.run(["timeout", "30", WINESERVER, "-w"], env=self.env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)


class WindowsPrefix(Prefix):
    """On Windows: a scratch folder, no server. The launcher asks the shell for
    the per-user local application data folder, which follows the user's
    "Local AppData" shell folder value: each start points it at this prefix's
    folder, and the harness sets it back at its end."""

    def start_server(self):
        pass

    def start(self, exe, args=(), cwd=None, timeout=DEFAULT_TIMEOUT, relay=True, env=None):
        _point_local_appdata(self.appdata)
        run_env = dict(os.environ)
        run_env.update(env or {})
        # "relay" asks for the boxes: the watcher reports and dismisses them.
        command = ([self.harness.helper("box_watch")] if relay else []) + [exe] + [str(a) for a in args]
        out = tempfile.TemporaryFile(dir=self.harness.scratch)
        err = tempfile.TemporaryFile(dir=self.harness.scratch)
        popen = subprocess.Popen(command, cwd=cwd or self.harness.scratch, env=run_env, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=err, creationflags=subprocess.CREATE_NEW_PROCESS_GROUP)
        return Process(popen, timeout, time.monotonic(), out, err)

    def set_local_appdata(self, folder):
        os.makedirs(folder, exist_ok=True)
        self.appdata = folder

    def default_local_appdata(self):
        return self.appdata

    def trust_root(self, certificate):
        # The machine store: adding to the user's asks for a click. Needs an elevated prompt.
        done = subprocess.run(["certutil", "-f", "-addstore", "Root", certificate],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            raise RuntimeError("cannot trust %s: certutil -addstore Root needs an elevated prompt: %s"
                               % (certificate, done.stdout.decode("utf-8", "replace")[-500:]))
        _trusted_roots.add(_thumbprint(certificate))

    def close(self):
        if not self.closed:
            self.closed = True
            shutil.rmtree(self.path, ignore_errors=True)


_SHELL_FOLDERS = r"Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
_saved_local_appdata = []  # the user's own value, set back at the end
_trusted_roots = set()     # thumbprints the harness added, taken out at the end


def _point_local_appdata(folder):
    import winreg
    with winreg.OpenKey(winreg.HKEY_CURRENT_USER, _SHELL_FOLDERS, 0,
                        winreg.KEY_QUERY_VALUE | winreg.KEY_SET_VALUE) as key:
        if not _saved_local_appdata:
            _saved_local_appdata.append(winreg.QueryValueEx(key, "Local AppData"))
        winreg.SetValueEx(key, "Local AppData", 0, winreg.REG_EXPAND_SZ, folder)


def _restore_windows_state():
    if _saved_local_appdata:
        import winreg
        value, kind = _saved_local_appdata.pop()
        with winreg.OpenKey(winreg.HKEY_CURRENT_USER, _SHELL_FOLDERS, 0, winreg.KEY_SET_VALUE) as key:
            winreg.SetValueEx(key, "Local AppData", 0, kind, value)
    while _trusted_roots:
        subprocess.run(["certutil", "-delstore", "Root", _trusted_roots.pop()],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def _thumbprint(certificate):
    with open(certificate, "rb") as f:
        data = f.read()
    if b"-----BEGIN CERTIFICATE-----" in data:
        import base64
        body = data.split(b"-----BEGIN CERTIFICATE-----", 1)[1].split(b"-----END CERTIFICATE-----", 1)[0]
        data = base64.b64decode(b"".join(body.split()))
    return hashlib.sha1(data).hexdigest()


# ---- the harness -----------------------------------------------------------------------

class Harness:
    def __init__(self, win64, native, source, keep=False):
        self.win64 = os.path.abspath(win64)
        self.native = os.path.abspath(native) if native else None
        self.source = os.path.abspath(source)
        self.keep = keep
        self.launcher = os.path.join(self.win64, "VorlaneLauncher.exe")
        self.run_helper = os.path.join(self.win64, "tools", "vorlane-run-helper.exe")
        self.cache = os.path.join(self.source, "build", "wine-template")
        runs = os.path.join(self.source, "build", "wine-runs")
        os.makedirs(runs, exist_ok=True)
        # Prefix copies share inodes with the template: keep them on its file system.
        self.runs = tempfile.mkdtemp(prefix="run-", dir=runs)
        self.scratch = os.path.join(self.runs, "scratch")
        os.makedirs(self.scratch)
        self._prefixes = []
        self._count = 0
        self.passed = 0
        self.failed = 0
        self._failures = None
        atexit.register(self.close)

    @classmethod
    def from_args(cls, argv=None):
        parser = argparse.ArgumentParser()
        parser.add_argument("--win64", required=True, help="the cross build folder")
        parser.add_argument("--native", default=None, help="the native build folder")
        parser.add_argument("--source", default=os.path.dirname(os.path.dirname(HERE)), help="the repository")
        parser.add_argument("--keep", action="store_true", help="keep prefixes and scratch files")
        args = parser.parse_args(argv)
        return cls(args.win64, args.native, args.source, args.keep)

    def missing_builds(self, *paths):
        """Reports build outputs a test file needs that are not there (the launcher
        always); True when something is missing, after printing the failed summary."""
        missing = [p for p in (self.launcher, self.run_helper) + paths if not os.path.exists(p)]
        if missing:
            print("missing %s: build the win64 tree first" % ", ".join(missing))
            print("0 passed, 1 failed")
        return bool(missing)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # -- template and prefixes --

    def template(self):
        """The template prefix, created once and kept across runs; its path."""
        return vorlane_run.make_template(self.cache)

    def new_prefix(self, local_appdata=True):
        """A fresh prefix copied from the template. With local_appdata, its local
        application data folder is redirected to an empty scratch folder (prefix.appdata)."""
        self._count += 1
        path = os.path.join(self.runs, "prefix-%d" % self._count)
        if ON_WINDOWS:
            os.makedirs(path)
            prefix = WindowsPrefix(self, path)
            self._prefixes.append(prefix)
            # Its "own" folder is a fresh one too: the user's real one stays out of the cases.
            prefix.set_local_appdata(os.path.join(self.runs, "appdata-%d" % self._count) if local_appdata
                                     else os.path.join(path, "LocalAppData"))
            return prefix
        template = self.template()
        vorlane_run.copy_prefix(template, path)
        prefix = Prefix(self, path)
        self._prefixes.append(prefix)
        if local_appdata:
            prefix.appdata = os.path.join(self.runs, "appdata-%d" % self._count)
            prefix.set_local_appdata(prefix.appdata)
        return prefix

    def scratch_dir(self, name):
        path = os.path.join(self.scratch, name)
        os.makedirs(path, exist_ok=True)
        return path

    def cmake_setting(self, name):
        """A cached setting of the cross build (its CMakeCache.txt); None when unset."""
        try:
            with open(os.path.join(self.win64, "CMakeCache.txt"), encoding="utf-8") as cache:
                for line in cache:
                    key, _, value = line.rstrip("\n").partition("=")
                    if key.split(":", 1)[0] == name:
                        return value
        except OSError:
            pass
        return None

    # -- helper executables --

    def helper(self, name):
        """tests/wine/<name>.c, a plain Win32 helper, built with mingw into the
        template cache (rebuilt when its source is newer)."""
        source = os.path.join(HERE, name + ".c")
        out_dir = os.path.join(self.cache, "helpers")
        os.makedirs(out_dir, exist_ok=True)
        exe = os.path.join(out_dir, name + ".exe")
        if ON_WINDOWS and os.path.exists(exe):
            return exe  # built by the job that cross-built the launcher
        if ON_WINDOWS:
            subprocess.run(["gcc", "-municode", "-O2", "-s", "-Wall", "-o", exe, source, "-lcrypt32"], check=True)
            return exe
        with open(os.path.join(self.cache, ".helper-lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(source):
                tmp = exe + ".tmp.exe"
                subprocess.run([MINGW_CC, "-municode", "-O2", "-s", "-Wall", "-o", tmp, source, "-lcrypt32"],
                               check=True)
                os.replace(tmp, exe)
        return exe

    def platform_helper(self, name, libraries=(), system_libraries=()):
        """tests/wine/<name>.cpp (and <name>.rc when present) linked with the cross
        build's platform library, after the build's other static libraries named
        in libraries and the system's named in system_libraries: a console exe in
        this run's scratch folder. It sees the repository's headers and the LZMA
        SDK's the build used."""
        linked = [os.path.join(self.win64, lib) for lib in list(libraries) + ["libvorlane_platform.a"]]
        for library in linked:
            if not os.path.exists(library):
                raise RuntimeError("missing " + library + ": build the win64 tree first")
        includes = ["-I", self.source]
        sdk = self.cmake_setting("LZMA_SDK_DIR")
        if sdk:
            includes += ["-isystem", os.path.join(sdk, "C")]
        out_dir = self.scratch_dir("helpers")
        objects = []
        resource = os.path.join(HERE, name + ".rc")
        if os.path.exists(resource):
            objects.append(os.path.join(out_dir, name + ".res.o"))
            subprocess.run([MINGW_WINDRES, resource, "-O", "coff", "-o", objects[-1]], check=True)
        exe = os.path.join(out_dir, name + ".exe")
        subprocess.run([MINGW_CXX, "-municode", "-std=c++17", "-O1", "-Wall"] + includes + ["-o", exe,
                        os.path.join(HERE, name + ".cpp")] + objects +
                       linked + ["-l" + lib for lib in system_libraries] +
                       ["-static", "-lshell32", "-luser32", "-lcomctl32"],
                       check=True)
        return exe

    # -- cases and checks --

    def case(self, name):
        """Decorator: runs the function at once as one test case; any failed
        expectation or exception fails the case."""
        def run(fn):
            self._failures = []
            try:
                fn()
            except Exception:  # a broken case must not stop the others
                self._failures.append("exception:\n" + traceback.format_exc())
            failures, self._failures = self._failures, None
            if failures:
                self.failed += 1
                print("FAIL  %s" % name)
                for failure in failures:
                    print("      " + failure.replace("\n", "\n      "))
            else:
                self.passed += 1
                print("ok    %s" % name)
            sys.stdout.flush()
            return fn
        return run

    def expect(self, condition, message):
        if not condition:
            if self._failures is None:
                raise AssertionError(message)
            self._failures.append(message)
        return bool(condition)

    def expect_equal(self, actual, expected, what):
        return self.expect(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))

    def expect_status(self, result, windows_code, what="exit status"):
        """The run ended by itself with the given Windows exit code (as Wine reports it)."""
        if not self.expect(not result.timed_out, "%s: the run timed out" % what):
            return False
        return self.expect_equal(result.status, wine_status(windows_code), what)

    def expect_boxes(self, result, boxes, what="error boxes"):
        """Exactly these (caption, text) boxes were shown, in this order."""
        return self.expect_equal(result.boxes, list(boxes), what)

    def finish(self):
        """Prints the summary line; returns the process exit status."""
        self.close()
        print("%d passed, %d failed" % (self.passed, self.failed))
        sys.stdout.flush()
        return 0 if self.failed == 0 and self.passed > 0 else 1

    def close(self):
        for prefix in self._prefixes:
            prefix.close()
        self._prefixes = []
        if ON_WINDOWS:
            _restore_windows_state()
        if not self.keep and os.path.isdir(self.runs):
            shutil.rmtree(self.runs, ignore_errors=True)


# ---- code signing ------------------------------------------------------------------------

def make_signing_chain(folder, signer="Vorlane", root_name="Vorlane Test Root"):
    """A root and a code-signing leaf for signer, made with openssl in folder.
    Both are signed with SHA-1 and the whole chain is embedded when signing:
    Wine 8 accepts any root otherwise. Returns {"root", "leaf", "key", "chain"} paths."""
    os.makedirs(folder, exist_ok=True)
    p = {name: os.path.join(folder, name) for name in
         ("root.pem", "root.key", "leaf.csr", "leaf.pem", "leaf.key", "chain.pem", "leaf.ext")}
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha1", "-days", "30",
                    "-keyout", p["root.key"], "-out", p["root.pem"], "-subj", "/CN=" + root_name], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", p["leaf.key"],
                    "-out", p["leaf.csr"], "-subj", "/CN=" + signer], **quiet)
    with open(p["leaf.ext"], "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n")
    subprocess.run(["openssl", "x509", "-req", "-sha1", "-days", "30", "-in", p["leaf.csr"], "-CA", p["root.pem"],
                    "-CAkey", p["root.key"], "-set_serial", "2", "-out", p["leaf.pem"], "-extfile", p["leaf.ext"]],
                   **quiet)
    with open(p["chain.pem"], "wb") as out:
        for name in ("leaf.pem", "root.pem"):
            with open(p[name], "rb") as f:
                out.write(f.read())
    return {"root": p["root.pem"], "leaf": p["leaf.pem"], "key": p["leaf.key"], "chain": p["chain.pem"]}


def sign_image(source, target, chain):
    """Signs a PE copy of source into target with a chain from make_signing_chain."""
    subprocess.run(["osslsigncode", "sign", "-certs", chain["chain"], "-key", chain["key"], "-h", "sha256",
                    "-in", source, "-out", target], check=True, stdout=subprocess.DEVNULL)


# ---- PE images ---------------------------------------------------------------------------

RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24


class PeImage:
    """The parts of a PE image the tests look at: headers, sections, imports, resources."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        plus = self.magic == 0x20B
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.dll_characteristics = struct.unpack_from("<H", data, opt + 70)[0]
        dirs = opt + (112 if plus else 96)
        count = struct.unpack_from("<I", data, dirs - 4)[0]
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"), vaddr, vsize, raddr, rsize))

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def offset(self, rva):
        for _, vaddr, vsize, raddr, rsize in self.sections:
            if vaddr <= rva < vaddr + max(vsize, rsize):
                return rva - vaddr + raddr
        raise ValueError("rva %#x outside every section" % rva)

    def raw_end(self):
        """End of the raw data of the section that starts last in the file."""
        last = max(self.sections, key=lambda s: s[3])
        return last[3] + last[4]

    def imports(self):
        """{DLL name: [function names]} of the import table (ordinals as "#n")."""
        rva = self.directories[1][0] if len(self.directories) > 1 else 0
        table = {}
        if rva == 0:
            return table
        at = self.offset(rva)
        wide = self.magic == 0x20B
        step, ordinal_flag = (8, 1 << 63) if wide else (4, 1 << 31)
        while True:
            lookup, _, _, name_rva, address = struct.unpack_from("<IIIII", self.data, at)
            if (lookup, name_rva, address) == (0, 0, 0):
                break
            start = self.offset(name_rva)
            dll = self.data[start:self.data.index(b"\0", start)].decode("ascii")
            functions = []
            thunk = self.offset(lookup or address)
            while True:
                value = int.from_bytes(self.data[thunk:thunk + step], "little")
                if value == 0:
                    break
                if value & ordinal_flag:
                    functions.append("#%d" % (value & 0xFFFF))
                else:
                    name_at = self.offset(value & 0x7FFFFFFF) + 2
                    functions.append(self.data[name_at:self.data.index(b"\0", name_at)].decode("ascii"))
                thunk += step
            table[dll] = functions
            at += 20
        return table

    def resources(self):
        """{type: {name: {language: bytes}}}; ids are ints, names are strings."""
        rva, _ = self.directories[2] if len(self.directories) > 2 else (0, 0)
        if rva == 0:
            return {}
        base = self.offset(rva)

        def key(raw):
            if raw & 0x80000000:
                at = base + (raw & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return raw

        def level(at, depth):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            out = {}
            for i in range(named + ids):
                raw_name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if target & 0x80000000:
                    out[key(raw_name)] = level(base + (target & 0x7FFFFFFF), depth + 1)
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    out[key(raw_name)] = self.data[start:start + size]
            return out

        return level(base, 0)

    def strings(self):
        """The string table: {id: text} of every non-empty string (first language)."""
        table = {}
        for block, langs in self.resources().get(RT_STRING, {}).items():
            data = next(iter(langs.values()))
            at = 0
            for index in range(16):
                length = struct.unpack_from("<H", data, at)[0]
                text = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                at += 2 + 2 * length
                if length:
                    table[(block - 1) * 16 + index] = text
        return table

    def version_strings(self):
        """The StringFileInfo values of the version block: {name: value}."""
        versions = self.resources().get(RT_VERSION, {})
        if not versions:
            return {}
        data = next(iter(next(iter(versions.values())).values()))
        values = {}
        text = data.decode("utf-16-le", "replace")
        # Each value is "<name>\0<padding>\0*<value>\0"; a loose scan is enough for checks.
        for name in ("CompanyName", "FileDescription", "FileVersion", "ProductName", "ProductVersion",
                     "OriginalFilename"):
            at = text.find(name + "\0")
            if at >= 0:
                rest = text[at + len(name):].lstrip("\0")
                values[name] = rest.split("\0", 1)[0]
        return values
