"""The packaging guide's commands as a packager copies them: the Linux shell
blocks of docs/packaging.md, in order, in one scratch folder, as one shell
session; then the run: steps of docs/examples/pack-linux.yml, in order, in a
fresh checkout folder, as a Linux runner runs them. Both against the Linux
bundle scripts/release.sh built (the download replaced by that bundle), with
the packager's own files, secrets and timestamp server filled in from the
tables below. Every command block and step is either run or listed here as
skipped, with why, so a block added to the guide fails this test until it is
one or the other. Last, the guide's table of the tools' exit statuses against
what the tools give."""
import base64
import hashlib
import http.server
import json
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import threading

import yaml

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

TIMESTAMP_URL = "http://timestamp.example.com"
PUBLISHER = "Example Software Ltd"


class Run:
    """A block run as written, after its fills ({text in the block: what
    replaces it}; each must still be found). It must end with 0, print each of
    `prints` and leave each of `leaves`; `env` adds variables from files the
    earlier blocks made ({name: path})."""

    def __init__(self, heading, first_line, fills=None, prints=(), leaves=(), env=None, as_file=None):
        self.heading, self.first_line = heading, first_line
        self.fills = fills or {}
        self.prints, self.leaves = list(prints), list(leaves)
        self.env = env or {}
        self.as_file = as_file  # not run: written as this file, which a later block names


class Skip:
    def __init__(self, heading, first_line, why):
        self.heading, self.first_line, self.why = heading, first_line, why


# docs/packaging.md's command blocks (fenced with a language), in order, by the
# heading they stand under and the start of their first line. "{version}" is
# the toolkit's; "{tsa}" the local timestamp server standing for the guide's.
WINDOWS_ONLY = "PowerShell: Windows only"
GUIDE = [
    Run("0. The bundles", "sha256sum -c --ignore-missing SHA256SUMS",
        fills={"1.0.0": "{version}"}, prints=["vorlane-pack {version}"], leaves=["vorlane-{version}-linux-x64"]),
    Skip("0. The bundles", "(Get-FileHash", WINDOWS_ONLY),
    Run("1. A certificate", "mkdir -p pki && cd pki",
        leaves=["pki/root.pem", "pki/chain.pem", "pki/signer.key", "pki/signer.pfx", "pki/pfx-password.txt"]),
    Run("3. Pack", "mkdir -p dist", fills={TIMESTAMP_URL: "{tsa}"},
        env={"VORLANE_SIGN_PASSWORD": "pki/pfx-password.txt"}, leaves=["dist/ExampleViewer.exe"]),
    Run("The config file", '{', fills={TIMESTAMP_URL: "{tsa}", "http://timestamp2.example.com": "{tsa}"},
        as_file="app.json"),
    Run("The config file", "vorlane-pack --config app.json --file-version 2.3.0.18",
        env={"VORLANE_SIGN_PASSWORD": "pki/pfx-password.txt"}, leaves=["dist/ExampleViewer.exe"]),
    Skip("From a CMake build", "include(",
         "a fragment of the packager's own CMakeLists.txt; tests/cmake_package packs through the module "
         "(release.cmake_package)"),
    Skip("Your own signer: --sign-command", "# osslsigncode with a key on a PKCS#11 token",
         "needs a hardware token, a cloud key store (jsign, az) or the packager's own wrapper script"),
    Skip("Your own signer: --sign-command", "# signtool with a certificate", WINDOWS_ONLY + " (signtool)"),
    Run("The key-file conveniences", "# PEM certificate chain",
        fills={"vorlane-pack ...": "vorlane-pack --payload out/app.bin --runtime out/VorlaneStub.dll "
                                   "-o dist/KeyFiles.exe",
               TIMESTAMP_URL: "{tsa}"},
        leaves=["dist/KeyFiles.exe"]),
    Run("Signing the package", "osslsigncode sign -pkcs12 pki/signer.pfx",
        fills={TIMESTAMP_URL: "{tsa}"}, prints=["Signature verification: ok"],
        leaves=["dist/ExampleViewer-signed.exe"]),
    Skip("Signing the package", "signtool sign /f", WINDOWS_ONLY + " (signtool)"),
    Run("5. Check with vorlane-inspect", "vorlane-inspect --trust-root pki/root.pem dist/ExampleViewer.exe",
        prints=["verdict          ok"]),
    Skip("5. Check with vorlane-inspect", "vorlane-inspect.exe dist", WINDOWS_ONLY),
    Run("JSON for CI gates", "vorlane-inspect --json --trust-root pki/root.pem", leaves=["inspect.json"]),
    Run("6. Run it as a user would: vorlane-run", "vorlane-run --trust-root pki/root.pem",
        prints=["exit code 0"]),
    Skip("7. On Windows", "New-Item -ItemType Directory", WINDOWS_ONLY),
    Skip("7. On Windows", "$signtool = Get-ChildItem", WINDOWS_ONLY),
    Skip("7. On Windows", "$env:VORLANE_SIGN_PASSWORD", WINDOWS_ONLY),
    Skip("7. On Windows", "vorlane-pack.exe --payload out\\app.bin", WINDOWS_ONLY),
]

