"""The LZMA SDK's floor: the bootstrap and the CMake configure both refuse an
SDK older than the code needs, with the version found, the floor and the fix,
and both accept the floor itself. Each runs over a stand-in SDK tree that
holds only the files they look at.

    python3 test_sdk_floor.py --source REPO --scratch DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys


def floor(source):
    with open(os.path.join(source, "cmake", "lzma_sdk.cmake")) as f:
        return re.search(r"^set\(LZMA_SDK_MIN_VERSION ([0-9]+)\.([0-9]+)\)$", f.read(), re.M).groups()


def stand_in(folder, major, minor):
    """An SDK tree the checks take for version major.minor (None: no version header)."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "C"))
    open(os.path.join(folder, "C", "7zArcIn.c"), "w").close()
    if major is not None:
        with open(os.path.join(folder, "C", "7zVersion.h"), "w") as f:
            f.write("#define MY_VER_MAJOR %d\n#define MY_VER_MINOR %d\n#define MY_VER_BUILD 0\n" % (major, minor))
    return folder


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--scratch", required=True)
    args = parser.parse_args()
    major, minor = (int(n) for n in floor(args.source))
    wanted = "%d.%02d" % (major, minor)
    scratch = os.path.abspath(args.scratch)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    failures = []

    def expect(ok, what, detail):
        print("%s  %s" % ("ok  " if ok else "FAIL", what))
        if not ok:
            print("      " + detail.replace("\n", "\n      "))
            failures.append(what)

    # A copy of the scripts with third_party/ of its own: the bootstrap's check
    # of an SDK it fetched before; ISA-L is said to be elsewhere.
    root = os.path.join(scratch, "repo")
    for part in ("scripts", "cmake"):
        shutil.copytree(os.path.join(args.source, part), os.path.join(root, part))
    env = dict(os.environ, ISAL_DIR=scratch)
    env.pop("LZMA_SDK_DIR", None)
    bootstrap = [os.path.join(root, "scripts", "bootstrap.sh"), "build"]
    older = (major, minor - 1) if minor > 0 else (major - 1, 99)
    for version, accepted in ((older, False), ((22, 1), False), (None, False), ((major, minor), True),
                              ((major + 2, 0), True)):
        name = "%d.%02d" % version if version else "of unknown version"
        sdk = stand_in(os.path.join(root, "third_party", "7zip"), *(version or (None, None)))
        done = subprocess.run(bootstrap, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        err = done.stderr.decode()
        if accepted:
            expect(done.returncode == 0 and err == "", "bootstrap accepts an SDK %s it fetched before" % name, err)
            continue
        expect(done.returncode == 1 and "LZMA SDK %s" % name in err and "needs %s or newer" % wanted in err
               and "remove " + sdk in err,
               "bootstrap refuses an SDK %s it fetched before, saying why and what to do" % name, err)

    # LZMA_SDK_DIR given by hand, to the bootstrap and to CMake.
    sdk = stand_in(os.path.join(scratch, "by-hand"), *older)
    done = subprocess.run(bootstrap, env=dict(env, LZMA_SDK_DIR=sdk), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    expect(done.returncode == 1 and "LZMA_SDK_DIR (%s) holds the LZMA SDK %d.%02d;" % ((sdk,) + older)
           in done.stderr.decode(), "bootstrap refuses LZMA_SDK_DIR with an older SDK", done.stderr.decode())
    done = subprocess.run(["cmake", "-S", args.source, "-B", os.path.join(scratch, "build"), "-DVORLANE_TESTS=OFF",
                           "-DLZMA_SDK_DIR=" + sdk], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = " ".join(done.stdout.decode().split())
    expect(done.returncode != 0 and "LZMA SDK %d.%02d in %s: this code needs %s or newer" % (older + (sdk, wanted))
           in out, "CMake refuses -DLZMA_SDK_DIR= with an older SDK", out[-600:])

    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
