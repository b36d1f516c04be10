"""The launcher executable alone, with nothing appended: what it is as a PE image,
and how it ends when it finds no archive or cannot name itself."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixtures  # noqa: E402
import harness  # noqa: E402

EXE_NAME = "VorlaneLauncher.exe"
PATH_CAPACITY = 2048


def place_at_length(h, total, name):
    """Hard-links the launcher where its Windows path (Z:\\...) is exactly total characters."""
    base = h.scratch_dir(name)
    need = total - len(harness.wine_path(os.path.join(base, EXE_NAME)))
    folder = base
    while need > 0:
        # Components stay under Linux's 255-byte limit; never leave a remainder of 1.
        length = min(200, need - 1)
        if 0 < need - (length + 1) < 2:
            length -= 2
        folder = os.path.join(folder, "p" * length)
        need -= length + 1
    os.makedirs(folder, exist_ok=True)
    exe = os.path.join(folder, EXE_NAME)
    os.link(h.launcher, exe)
    assert len(harness.wine_path(exe)) == total, "placement is off"
    return exe


def main():
    h = harness.Harness.from_args()
    if h.missing_builds():
        return 1

    with h:
        @h.case("PE image: 64-bit GUI, hardened, no mingw runtime DLLs, only system libraries imported")
        def _():
            pe = harness.PeImage.load(h.launcher)
            h.expect_equal(pe.machine, 0x8664, "machine")
            h.expect_equal(pe.magic, 0x20B, "optional header magic (PE32+)")
            h.expect_equal(pe.subsystem, 2, "subsystem (Windows GUI)")
            for flag, name in ((0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"), (0x20, "HIGH_ENTROPY_VA")):
                h.expect(pe.dll_characteristics & flag, "DllCharacteristics lacks " + name)
            table = pe.imports()
            imports = [name.lower() for name in table]
            runtime = [name for name in imports
                       if name.startswith(("libstdc++", "libgcc", "libwinpthread", "libssp"))]
            h.expect(not runtime, "imports mingw runtime DLLs: %r" % runtime)
            # Windows looks for any other library beside the exe first, where a
            # downloaded file may lie, and side-by-side ones (comctl32) in an
            # "<exe>.local" folder: only known system libraries are imported.
            allowed = {"kernel32.dll", "user32.dll", "shell32.dll", "advapi32.dll", "gdi32.dll", "msvcrt.dll"}
            h.expect_equal(sorted(set(imports) - allowed), [], "static imports Windows may look for beside the exe")
            # A static import would stop the launcher from starting where the call is missing.
            functions = [f for names in table.values() for f in names]
            h.expect("SetDefaultDllDirectories" not in functions,
                     "SetDefaultDllDirectories is imported statically")

        @h.case("resources: settings, icon group MAIN, manifest, version block")
        def _():
            pe = harness.PeImage.load(h.launcher)
            expected = {sid: value for sid, value in fixtures.launcher_settings(h.win64).items() if value != ""}
            strings = pe.strings()
            h.expect_equal({sid: strings.get(sid) for sid in (4, 5, 6, 7) if sid in strings}, expected,
                           "string ids 4, 5, 6 and the publisher, 7")
            h.expect_equal(sorted(set(strings) - {4, 5, 6, 7}), [], "unexpected string ids")

            resources = pe.resources()
            groups = resources.get(harness.RT_GROUP_ICON, {})
            h.expect("MAIN" in groups, "icon group MAIN missing (groups: %r)" % list(groups))
            if "MAIN" in groups:
                group = next(iter(groups["MAIN"].values()))
                count = int.from_bytes(group[4:6], "little")
                icons = resources.get(harness.RT_ICON, {})
                for i in range(count):
                    entry = group[6 + 14 * i:6 + 14 * (i + 1)]
                    icon_id = int.from_bytes(entry[12:14], "little")
                    h.expect(icon_id in icons, "icon %d of MAIN has no image" % icon_id)

            manifests = resources.get(harness.RT_MANIFEST, {})
            h.expect(1 in manifests, "manifest is not resource 1 (found %r)" % list(manifests))
            if 1 in manifests:
                manifest = next(iter(manifests[1].values())).decode("utf-8")
                for needle in ('level="asInvoker"', "Microsoft.Windows.Common-Controls", "SegmentHeap",
                               "PerMonitorV2", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                               "{e2011457-1546-43c5-a5fe-008deee3d3f0}"):
                    h.expect(needle in manifest, "manifest lacks " + needle)

            version = pe.version_strings()
            h.expect_equal(version.get("OriginalFilename"), EXE_NAME, "OriginalFilename")
            h.expect_equal(version.get("FileDescription"), "Vorlane launcher", "FileDescription")
            for name in ("CompanyName", "ProductName", "FileVersion", "ProductVersion"):
                h.expect(version.get(name), "version block lacks " + name)

        @h.case("resources from unusual settings: escapes and non-ASCII kept, empty setting left out")
        def _():
            # Configure a scratch cross build and compile only its resource script.
            build = h.scratch_dir("settings-build")
            toolchain = os.path.join(h.source, "cmake", "mingw-w64.cmake")
            settings = {4: "", 5: 'say "hi" \u00e9 C:\\temp\\new\\', 6: "y\\t"}
            product = 'Caf\u00e9 "Q" \\n'
            configure = ["cmake", "-S", h.source, "-B", build, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
                         "-DVORLANE_PRODUCT_NAME=" + product, "-DVORLANE_COMPANY_NAME=\u00c7o"]
            configure += ["-DVORLANE_SETTING_%d=%s" % (sid, value) for sid, value in settings.items()]
            done = subprocess.run(configure, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if not h.expect(done.returncode == 0, "configure failed:\n" + done.stdout.decode(errors="replace")[-3000:]):
                return
            res = os.path.join(build, "launcher.res.o")
            exe = os.path.join(build, "resources.exe")
            main_c = os.path.join(build, "main.c")
            with open(main_c, "w") as f:
                f.write("int main(void) { return 0; }\n")
            subprocess.run([harness.MINGW_WINDRES, os.path.join(build, "launcher.rc"), "-O", "coff", "-o", res],
                           check=True)
            subprocess.run([harness.MINGW_CC, "-o", exe, main_c, res], check=True)
            pe = harness.PeImage.load(exe)
            h.expect_equal(pe.strings(), {5: settings[5], 6: settings[6], 7: fixtures.PUBLISHER}, "string table")
            version = pe.version_strings()
            h.expect_equal(version.get("ProductName"), product, "ProductName")
            h.expect_equal(version.get("CompanyName"), "\u00c7o", "CompanyName")

        @h.case("nothing appended: '7z archive not found', exit 1, cache untouched")
        def _():
            prefix = h.new_prefix()
            result = prefix.run(h.launcher)
            h.expect_status(result, 1)
            h.expect_boxes(result, [("Error", "7z archive not found")])
            h.expect_equal(os.listdir(prefix.appdata), [], "local app data after the run")

            # Arguments, another working folder and several copies at once change nothing.
            other = h.scratch_dir("elsewhere")
            runs = [(h.launcher, ["first arg", "--x"], other)] * 3
            for i, parallel in enumerate(prefix.run_many(runs)):
                h.expect_status(parallel, 1, "parallel run %d" % i)
                h.expect_boxes(parallel, [("Error", "7z archive not found")], "parallel run %d" % i)

        @h.case("own path of 2047 characters runs; 2048 and longer: 'Cannot resolve own module path', exit -1")
        def _():
            prefix = h.new_prefix()
            fits = prefix.run(place_at_length(h, PATH_CAPACITY - 1, "fits"))
            h.expect_status(fits, 1, "2047 characters: exit status")
            h.expect_boxes(fits, [("Error", "7z archive not found")], "2047 characters: boxes")
            for length in (PATH_CAPACITY, 3000):
                cut = prefix.run(place_at_length(h, length, "cut%d" % length))
                h.expect_status(cut, -1, "%d characters: exit status" % length)
                h.expect_boxes(cut, [("Error", "Cannot resolve own module path")], "%d characters: boxes" % length)
            h.expect_equal(os.listdir(prefix.appdata), [], "local app data after the runs")

    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
