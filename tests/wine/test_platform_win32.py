"""The win32 platform backend's own handling, run under Wine through
platform_probe.exe: the trust call and its signer name, the local application
data folder against small buffers, 64-bit file positions, listings, strings."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cache_tools  # noqa: E402
import harness  # noqa: E402

SIGNER = "Vorlane Probe Signer"


def parse(output):
    """key=value lines; repeated keys collect into lists."""
    values = {}
    for line in output.splitlines():
        if "=" not in line:
            continue
        key, value = line.split("=", 1)
        if key in values:
            if not isinstance(values[key], list):
                values[key] = [values[key]]
            values[key].append(value)
        else:
            values[key] = value
    return values


def main():
    h = harness.Harness.from_args()
    with h:
        probe = h.platform_helper("platform_probe")
        prefix = h.new_prefix()

        def run(*args):
            result = prefix.run(probe, list(args), relay=False)
            h.expect(not result.timed_out and result.status == 0,
                     "probe %r ended with %r: %s" % (args, result.status, result.stderr[-1500:]))
            return parse(result.stdout)

        @h.case("trust: results, and the signer only when its whole name fits")
        def _():
            folder = h.scratch_dir("signing")
            chain = harness.make_signing_chain(folder, SIGNER)
            unsigned = os.path.join(folder, "unsigned.exe")
            signed = os.path.join(folder, "signed.exe")
            text = os.path.join(folder, "text.dll")
            with open(h.launcher, "rb") as f, open(unsigned, "wb") as out:
                out.write(f.read())
            harness.sign_image(unsigned, signed, chain)
            with open(text, "w") as f:
                f.write("not an image\n")
            path = harness.wine_path

            got = run("trust", path(unsigned))
            h.expect_equal((got.get("result"), got.get("signer")), ("800b0100", ""), "unsigned")
            got = run("trust", path(os.path.join(folder, "missing.dll")))
            h.expect_equal((got.get("result"), got.get("signer")), ("00000002", ""), "missing file")
            got = run("trust", path(text))
            h.expect_equal((got.get("result"), got.get("signer")), ("800b0003", ""), "not an image")
            # The name is there even when the chain is refused.
            got = run("trust", path(signed))
            h.expect_equal((got.get("result"), got.get("signer")), ("800b0109", SIGNER), "untrusted root")

            prefix.trust_root(chain["root"])
            got = run("trust", path(signed))
            h.expect_equal((got.get("result"), got.get("signer"), got.get("length")),
                           ("00000000", SIGNER, str(len(SIGNER))), "trusted root")
            # A byte changed in the code: the digest no longer matches.
            damaged = os.path.join(folder, "damaged.exe")
            with open(signed, "rb") as f:
                data = bytearray(f.read())
            pe = harness.PeImage(bytes(data))
            text_section = next(s for s in pe.sections if s[0] == ".text")
            data[text_section[3] + 64] ^= 0xFF
            with open(damaged, "wb") as f:
                f.write(data)
            got = run("trust", path(damaged))
            h.expect_equal(got.get("result"), "80096010", "damaged code")

        @h.case("local app data: redirected folder; a buffer shorter than the path fails empty")
        def _():
            expected = harness.wine_path(prefix.appdata)
            got = run("appdata", "300")
            h.expect_equal((got.get("result"), got.get("path")), ("00000000", expected), "capacity 300")
            got = run("appdata", str(len(expected) + 1))
            h.expect_equal((got.get("result"), got.get("path")), ("00000000", expected), "capacity that fits")
            got = run("appdata", str(len(expected)))
            h.expect_equal((got.get("result"), got.get("path")), ("8007007a", ""), "capacity one short")

        @h.case("files past 4 GiB: size and positions through the high half")
        def _():
            big = os.path.join(h.scratch_dir("big"), "sparse.bin")
            size = (1 << 32) + 100
            with open(big, "wb") as f:
                f.truncate(size)
            got = run("size", harness.wine_path(big))
            h.expect_equal((got.get("size_ok"), got.get("size")), ("1", str(size)), "GetFileSizeEx")
            h.expect_equal((got.get("end_low"), got.get("end_high"), got.get("end_error")), ("100", "1", "0"),
                           "SetFilePointer to the end (low, high, last error)")
            h.expect_equal((got.get("back_low"), got.get("back_high")), ("84", "1"),
                           "SetFilePointer back across the halves")
            h.expect_equal((got.get("read_ok"), got.get("read")), ("1", "16"), "reading the last 16 bytes")

        @h.case("listing: names, attributes, end of the list")
        def _():
            folder = h.scratch_dir("listing")
            os.makedirs(os.path.join(folder, "sub"), exist_ok=True)
            for name in ("a.txt", "\u00e9t\u00e9.txt"):
                with open(os.path.join(folder, name), "w") as f:
                    f.write("x")
            got = run("list", harness.wine_path(folder))
            entries = got.get("entry", [])
            entries = entries if isinstance(entries, list) else [entries]
            by_name = {e.split(" ", 1)[1]: int(e.split(" ", 1)[0], 16) for e in entries}
            h.expect_equal(sorted(by_name), sorted([".", "..", "a.txt", "sub", "\\u00e9t\\u00e9.txt"]), "names")
            h.expect(by_name.get("sub", 0) & 0x10, "sub is not reported as a folder")
            h.expect(not by_name.get("a.txt", 0x10) & 0x10, "a.txt is reported as a folder")
            h.expect_equal(got.get("end_error"), "18", "last error after the last entry")

        @h.case("file identity: two opens of one file agree, another file differs")
        def _():
            folder = h.scratch_dir("identity")
            for name in ("a.dll", "b.dll"):
                with open(os.path.join(folder, name), "w") as f:
                    f.write("same bytes")
            got = run("identity", harness.wine_path(os.path.join(folder, "a.dll")),
                      harness.wine_path(os.path.join(folder, "b.dll")))
            h.expect_equal((got.get("same"), got.get("other")), ("1", "0"), "identities")

        @h.case("string table: a present id, a missing id, no capacity")
        def _():
            h.expect_equal(run("string", "7", "256"), {"copied": "12", "text": "probe string"}, "id 7")
            h.expect_equal(run("string", "8", "256"), {"copied": "0"}, "missing id 8")
            h.expect_equal(run("string", "7", "0"), {"copied": "0"}, "capacity 0")

        @h.case("the loader maps the held file: the mapped file, opened by its name, is the held one, not another")
        def _():
            folder = h.scratch_dir("mapped")
            library = os.path.join(folder, "Stub Library.dll")
            other = os.path.join(folder, "other.dll")
            shutil.copyfile(os.path.join(h.win64, "tests", "VorlaneStub.dll"), library)
            shutil.copyfile(library, other)
            got = run("mapped", harness.wine_path(library), harness.wine_path(other))
            for step in ("open", "final", "load", "mapped_open", "ids"):
                h.expect_equal(got.get(step), "ok", step)
            h.expect_equal((got.get("same"), got.get("other")), ("1", "0"), "identities (%r)" % (got,))

        @h.case("another process mapped the library first under another name: the mapped file is still the held one")
        def _():
            # The same file as C:\... and as Z:\<prefix>\drive_c\...: Wine names the
            # image by the first process's path.
            folder = os.path.join(prefix.default_local_appdata(), "mapped-elsewhere")
            os.makedirs(folder, exist_ok=True)
            library = os.path.join(folder, "VorlaneStub.dll")
            shutil.copyfile(os.path.join(h.win64, "tests", "VorlaneStub.dll"), library)
            on_c = "C:\\" + os.path.relpath(library, os.path.join(prefix.path, "drive_c")).replace("/", "\\")
            with cache_tools.Held(h, prefix, "load", library):
                got = run("mapped", on_c)
            for step in ("open", "load", "mapped_open", "ids"):
                h.expect_equal(got.get(step), "ok", step)
            h.expect(got.get("final_path", "").startswith("\\\\?\\C:\\"), "final path on C: (%r)" % (got,))
            h.expect(got.get("mapped_name", "").lower().startswith("\\??\\z:\\"),
                     "the image named by the other process's Z: path (%r)" % (got,))
            h.expect_equal(got.get("same"), "1", "the mapped file is the held one")

        @h.case("installation by handle: a folder made inside a held one, create-new, rename over a file")
        def _():
            folder = h.scratch_dir("replace")
            got = run("replace", harness.wine_path(folder))
            for step in ("folder", "sub", "old", "create_new", "write", "links", "rename", "final"):
                h.expect_equal(got.get(step), "ok", step)
            h.expect_equal(got.get("created"), "1", "the folder was made")
            h.expect_equal(got.get("create_new_again"), "80", "a second create-new of the name (ERROR_FILE_EXISTS)")
            h.expect_equal(got.get("link_count"), "1", "link count")
            h.expect(got.get("final_path", "").lower().endswith("\\sub\\a.dll"), "final path after the rename")
            with open(os.path.join(folder, "sub", "a.dll"), "rb") as f:
                h.expect_equal(f.read(), b"new", "the renamed file's content")
            h.expect_equal(sorted(os.listdir(os.path.join(folder, "sub"))), ["a.dll"], "what the folder holds")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
