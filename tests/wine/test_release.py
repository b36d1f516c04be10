"""The release bundles (scripts/release.sh, which scripts/test.sh runs first):
both archives hold what packagers need, with fixed owners, modes, times and
order, and come out byte-identical from the same files, SHA256SUMS beside
them; each bundle's README is the packagers' own, names only what the bundle
holds, and its first pack works as written; the launcher is
stripped, names no build folder, has no link timestamp and is byte-identical
to a second build elsewhere; the Linux tools run from a clean folder with no
PATH and no shared library; the Windows tools run under Wine and pack the
same bytes as the Linux ones."""
import ast
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

LINUX_PROGRAMS = {"vorlane-pack", "vorlane-inspect", "vorlane-run"}
# What each bundle must hold, beside the docs.
BOTH = {"VorlaneLauncher.exe", "VorlanePackage.cmake", "README.md", "docs/packaging.md"}
LINUX_FILES = BOTH | {"vorlane-run-helper.exe"} | LINUX_PROGRAMS
WINDOWS_FILES = BOTH | {"vorlane-pack.exe", "vorlane-inspect.exe"}
# The sections of the bundle's README the guide refers to.
README_SECTIONS = ("## The runtime's init export", "## Exit codes", "## Security: the signature check's messages")
PT_INTERP = 3


def project_version(source):
    with open(os.path.join(source, "CMakeLists.txt")) as f:
        return re.search(r"^project\(Vorlane VERSION ([0-9.]+)", f.read(), re.M).group(1)


