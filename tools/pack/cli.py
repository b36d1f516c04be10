"""Packs the prebuilt launcher, a payload and the runtime library into one executable.

    vorlane-pack --payload P --runtime R -o OUT [--launcher L]
                 [--setting4 TEXT] [--setting5 TEXT] [--setting6 TEXT] [--publisher NAME]
                 [--icon FILE] [--version A.B.C.D] [--product-name TEXT] [--company-name TEXT]
                 [--file-description TEXT] [--copyright TEXT] [--original-filename TEXT]
                 [--sign-runtime CERT KEY | --sign-pkcs12 PFX] [--timestamp URL]
                 [--check [--trust-root CERT]] [--no-pin] [--quiet]

OUT is a copy of the launcher's image, with the settings, publisher, icon and
version block given here written into its resources (vorlane-resources.mjs,
which uses the resedit library; whatever is not given keeps the launcher's
value), cut where its raw section data ends, followed by a 7z archive:
"vorlane.bin" alone in the first folder, stored, so its bytes lie at the
archive start + 32 and are read in place; then "VorlaneStub.dll" in a
BCJ2-over-LZMA folder compressed by 7zz. The archive records no times, fixed
attributes and the PE checksum is computed over the whole file, so the same
inputs always give the same bytes. OUT is written under a temporary name next
to it and renamed at the end, so a failure never leaves a partial file; the
payload is read once and never copied anywhere but into OUT.

The runtime library's Authenticode digest is written as the pin (string 8):
the launcher runs that exact build and no other signed one. --no-pin leaves
it out (with a warning), as does an unsigned runtime library.

--check runs vorlane-inspect on the result before it takes OUT's name, so a
package the launcher would refuse is never written (exit status 3). Progress
goes to stderr (--quiet: errors and refusals only).

Tools: 7zz, osslsigncode, openssl, node and vorlane-inspect come from
VORLANE_7ZZ, VORLANE_OSSLSIGNCODE, VORLANE_OPENSSL, VORLANE_NODE and
VORLANE_INSPECT when set; otherwise vorlane-inspect is looked for next to this
script and in the checkout's build/native/tools, the others on PATH.
"""

import argparse
import sys

from . import messages
from .messages import CheckFailed, PackError
from .packing import pack

STATUS_CHECK_FAILED = 3


def parse_version(text):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and p.isascii() for p in parts):
        raise argparse.ArgumentTypeError("must be four numbers A.B.C.D, not %r" % text)
    values = [int(p) for p in parts]
    if any(v > 65535 for v in values):
        raise argparse.ArgumentTypeError("each part of %s must be 0 to 65535 (a Windows version holds 16 bits "
                                         "per part)" % text)
    return values


def main(argv, here):
    parser = argparse.ArgumentParser(prog="vorlane-pack", description=__doc__.splitlines()[0])
    parser.add_argument("--launcher", help="the prebuilt launcher (default: VorlaneLauncher.exe next to this "
                                           "script, or the checkout's build/win64)")
    parser.add_argument("--payload", required=True, help="the application payload, stored as vorlane.bin")
    parser.add_argument("--runtime", required=True,
                        help="the runtime library (64-bit DLL exporting VorlaneInit), stored as VorlaneStub.dll")
    parser.add_argument("-o", "--output", required=True, help="the packaged executable to write")
    res = parser.add_argument_group("written into the launcher's resources (not given: the launcher's value)")
    res.add_argument("--setting4", metavar="TEXT", help="string 4, the runtime's 3rd argument (empty: left out)")
    res.add_argument("--setting5", metavar="TEXT", help="string 5, the runtime's 4th argument (empty: left out)")
    res.add_argument("--setting6", metavar="TEXT",
                     help="string 6: exactly Y removes what a first run installed (empty: left out, keeps it)")
    res.add_argument("--publisher", metavar="NAME",
                     help="string 7: the signer display name the runtime library must carry, exactly")
    res.add_argument("--icon", metavar="FILE", help="icon group MAIN: an .ico, or a .png made into 16-256 px icons")
    res.add_argument("--version", metavar="A.B.C.D", type=parse_version, help="file and product version")
    res.add_argument("--product-name", metavar="TEXT")
    res.add_argument("--company-name", metavar="TEXT")
    res.add_argument("--file-description", metavar="TEXT")
    res.add_argument("--copyright", metavar="TEXT")
    res.add_argument("--original-filename", metavar="TEXT")
    signing = parser.add_mutually_exclusive_group()
    signing.add_argument("--sign-runtime", nargs=2, metavar=("CERT", "KEY"),
                         help="sign the runtime library with osslsigncode first (CERT: PEM or DER, may hold "
                              "the chain, leaf first; KEY: its private key)")
    signing.add_argument("--sign-pkcs12", metavar="PFX",
                         help="the same with a PKCS#12 file holding certificate, chain and key "
                              "(password: VORLANE_SIGN_PASSWORD)")
    parser.add_argument("--timestamp", action="append", metavar="URL",
                        help="timestamp server for the runtime's signature (repeatable)")
    parser.add_argument("--check", action="store_true",
                        help="run vorlane-inspect on the result; write OUT only when the launcher would accept it")
    parser.add_argument("--trust-root", action="append", metavar="CERT",
                        help="with --check: verify the runtime's signature chain against this root (repeatable)")
    parser.add_argument("--no-pin", action="store_true",
                        help="write no pin: the launcher then runs any build signed by the publisher")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress lines, errors and refusals only")
    parser.add_argument("--unchecked-runtime", action="store_true",
                        help="pack the runtime bytes without checking them (test packages only)")
    options = parser.parse_args(argv)
    messages.quiet = options.quiet
    try:
        pack(options, here)
    except CheckFailed as error:
        print("vorlane-pack: %s" % error, file=sys.stderr)
        return STATUS_CHECK_FAILED
    except (PackError, OSError) as error:
        print("vorlane-pack: %s" % error, file=sys.stderr)
        return 1
    return 0
