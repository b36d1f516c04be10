"""What vorlane-pack tells: its errors (PackError, and CheckFailed when
vorlane-inspect refuses the result) and its progress lines on stderr."""

import sys


class PackError(Exception):
    pass


class CheckFailed(PackError):
    pass


quiet = False  # --quiet: errors and refusals only


def progress(text):
    if not quiet:
        print("vorlane-pack: " + text, file=sys.stderr)
        sys.stderr.flush()