# docs/examples/pack-linux.yml's steps, by name (or action): run, or what stands in.
WORKFLOW = "docs/examples/pack-linux.yml"
WORKFLOW_STEPS = {
    "actions/checkout@v4": "the checkout folder: packaging/app.json and packaging/signing-root.pem (the "
                           "guide's test root) from REPOSITORY_FILES",
    "Build the payload and the runtime library": "the packager's own build: out/app.bin and out/VorlaneStub.dll "
                                                 "written as `make dist` would",
    "The toolkit (one download, nothing to build)": "run",
    # sudo and apt-get stand-ins check that what it installs is installed (scripts/bootstrap.sh did).
    "The signer and Wine": "run",
    "The key, for this job only": "run",
    "Pack, check and sign": "run",
    "Inspect what was written": "run",
    "Start it once, as a user's first start": "run",
    "Remove the key": "run",
    "actions/upload-artifact@v4": "every path it names must be there",
}
REPOSITORY_FILES = {
    "packaging/app.json": '{\n  "setting4": "FALSE",\n  "setting5": "NO",\n  "icon": "../art/logo.png",\n'
                          '  "file-version": "2.3.0.17",\n  "product-name": "Example Viewer",\n'
                          '  "company-name": "Example Software Ltd"\n}\n',
}

APT_STAND_IN = """#!/bin/sh
# apt-get as the workflow calls it: installs nothing, but what it names must be installed.
[ "$1" = update ] && exit 0
[ "$1" = install ] || { echo "apt-get stand-in: only update and install" >&2; exit 1; }
shift
for name in "$@"; do
  case "$name" in -*) continue;; esac
  dpkg-query -W -f='${Status}\\n' "$name" 2>/dev/null | grep -q 'install ok installed' ||
    { echo "apt-get stand-in: $name is not installed here" >&2; exit 1; }
done
"""
SUDO_STAND_IN = '#!/bin/sh\nexec "$@"\n'


# ---- the guide's blocks ---------------------------------------------------------------

class Block:
    def __init__(self, language, heading, text, line):
        self.language, self.heading, self.text, self.line = language, heading, text, line
        self.first_line = next((l for l in text.splitlines() if l.strip()), "")

    def __repr__(self):
        return "%s block at line %d under %r: %r" % (self.language, self.line, self.heading, self.first_line)


def command_blocks(markdown):
    """Every fenced block with a language (commands, or a file a command names),
    with the heading it stands under; untagged blocks are sample output."""
    blocks, heading, fence = [], "", None
    for number, line in enumerate(markdown.splitlines(), 1):
        if fence is None:
            if line.startswith("#"):
                heading = line.lstrip("#").strip()
            elif line.startswith("```"):
                fence = (line[3:].strip(), number, [])
        elif line.startswith("```"):
            if fence[0]:
                blocks.append(Block(fence[0], heading, "\n".join(fence[2]) + "\n", fence[1]))
            fence = None
        else:
            fence[2].append(line)
    return blocks


