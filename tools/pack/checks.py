"""The checks around packing: inputs that exist, room for the output and the
temporary files, and vorlane-inspect's verdict on the finished package."""

import os
import shutil
import subprocess

from .messages import CheckFailed, PackError, progress
from .programs import inspect_tool


def megabytes(size):
    return "%.1f MB" % (size / 1e6)


def check_space(folder, needed, what):
    free = shutil.disk_usage(folder).free
    if free < needed:
        raise PackError("not enough space in %s for %s: packing needs about %s there, %s are free"
                        % (folder, what, megabytes(needed), megabytes(free)))


def check_package(path, roots, here):
    """Runs vorlane-inspect on the finished package; raises with its report
    when the launcher would refuse it."""
    command = [inspect_tool(here)]
    for root in roots:
        command += ["--trust-root", root]
    result = subprocess.run(command + [path], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    report = result.stdout.decode("utf-8", "replace")
    if result.returncode != 0:
        problem = result.stderr.decode("utf-8", "replace").strip()
        raise CheckFailed("vorlane-inspect refuses the package (status %d); nothing was written:\n%s%s"
                          % (result.returncode, report, problem))
    progress("vorlane-inspect: the launcher accepts the package")
    for line in report.splitlines():
        if line.startswith("note"):
            progress("vorlane-inspect: note: " + line[len("note"):].strip())


def check_input(path, what):
    if not os.path.isfile(path):
        raise PackError("%s not found: %s" % (what, path))
    return os.path.getsize(path)
