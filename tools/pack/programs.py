"""The helper programs vorlane-pack runs (7zz, osslsigncode, openssl, node,
vorlane-inspect) and the files it finds next to itself. here is the folder of
the vorlane-pack the user ran (a build tree links it); SOURCE the folder of the
real file, whose pack/ holds this module."""

import os
import shutil

from .messages import PackError

SOURCE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))


def find_tool(variable, names, places=()):
    """A helper program: the environment variable's value, one of places, or
    the first of names on PATH. None when absent."""
    value = os.environ.get(variable)
    if value:
        found = shutil.which(value) if os.sep not in value else value
        if not found or not os.path.isfile(found) or not os.access(found, os.X_OK):
            raise PackError("%s=%s is not an executable program" % (variable, value))
        return found
    for place in places:
        if os.path.isfile(place) and os.access(place, os.X_OK):
            return place
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    return None


def inspect_tool(here):
    # Beside vorlane-pack (the release bundle, a build tree), or in the checkout's native build.
    places = [os.path.join(here, "vorlane-inspect"),
              os.path.join(SOURCE, "..", "build", "native", "tools", "vorlane-inspect")]
    tool = find_tool("VORLANE_INSPECT", ["vorlane-inspect"], places)
    if not tool:
        raise PackError("--check needs vorlane-inspect: not found next to %s, in build/native/tools of its checkout "
                        "(run scripts/build.sh) or on PATH (set VORLANE_INSPECT)" % here)
    return tool


def default_launcher(here):
    for place in (os.path.join(here, "VorlaneLauncher.exe"),
                  os.path.join(SOURCE, "..", "build", "win64", "VorlaneLauncher.exe")):
        if os.path.isfile(place):
            return os.path.normpath(place)
    raise PackError("no launcher given (--launcher) and none next to %s or in the checkout's build/win64" % here)


def tool_output(result):
    return result.stdout.decode("utf-8", "replace").strip()