def match_blocks(blocks, table):
    """Pairs each block with its one table entry; the problems when a block has
    none (new: run it or list it) or an entry no block (the guide changed)."""
    pairs, problems, used = [], [], set()
    for block in blocks:
        found = [i for i, e in enumerate(table)
                 if e.heading == block.heading and block.first_line.startswith(e.first_line)]
        if len(found) != 1:
            problems.append("%r: %s" % (block, "no entry in GUIDE: run it or list it as skipped, with why"
                                        if not found else "more than one entry in GUIDE"))
            continue
        used.add(found[0])
        pairs.append((block, table[found[0]]))
    for i, entry in enumerate(table):
        if i not in used:
            problems.append("GUIDE lists a block the guide no longer has: %r under %r"
                            % (entry.first_line, entry.heading))
    return pairs, problems


def filled(text, fills, values):
    """The block with its fills applied; raises when one is no longer in it."""
    for old, new in fills.items():
        old, new = old.format(**values), new.format(**values)
        if old not in text:
            raise AssertionError("the fill %r is no longer in the block" % old)
        text = text.replace(old, new)
    return text


# ---- one shell session over several scripts -------------------------------------------

class Session:
    """Scripts run one after the other as if typed into one shell: each starts
    where the last one ended, with its exported variables."""

    SHELL_STATE_LEFT_OUT = {"PWD", "OLDPWD", "SHLVL", "_"}

    def __init__(self, folder, env):
        self.cwd, self.env = folder, dict(env)
        self.state = tempfile.mkdtemp(prefix="session-", dir=folder)
        self.count = 0

    def run(self, text, shell=("bash", "--noprofile", "--norc", "-e", "-o", "pipefail"), timeout=600, env=None):
        """Runs text; (status, stdout + stderr)."""
        self.count += 1
        script = os.path.join(self.state, "script-%d.sh" % self.count)
        env_file, cwd_file = script + ".env", script + ".cwd"
        with open(script, "w") as f:
            f.write("trap 'status=$?; env -0 > %s; pwd > %s; exit $status' EXIT\n%s"
                    % (shlex.quote(env_file), shlex.quote(cwd_file), text))
        run_env = dict(self.env, **(env or {}))
        done = subprocess.run(list(shell) + [script], cwd=self.cwd, env=run_env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        if os.path.exists(env_file):
            with open(env_file, "rb") as f:
                pairs = [item.split(b"=", 1) for item in f.read().split(b"\0") if b"=" in item]
            self.env = {k.decode(): v.decode() for k, v in pairs if k.decode() not in self.SHELL_STATE_LEFT_OUT}
            with open(cwd_file) as f:
                self.cwd = f.read().rstrip("\n")
        return done.returncode, done.stdout.decode("utf-8", "replace")


# ---- a local timestamp server ---------------------------------------------------------

TSA_CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {folder}/serial
signer_cert = {folder}/tsa.pem
certs = {folder}/tsa.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


class TimestampServer:
    """An RFC 3161 timestamp server on 127.0.0.1 (openssl ts -reply), standing
    for the certificate authority's the guide names; its certificate is issued
    under the root the guide's certificate block makes, as a real one chains
    to a root the machine trusts."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.ready = False
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                reply = server.reply(query)
                self.send_response(200 if reply else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply or b"")))
                self.end_headers()
                self.wfile.write(reply or b"")

            def log_message(self, *args):
                pass

        self.http = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.http.server_address[1]
        threading.Thread(target=self.http.serve_forever, daemon=True).start()

    def issue(self, root_pem, root_key):
        quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=self.folder)
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "tsa.key", "-out", "tsa.csr",
                        "-subj", "/CN=Example Timestamps"], **quiet)
        with open(os.path.join(self.folder, "tsa.ext"), "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=critical,timeStamping\n")
        subprocess.run(["openssl", "x509", "-req", "-sha256", "-days", "30", "-in", "tsa.csr", "-CA", root_pem,
                        "-CAkey", root_key, "-set_serial", "77", "-extfile", "tsa.ext", "-out", "tsa.pem"], **quiet)
        with open(os.path.join(self.folder, "serial"), "w") as f:
            f.write("01\n")
        with open(os.path.join(self.folder, "tsa.cnf"), "w") as f:
            f.write(TSA_CONFIG.format(folder=self.folder))
        self.ready = True

    def reply(self, query):
        if not self.ready:
            return None
        handle, path = tempfile.mkstemp(suffix=".tsq", dir=self.folder)
        with os.fdopen(handle, "wb") as f:
            f.write(query)
        done = subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(self.folder, "tsa.cnf"),
                               "-queryfile", path, "-out", path + ".tsr"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        reply = None
        if done.returncode == 0:
            with open(path + ".tsr", "rb") as f:
                reply = f.read()
        for name in (path, path + ".tsr"):
            if os.path.exists(name):
                os.unlink(name)
        return reply

    def close(self):
        self.http.shutdown()
        self.http.server_close()


# ---- the packager's files -------------------------------------------------------------

def write_packager_files(folder, h, payload):
    """What the guide takes as the packager's own: out/app.bin, out/VorlaneStub.dll
    (unsigned: vorlane-pack signs a copy), art/logo.png."""
    os.makedirs(os.path.join(folder, "out"), exist_ok=True)
    os.makedirs(os.path.join(folder, "art"), exist_ok=True)
    shutil.copyfile(payload, os.path.join(folder, "out", "app.bin"))
    shutil.copyfile(os.path.join(h.win64, "tests", "VorlaneStub.dll"), os.path.join(folder, "out", "VorlaneStub.dll"))
    with open(os.path.join(folder, "art", "logo.png"), "wb") as f:
        f.write(fixtures.noise_png(64, 3))


def project_version(source):
    with open(os.path.join(source, "CMakeLists.txt")) as f:
        return re.search(r"^project\(Vorlane VERSION ([0-9.]+)", f.read(), re.M).group(1)


def base_env(h):
    """The session's environment: this machine's, with nothing of the build on
    PATH (the tools come from the bundle), vorlane-run's template prefix
    shared with the other tests."""
    env = dict(os.environ)
    for name in list(env):
        if name.startswith(("VORLANE_", "GITHUB_", "RUNNER_")):
            del env[name]
    env["VORLANE_RUN_CACHE"] = h.cache
    # The local timestamp server is never reached through a proxy.
    for name in ("no_proxy", "NO_PROXY"):
        env[name] = ",".join(filter(None, [env.get(name), "127.0.0.1", "localhost"]))
    env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "/usr/bin:/bin").split(os.pathsep)
                                  if not os.path.abspath(p).startswith(os.path.join(h.source, "build")))
    return env


def expect_outcome(h, what, status, output, folder, entry, values):
    ok = h.expect_equal(status, 0, "%s: exit status; it printed:\n%s" % (what, output[-3000:]))
    for text in entry.prints:
        text = text.format(**values)
        ok &= h.expect(text in output, "%s: %r is not in what it printed:\n%s" % (what, text, output[-3000:]))
    for path in entry.leaves:
        path = path.format(**values)
        ok &= h.expect(os.path.exists(os.path.join(folder, path)), "%s: it left no %s" % (what, path))
    return ok


# ---- the workflow ---------------------------------------------------------------------

EXPRESSION = re.compile(r"\$\{\{\s*([^}]*?)\s*\}\}")


def expand(text, secrets):
    """A step's ${{ secrets.NAME }}, from the test's secrets; any other expression is refused."""
    def one(match):
        name = match.group(1)
        if not name.startswith("secrets.") or name[len("secrets."):] not in secrets:
            raise AssertionError("the test fills no %r" % match.group(0))
        return secrets[name[len("secrets."):]]
    return EXPRESSION.sub(one, str(text))


def run_workflow(h, folder, workflow, secrets, fills, root_pem, bundle_dir, bundle_sha256, version, payload):
    """Runs the workflow's one job as a Linux runner would: each run: step in
    `bash -e` with the workflow's and the step's env, GITHUB_PATH and
    GITHUB_ENV followed, a failed step skipping the rest but for if: always().
    Returns the problems."""
    problems = []
    jobs = list(workflow["jobs"].values())
    if len(jobs) != 1:
        return ["the workflow has %d jobs; the test runs one" % len(jobs)]
    steps = jobs[0]["steps"]
    names = [step.get("name") or step.get("uses") for step in steps]
    for name in names:
        if name not in WORKFLOW_STEPS:
            problems.append("step %r: not in WORKFLOW_STEPS: run it or say what stands in for it" % name)
    for name in WORKFLOW_STEPS:
        if name not in names:
            problems.append("WORKFLOW_STEPS lists a step the workflow no longer has: %r" % name)
    if problems:
        return problems

    repo = os.path.join(folder, "checkout")
    temp = os.path.join(folder, "runner-temp")
    stand_ins = os.path.join(folder, "stand-ins")
    for path in (repo, temp, stand_ins):
        os.makedirs(path)
    for name, text in (("apt-get", APT_STAND_IN), ("sudo", SUDO_STAND_IN)):
        with open(os.path.join(stand_ins, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(stand_ins, name), 0o755)
    github_path, github_env = os.path.join(folder, "github-path"), os.path.join(folder, "github-env")
    open(github_path, "w").close()
    open(github_env, "w").close()

    env = base_env(h)
    env["PATH"] = stand_ins + os.pathsep + env["PATH"]
    env.update(CI="true", GITHUB_ACTIONS="true", GITHUB_WORKSPACE=repo, RUNNER_TEMP=temp,
               GITHUB_PATH=github_path, GITHUB_ENV=github_env)
    # The workflow's own env, with the bundle's location and sum standing for where the team keeps them.
    workflow_env = {k: expand(v, secrets) for k, v in (workflow.get("env") or {}).items()}
    placeholders = {"VORLANE_BUNDLES": "file://" + bundle_dir, "VORLANE_BUNDLE_SHA256": bundle_sha256,
                    "VORLANE_VERSION": version}
    for name, value in placeholders.items():
        if name not in workflow_env:
            problems.append("the workflow's env has no %s to fill" % name)
        workflow_env[name] = value
    env.update(workflow_env)

    failed = False
    filled_somewhere = set()
    for step, name in zip(steps, names):
        if failed and str(step.get("if", "")).replace(" ", "") != "always()":
            continue
        if "uses" in step:
            if step["uses"].startswith("actions/checkout@"):
                for path, text in REPOSITORY_FILES.items():
                    os.makedirs(os.path.dirname(os.path.join(repo, path)), exist_ok=True)
                    with open(os.path.join(repo, path), "w") as f:
                        f.write(text)
                shutil.copyfile(root_pem, os.path.join(repo, "packaging", "signing-root.pem"))
            elif step["uses"].startswith("actions/upload-artifact@"):
                for path in str(step.get("with", {}).get("path", "")).split():
                    if not os.path.exists(os.path.join(repo, path)):
                        problems.append("upload-artifact: %s is not there" % path)
                        failed = True
            continue
        if WORKFLOW_STEPS[name] != "run":
            write_packager_files(repo, h, payload)
            continue
        # GitHub adds GITHUB_PATH's lines before PATH, the latest first, for the later steps.
        with open(github_path) as f:
            added = [line for line in f.read().splitlines() if line]
        step_env = dict(env)
        with open(github_env) as f:
            for line in f.read().splitlines():
                if "=" in line:
                    key, value = line.split("=", 1)
                    step_env[key] = value
        step_env["PATH"] = os.pathsep.join(list(reversed(added)) + [env["PATH"]])
        step_env.update({k: expand(v, secrets) for k, v in (step.get("env") or {}).items()})
        script = os.path.join(folder, "step.sh")
        text = step["run"]
        for old, new in fills.items():
            if old in text:
                text = text.replace(old, new)
                filled_somewhere.add(old)
        with open(script, "w") as f:
            f.write(text)
        done = subprocess.run(["bash", "-e", script], cwd=repo, env=step_env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        if done.returncode != 0:
            problems.append("step %r ended with %d:\n%s" % (name, done.returncode,
                                                              done.stdout.decode("utf-8", "replace")[-3000:]))
            failed = True
    if not failed:
        problems += ["the fill %r is in no step" % old for old in fills if old not in filled_somewhere]
    return problems


# ---- the exit-status table ------------------------------------------------------------

def status_table(markdown):
    """Section 9's table: [(first cell, {column: cell})]."""
    section = markdown.split("\n## 9.", 1)[1].split("\n## ", 1)[0]
    rows = [line for line in section.splitlines() if line.startswith("|")]
    columns = [c.strip().strip("`") for c in rows[0].strip("|").split("|")]
    table = []
    for line in rows[2:]:
        cells = [c.strip() for c in line.strip("|").split("|")]
        table.append((cells[0], dict(zip(columns[1:], cells[1:]))))
    return table


def row_holds(first_cell, status):
    """Whether a row's first cell ("3", "4 to 7, 252 to 255", "128 + N") names status."""
    for part in first_cell.split(","):
        part = part.strip()
        if part == "128 + N":
            if status > 128:
                return True
        elif " to " in part:
            low, high = (int(x) for x in part.split(" to "))
            if low <= status <= high:
                return True
        elif part.isdigit() and int(part) == status:
            return True
    return False


def x86_runtime(source, target):
    """The stand-in runtime with a 32-bit machine field."""
    with open(source, "rb") as f:
        image = bytearray(f.read())
    struct.pack_into("<H", image, struct.unpack_from("<I", image, 60)[0] + 4, 0x14C)
    with open(target, "wb") as f:
        f.write(image)


# ---- the test -------------------------------------------------------------------------

def main():
    h = harness.Harness.from_args()
    version = project_version(h.source)
    bundle = os.path.join(h.source, "build", "release", "vorlane-%s-linux-x64" % version)
    if h.missing_builds(bundle + ".tar.gz", os.path.join(h.win64, "tests", "VorlaneStub.dll")):
        print("(the bundle comes from scripts/release.sh, which scripts/test.sh runs first)")
        return 1
    with open(os.path.join(h.source, "docs", "packaging.md"), encoding="utf-8") as f:
        guide = f.read()
    with open(os.path.join(h.source, WORKFLOW), encoding="utf-8") as f:
        workflow = yaml.safe_load(f)

    with h:
        fx = fixtures.Fixtures(h)
        folder = h.scratch_dir("guide")
        tsa = TimestampServer(h.scratch_dir("timestamps"))
        values = {"version": version, "tsa": tsa.url}
        pairs = []

        @h.case("every command block of docs/packaging.md is run here or listed as skipped, with why")
        def _():
            found, problems = match_blocks(command_blocks(guide), GUIDE)
            pairs.extend(found)
            for problem in problems:
                h.expect(False, problem)

        # The download: the archive and the published sums beside it.
        shutil.copyfile(bundle + ".tar.gz", os.path.join(folder, os.path.basename(bundle) + ".tar.gz"))
        shutil.copyfile(os.path.join(os.path.dirname(bundle), "SHA256SUMS"), os.path.join(folder, "SHA256SUMS"))
        write_packager_files(folder, h, fx.payload())
        os.makedirs(os.path.join(folder, "vendor"))
        shutil.copyfile(os.path.join(bundle, "VorlaneLauncher.exe"), os.path.join(folder, "vendor",
                                                                                  "VorlaneLauncher.exe"))
        session = Session(folder, base_env(h))
        for block, entry in pairs:
            what = "%s: %s" % (block.heading, block.first_line)
            if isinstance(entry, Skip):
                print("skip  %s (%s)" % (what, entry.why))
                continue

            @h.case("guide, " + what)
            def _():
                text = filled(block.text, entry.fills, values)
                if entry.as_file:
                    with open(os.path.join(session.cwd, entry.as_file), "w", encoding="utf-8") as f:
                        f.write(text)
                    return
                env = {}
                for name, path in entry.env.items():
                    with open(os.path.join(session.cwd, path)) as f:
                        env[name] = f.read().rstrip("\n")
                status, output = session.run(text, env=env)
                expect_outcome(h, "the block", status, output, session.cwd, entry, values)
                # The guide's test root issues the timestamp server's certificate, once it exists.
                root = [os.path.join(session.cwd, "pki", name) for name in ("root.pem", "root.key")]
                if not tsa.ready and all(os.path.exists(p) for p in root):
                    tsa.issue(*root)

        pki = os.path.join(folder, "pki")

        @h.case("docs/examples/pack-linux.yml's steps run as a Linux runner runs them: the bundle fetched and "
                "checked, packed, signed and checked against the root, inspected, started once under Wine")
        def _():
            with open(os.path.join(pki, "signer.pfx"), "rb") as f:
                pfx = base64.b64encode(f.read()).decode()
            with open(os.path.join(pki, "pfx-password.txt")) as f:
                password = f.read().rstrip("\n")
            with open(bundle + ".tar.gz", "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            ci = h.scratch_dir("workflow")
            problems = run_workflow(h, ci, workflow, {"SIGNER_PFX_BASE64": pfx, "SIGNER_PFX_PASSWORD": password},
                                    {TIMESTAMP_URL: tsa.url}, os.path.join(pki, "root.pem"),
                                    os.path.dirname(bundle), digest, version, fx.payload())
            for problem in problems:
                h.expect(False, problem)
            if problems:
                return
            with open(os.path.join(ci, "checkout", "dist", "pack.json")) as f:
                summary = json.load(f)
            with open(os.path.join(ci, "checkout", "dist", "inspect.json")) as f:
                report = json.load(f)
            h.expect_equal((summary.get("checked"), summary.get("signed"), summary.get("publisher")),
                           (True, True, PUBLISHER), "pack.json: checked, signed, publisher")
            h.expect_equal(((report.get("trust") or {}).get("verified"), report["verdict"]["ok"]), (True, True),
                           "inspect.json: the chain verified against the root, the verdict")
            h.expect(not os.path.exists(os.path.join(ci, "runner-temp", "signer.pfx")), "the key was left behind")

        @h.case("the guide's table of exit statuses names each status where the tools give it")
        def _():
            table = status_table(guide)
            tools = {name: os.path.join(bundle, name) for name in ("vorlane-pack", "vorlane-inspect", "vorlane-run")}
            work = h.scratch_dir("statuses")
            x86_runtime(os.path.join(folder, "out", "VorlaneStub.dll"), os.path.join(work, "x86.dll"))
            with open(os.path.join(work, "not-json.json"), "w") as f:
                f.write("{")
            sign = ["--sign-runtime", os.path.join(pki, "chain.pem"), os.path.join(pki, "signer.key")]
            payload = os.path.join(folder, "out", "app.bin")
            out = os.path.join(work, "out.exe")
            scenarios = [
                ("vorlane-pack", "32-bit", ["--payload", payload, "--runtime", "x86.dll", "-o", out] + sign),
                ("vorlane-pack", "without `VorlaneInit`",
                 ["--payload", payload, "--runtime", os.path.join(h.win64, "tests", "VorlaneStubNoInit.dll"),
                  "-o", out] + sign),
                ("vorlane-pack", "not a PE image", ["--payload", payload, "--runtime", payload, "-o", out]),
                ("vorlane-pack", "`-o` naming an input",
                 ["--payload", payload, "--runtime", "x86.dll", "-o", payload]),
                ("vorlane-pack", "unknown option", ["--no-such-option"]),
                ("vorlane-pack", "not JSON", ["--config", "not-json.json"]),
                ("vorlane-inspect", "7z archive not found", [os.path.join(bundle, "VorlaneLauncher.exe")]),
                ("vorlane-inspect", "no such file", ["no-such.exe"]),
                ("vorlane-inspect", "a folder", [work]),
                ("vorlane-run", "usage errors", ["--no-such-option"]),
            ]
            for tool, phrase, args in scenarios:
                done = subprocess.run([tools[tool]] + args, cwd=work, env=dict(base_env(h)),
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
                rows = [first for first, cells in table if phrase in cells.get(tool, "")]
                h.expect_equal(rows, [first for first, _ in table if row_holds(first, done.returncode)][:1],
                               "%s %s: the rows naming %r (it ended with %d)" % (tool, " ".join(args), phrase,
                                                                                 done.returncode))
        tsa.close()

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