def elf_interpreter(path):
    """The program interpreter an ELF executable names (None for a static one)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF" and data[4] == 2, path + " is not a 64-bit ELF file"
    phoff = int.from_bytes(data[32:40], "little")
    size, count = int.from_bytes(data[54:56], "little"), int.from_bytes(data[56:58], "little")
    for i in range(count):
        at = phoff + i * size
        if int.from_bytes(data[at:at + 4], "little") == PT_INTERP:
            offset = int.from_bytes(data[at + 8:at + 16], "little")
            length = int.from_bytes(data[at + 32:at + 40], "little")
            return data[offset:offset + length].rstrip(b"\0").decode()
    return None


def files_under(folder):
    """{relative path: bytes} of every file under folder."""
    found = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def clean_run(args, cwd):
    """A program run with an empty environment but for a PATH that leads nowhere."""
    return subprocess.run(args, cwd=cwd, env={"PATH": "/nonexistent"}, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)


def main():
    h = harness.Harness.from_args()
    version = project_version(h.source)
    release = os.path.join(h.source, "build", "release")
    linux_name = "vorlane-%s-linux-x64" % version
    windows_name = "vorlane-%s-windows-x64" % version
    linux, windows = os.path.join(release, linux_name), os.path.join(release, windows_name)
    tarball, zipped = linux + ".tar.gz", windows + ".zip"
    missing = [p for p in (linux, windows, tarball, zipped) if not os.path.exists(p)]
    if missing:
        print("missing %s: run scripts/release.sh first" % ", ".join(missing))
        print("0 passed, 1 failed")
        return 1

    with h:
        fx = fixtures.Fixtures(h)
        packed = {}

        @h.case("both archives hold their bundle exactly: fixed owners, modes and time, names in byte order")
        def _():
            with tarfile.open(tarball) as tar:
                members = tar.getmembers()
                names = [m.name for m in members]
                h.expect_equal(names, sorted(names), "tar: order")
                h.expect_equal({(m.uid, m.gid, m.uname, m.gname) for m in members}, {(0, 0, "", "")}, "tar: owners")
                h.expect_equal(len({m.mtime for m in members}), 1, "tar: one time for every file")
                for m in members:
                    relative = m.name.split("/", 1)[1] if "/" in m.name else ""
                    mode = 0o755 if m.isdir() or relative in LINUX_PROGRAMS else 0o644
                    h.expect_equal(m.mode, mode, "tar: mode of " + m.name)
                inside = {m.name.split("/", 1)[1]: tar.extractfile(m).read() for m in members if m.isfile()}
            h.expect(all(n.startswith(linux_name + "/") or n == linux_name for n in names), "tar: top folder")
            h.expect(LINUX_FILES <= set(inside), "tar: missing %s" % sorted(LINUX_FILES - set(inside)))
            h.expect(inside == files_under(linux), "tar: differs from " + linux)

            with zipfile.ZipFile(zipped) as z:
                infos = z.infolist()
                names = [i.filename for i in infos]
                h.expect_equal(names, sorted(names), "zip: order")
                h.expect_equal({i.extra for i in infos}, {b""}, "zip: extra fields (owners, local times)")
                h.expect_equal(len({i.date_time for i in infos}), 1, "zip: one time for every file")
                inside = {i.filename.split("/", 1)[1]: z.read(i) for i in infos}
            h.expect(all(n.startswith(windows_name + "/") for n in names), "zip: top folder")
            h.expect(WINDOWS_FILES <= set(inside), "zip: missing %s" % sorted(WINDOWS_FILES - set(inside)))
            h.expect(inside == files_under(windows), "zip: differs from " + windows)
            h.expect(not [n for n in inside if not n.endswith((".exe", ".md", ".yml", ".txt", ".cmake"))],
                     "zip: a file that is neither a Windows program, a document nor the CMake module: %r"
                     % sorted(inside))

        @h.case("SHA256SUMS beside the archives: both, in sha256sum's format, and they check")
        def _():
            sums = os.path.join(release, "SHA256SUMS")
            h.expect(os.path.exists(sums), "no " + sums)
            if not os.path.exists(sums):
                return
            listed = [line.split("  ", 1)[1] for line in open(sums).read().splitlines()]
            h.expect_equal(listed, [linux_name + ".tar.gz", windows_name + ".zip"], "names in SHA256SUMS")
            done = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=release, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            h.expect_equal(done.returncode, 0, "sha256sum -c: " + done.stdout.decode())

        @h.case("each bundle's README is for packagers: the first pack, the CMake module, the guide and the "
                "sections the guide refers to; it names nothing the bundle lacks")
        def _():
            for bundle, platform in ((linux, "Linux x64"), (windows, "Windows x64")):
                text = open(os.path.join(bundle, "README.md"), encoding="utf-8").read()
                h.expect(text.startswith("# Vorlane %s for packagers: %s\n" % (version, platform)),
                         bundle + ": " + text[:80])
                for needed in ("## The first pack in five commands", "VorlanePackage.cmake",
                               "(docs/packaging.md)") + README_SECTIONS:
                    h.expect(needed in text, "%s: README lacks %r" % (bundle, needed))
                for foreign in ("scripts/", "architecture.md", "base/", "build/", "tests/", "@VERSION@"):
                    h.expect(foreign not in text, "%s: README names %r" % (bundle, foreign))
                # Every file the README points at in docs/ is in the bundle.
                for name in set(re.findall(r"\bdocs[/\\][\w./\\-]*\w", text)):
                    h.expect(os.path.exists(os.path.join(bundle, name.replace("\\", "/"))),
                             "%s: README names %s" % (bundle, name))
                # The first pack: five commands, a continued line counted once.
                block = re.search(r"## The first pack in five commands\n.*?```\w+\n(.*?)```", text, re.S).group(1)
                commands = [line for line in block.replace("\\\n", " ").replace("`\n", " ").splitlines()
                            if line.strip()]
                h.expect_equal(len(commands), 5, bundle + ": the first pack's commands")
            guide = open(os.path.join(linux, "docs", "packaging.md"), encoding="utf-8").read()
            for section in re.findall(r'README\.md, "([^"]+)"', guide):
                h.expect(any(s.startswith("## " + section) for s in README_SECTIONS),
                         "the guide refers to a README section no bundle README holds: " + section)

        @h.case("the Linux README's first pack, run as written: packed, inspected and started under Wine")
        def _():
            text = open(os.path.join(linux, "README.md"), encoding="utf-8").read()
            block = re.search(r"## The first pack in five commands\n.*?```sh\n(.*?)```", text, re.S).group(1)
            block = block.replace("/opt/" + linux_name, linux)
            work = h.scratch_dir("first-pack")
            chain = fx.chain()
            for source, name in ((fx.payload(1 << 20, 9), "app.bin"),
                                 (os.path.join(h.win64, "tests", "VorlaneStub.dll"), "VorlaneStub.dll"),
                                 (chain["chain"], "chain.pem"), (chain["key"], "signer.key"),
                                 (chain["root"], "root.pem")):
                shutil.copyfile(source, os.path.join(work, name))
            env = dict(os.environ, VORLANE_RUN_CACHE=h.cache)
            done = subprocess.run(["bash", "-euo", "pipefail", "-c", block], cwd=work, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
            output = done.stdout.decode("utf-8", "replace")
            h.expect(done.returncode == 0 and "\nverdict          ok\n" in output and "exit code 0" in output,
                     "the five commands: status %d\n%s" % (done.returncode, output[-3000:]))

        @h.case("the LZMA SDK's notice names the SDK the programs were built with and its Debian source")
        def _():
            sdk = h.cmake_setting("LZMA_SDK_DIR")
            with open(os.path.join(sdk, "C", "7zVersion.h")) as f:
                version = re.search(r'^#define MY_VERSION_NUMBERS "([0-9.]+)"', f.read(), re.M).group(1)
            with open(os.path.join(sdk, "debian", "changelog")) as f:
                source = re.match(r"7zip \(([^)]+)\)", f.readline()).group(1)
            heading = "LZMA SDK %s, from Debian's 7zip source package %s\n\n" % (version, source)
            for bundle in (linux, windows):
                with open(os.path.join(bundle, "docs", "third-party", "lzma-sdk.txt")) as f:
                    notice = f.read()
                h.expect(notice.startswith(heading), "%s: the notice begins %r" % (bundle, notice[:120]))

        @h.case("the archives again, from copies with other times and modes: the same bytes")
        def _():
            out = h.scratch_dir("archives")
            for name in (linux_name, windows_name):
                shutil.copytree(os.path.join(release, name), os.path.join(out, name))
                for base, _, files in os.walk(os.path.join(out, name)):
                    for i, file in enumerate(sorted(files)):
                        path = os.path.join(base, file)
                        os.chmod(path, 0o700 if i % 2 else 0o600)
                        os.utime(path, (1000000000 + i, 1000000000 + i * 7))
            # The time the release recorded: the checkout may have moved on since.
            with tarfile.open(tarball) as tar:
                epoch = str(tar.getmembers()[0].mtime)
            subprocess.run([os.path.join(h.source, "scripts", "release.sh"), "--archives", out], check=True,
                           stdout=subprocess.DEVNULL, env=dict(os.environ, SOURCE_DATE_EPOCH=epoch))
            for name in (linux_name + ".tar.gz", windows_name + ".zip", "SHA256SUMS"):
                again = open(os.path.join(out, name), "rb").read()
                h.expect(again == open(os.path.join(release, name), "rb").read(), name + ": other bytes")

        @h.case("the shipped launcher: no debug sections, symbols, build paths or link timestamp; "
                "the same in both bundles, and built again in another folder it is byte-identical")
        def _():
            data = open(os.path.join(linux, "VorlaneLauncher.exe"), "rb").read()
            h.expect(data == open(os.path.join(windows, "VorlaneLauncher.exe"), "rb").read(),
                     "the two bundles' launchers differ")
            pe = harness.PeImage(data)
            names = [s[0] for s in pe.sections]
            h.expect(not [n for n in names if n.startswith((".debug", "/"))], "debug sections: %r" % names)
            lfanew = int.from_bytes(data[60:64], "little")
            h.expect_equal((int.from_bytes(data[lfanew + 8:lfanew + 12], "little"),
                            int.from_bytes(data[lfanew + 12:lfanew + 16], "little")), (0, 0),
                           "link timestamp and symbol table")
            for path in (h.source, os.path.realpath(h.source), os.path.join(h.source, "build")):
                h.expect(path.encode() not in data, "the launcher names " + path)
            second = tempfile.mkdtemp(prefix="repro-", dir=os.path.join(h.source, "build"))
            try:
                quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, check=True)
                subprocess.run(["cmake", "-S", h.source, "-B", second, "-DCMAKE_BUILD_TYPE=Release",
                                "-DVORLANE_TESTS=OFF",
                                "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(h.source, "cmake", "mingw-w64.cmake")],
                               **quiet)
                subprocess.run(["cmake", "--build", second, "-j2", "--target", "VorlaneLauncher"], **quiet)
                again = open(os.path.join(second, "VorlaneLauncher.exe"), "rb").read()
                h.expect(again == data, "a second build differs (%d and %d bytes)" % (len(again), len(data)))
            finally:
                shutil.rmtree(second, ignore_errors=True)

        @h.case("the Linux tools, unpacked into a clean folder, run with no PATH and no shared library: "
                "they pack and check a package the launcher runs")
        def _():
            clean = h.scratch_dir("clean")
            with tarfile.open(tarball) as tar:
                tar.extractall(clean)
            bundle = os.path.join(clean, linux_name)
            for tool in ("vorlane-pack", "vorlane-inspect"):
                h.expect_equal(elf_interpreter(os.path.join(bundle, tool)), None, tool + ": program interpreter")
                done = clean_run(["./" + tool, "--version"], bundle)
                h.expect_equal((done.returncode, done.stdout.decode()), (0, "%s %s\n" % (tool, version)),
                               tool + " --version " + done.stderr.decode())
            work = h.scratch_dir("clean-work")
            runtime = os.path.join(work, "runtime.dll")
            shutil.copyfile(fx.runtime("good"), runtime)
            shutil.copyfile(fx.payload(1 << 20, 5), os.path.join(work, "app.bin"))
            # The publisher is the runtime's signer's name; the check runs in the tool itself.
            done = clean_run([os.path.join(bundle, "vorlane-pack"), "--payload", "app.bin", "--runtime", "runtime.dll",
                              "--setting4", "four", "-o", "App.exe", "-q"], work)
            h.expect_equal((done.returncode, done.stderr.decode()), (0, ""), "vorlane-pack from the bundle")
            exe = os.path.join(work, "App.exe")
            if not os.path.exists(exe):
                return
            packed["linux"] = open(exe, "rb").read()
            done = clean_run([os.path.join(bundle, "vorlane-inspect"), "App.exe"], work)
            # No root given: the chain is not checked, and the verdict says so.
            h.expect(done.returncode == 0 and
                     b"\nverdict          ok where the signature's chain is trusted (not checked)\n" in done.stdout,
                     "vorlane-inspect from the bundle:\n" + done.stdout.decode() + done.stderr.decode())
            result = fx.trusted_prefix().run(exe)
            h.expect_status(result, 0, "the package under Wine")
            record = fx.record(exe)
            h.expect(record is not None and record.get("payload_read") == "1",
                     "the runtime did not read its payload: %r" % record)

        @h.case("the Windows tools from the zip run under Wine and pack the same bytes as the Linux ones; "
                "their check asks the machine, which must trust the signer's root")
        def _():
            folder = h.scratch_dir("windows")
            with zipfile.ZipFile(zipped) as z:
                z.extractall(folder)
            bundle = os.path.join(folder, windows_name)
            prefix = fx.trusted_prefix()
            for tool in ("vorlane-pack", "vorlane-inspect"):
                result = prefix.run(os.path.join(bundle, tool + ".exe"), ["--version"], relay=False)
                h.expect_equal((result.status, result.stdout.replace("\r\n", "\n")), (0, "%s %s\n" % (tool, version)),
                               tool + ".exe --version")
            work = h.scratch_dir("windows-work")
            shutil.copyfile(fx.runtime("good"), os.path.join(work, "runtime.dll"))
            shutil.copyfile(fx.payload(1 << 20, 5), os.path.join(work, "app.bin"))
            args = ["--payload", "app.bin", "--runtime", "runtime.dll", "--setting4", "four", "-o", "App.exe", "-q"]
            result = prefix.run(os.path.join(bundle, "vorlane-pack.exe"), args, cwd=work, relay=False, timeout=120)
            h.expect_equal(result.status, 0, "vorlane-pack.exe: " + result.stdout + result.stderr)
            exe = os.path.join(work, "App.exe")
            if os.path.exists(exe) and "linux" in packed:
                h.expect(open(exe, "rb").read() == packed["linux"], "the Windows and Linux tools pack other bytes")
            os.remove(exe)
            result = h.new_prefix().run(os.path.join(bundle, "vorlane-pack.exe"), args, cwd=work, relay=False,
                                        timeout=120)
            h.expect(result.status == 3 and "0x800B0109" in result.stderr and not os.path.exists(exe),
                     "vorlane-pack.exe where the root is not trusted: status %d, %s" % (result.status, result.stderr))

        @h.case("signing with the bundle's tools: the same inputs give the same bytes twice")
        def _():
            outputs = []
            for attempt in ("a", "b"):
                folder = h.scratch_dir("sign-" + attempt)
                # Same contents, other names and times: nothing of that may show.
                payload = os.path.join(folder, "payload-%s.bin" % attempt)
                shutil.copyfile(fx.payload(1 << 20, 3), payload)
                os.utime(payload, (1000000 * (attempt == "a") + 5, 1000000 * (attempt == "a") + 5))
                out = os.path.join(folder, "App.exe")
                env = dict(os.environ, SOURCE_DATE_EPOCH="1767225600")
                done = subprocess.run([os.path.join(linux, "vorlane-pack"), "--payload", payload,
                                       "--runtime", os.path.join(h.win64, "tests", "VorlaneStub.dll"), "-o", out,
                                       "-q", "--sign-runtime", fx.chain()["chain"], fx.chain()["key"],
                                       "--file-version", "3.2.1", "--product-name", "Same"],
                                      env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                h.expect_equal(done.returncode, 0, "vorlane-pack: " + done.stdout.decode())
                outputs.append(open(out, "rb").read() if os.path.exists(out) else b"")
            h.expect(outputs[0] == outputs[1], "two packs differ")
            if outputs[0]:
                image = harness.PeImage(outputs[0])
                h.expect_equal(image.version_strings().get("FileVersion"), "3.2.1.0", "the padded file version")

        @h.case("vorlane-run from the bundle: its whole help, its version, usage errors exit 125")
        def _():
            tool = os.path.join(linux, "vorlane-run")
            with open(os.path.join(h.source, "tools", "vorlane-run")) as f:
                doc = ast.get_docstring(ast.parse(f.read()), clean=False)
            done = subprocess.run([tool, "--help"], stdout=subprocess.PIPE)
            h.expect_equal((done.returncode, done.stdout.decode()), (0, doc.lstrip("\n")), "--help")
            done = subprocess.run([tool, "--version"], stdout=subprocess.PIPE)
            h.expect_equal((done.returncode, done.stdout.decode()), (0, "vorlane-run %s\n" % version), "--version")
            for args in ([], ["--no-such-option", "App.exe"], ["--timeout", "soon", "App.exe"]):
                done = subprocess.run([tool] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                h.expect(done.returncode == 125 and b"usage: vorlane-run" in done.stderr,
                         "%r: status %d, %s" % (args, done.returncode, done.stderr.decode()))

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
