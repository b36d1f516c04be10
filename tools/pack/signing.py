"""Signing the runtime library with osslsigncode before it is packed, the
key's password checked first with openssl."""

import os
import subprocess

from .archive import RUNTIME_NAME
from .messages import PackError
from .programs import find_tool, tool_output


def check_password(options, password):
    """Opens the key with openssl first, so a missing or wrong password is named
    as such instead of by osslsigncode's decoder errors."""
    openssl = find_tool("VORLANE_OPENSSL", ["openssl"])
    if not openssl:
        return
    if options.sign_pkcs12:
        command = [openssl, "pkcs12", "-in", options.sign_pkcs12, "-noout"]
        what = "PKCS#12 file %s" % options.sign_pkcs12
    else:
        command = [openssl, "pkey", "-in", options.sign_runtime[1], "-noout"]
        what = "signing key %s" % options.sign_runtime[1]
    env = dict(os.environ, VORLANE_SIGN_PASSWORD=password or "")
    result = subprocess.run(command + ["-passin", "env:VORLANE_SIGN_PASSWORD"], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode == 0:
        return
    if password is None:
        raise PackError("the %s is protected by a password, or is not one openssl can read: set "
                        "VORLANE_SIGN_PASSWORD to its password" % what)
    raise PackError("VORLANE_SIGN_PASSWORD does not open the %s (or it is damaged)" % what)


def signing_failure(output, urls):
    """osslsigncode's failure in one or two lines: the timestamp servers that
    did not answer, or its own messages without OpenSSL's error stack."""
    lines = [line for line in output.splitlines() if line.strip()]
    own = [line for line in lines if ":error:" not in line]
    if urls and any("timestamping failed" in line or "HTTP failure" in line for line in lines):
        return ("no timestamp server gave a timestamp (tried: %s): check the URL and the network, or give "
                "another --timestamp" % ", ".join(urls))
    return "osslsigncode could not sign the runtime library: %s" % ("; ".join(own[:4]) or "no reason given")


def sign_runtime(runtime, options, work):
    """A signed copy of the runtime in work; the original stays as it is. The
    key's password, when it has one, comes from VORLANE_SIGN_PASSWORD and
    reaches osslsigncode through a file, never its command line."""
    if options.sign_pkcs12:
        inputs = [(options.sign_pkcs12, "signing PKCS#12 file")]
        credentials = ["-pkcs12", options.sign_pkcs12]
    else:
        inputs = [(options.sign_runtime[0], "signing certificate"), (options.sign_runtime[1], "signing key")]
        credentials = ["-certs", options.sign_runtime[0], "-key", options.sign_runtime[1]]
    for path, what in inputs:
        if not os.path.isfile(path):
            raise PackError("%s not found: %s" % (what, path))
    tool = find_tool("VORLANE_OSSLSIGNCODE", ["osslsigncode"])
    if not tool:
        raise PackError("osslsigncode not found on PATH (set VORLANE_OSSLSIGNCODE)")
    password = os.environ.get("VORLANE_SIGN_PASSWORD")
    check_password(options, password)
    if password is not None:
        secret = os.path.join(work, "password")
        with open(os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
            f.write(password)
        credentials += ["-readpass", secret]
    for url in options.timestamp or []:
        credentials += ["-ts", url]
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        # The signing time is the one time a package records.
        credentials += ["-time", epoch]
    signed = os.path.join(work, "signed-" + RUNTIME_NAME)
    result = subprocess.run([tool, "sign"] + credentials + ["-h", "sha256", "-in", runtime, "-out", signed],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0 or not os.path.isfile(signed):
        raise PackError(signing_failure(tool_output(result), options.timestamp or []))
    return signed
