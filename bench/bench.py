#!/usr/bin/env python3
"""The benchmark's Python half, called by bench/run.sh:

    bench.py prepare --work DIR --launcher EXE --pack TOOL [--payload-mib N] [--big-payload-mib N]
        the ~11 MB runtime library (built with mingw, signed by a throwaway CA),
        the payload, the packaged exe, its archive alone, a trivial exe, and
        the same application with a large payload (0 MiB: none)
    bench.py wine --work DIR --win64 DIR --source DIR [--reps N] --json OUT
        whole-process starts under Wine with a persistent server
    bench.py report --work DIR --native JSON [--wine JSON] --json OUT
        the table, the targets, and everything as one JSON file
"""
import argparse
import glob
import json
import os
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "wine"))
import harness  # noqa: E402

MINGW_CXX = "x86_64-w64-mingw32-g++-posix"
MINGW_CC = "x86_64-w64-mingw32-gcc"
MINGW_STRIP = "x86_64-w64-mingw32-strip"
MINGW_WINDRES = "x86_64-w64-mingw32-windres"
BULK_SIZE = 11 * 1000 * 1000  # with the library's own code, about 11 MB
MIB = 1 << 20
SDK_PIECE = 32768  # the SDK-CRC floor's piece: the checks' piece before they used the launcher's CRC
SIGNATURE = b"7z\xbc\xaf\x27\x1c"


def run(command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def output(command):
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        return done.stdout.decode("utf-8", "replace").strip()
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"


# ---- prepare -----------------------------------------------------------------------

def code_sources():
    """x86-64 PE code on this machine: the mingw runtime DLLs first, then Wine's
    own PE libraries, each in name order."""
    mingw = sorted(glob.glob("/usr/lib/gcc/x86_64-w64-mingw32/*/*.dll") +
                   glob.glob("/usr/x86_64-w64-mingw32/lib/*.dll"))
    wine = sorted(glob.glob("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*.dll"))
    return mingw + wine


def make_bulk(path, scratch):
    """BULK_SIZE bytes of stripped x86-64 code, the same bytes on every run."""
    if os.path.exists(path) and os.path.getsize(path) == BULK_SIZE:
        return
    os.makedirs(scratch, exist_ok=True)
    data = bytearray()
    for source in code_sources():
        stripped = os.path.join(scratch, os.path.basename(source))
        done = subprocess.run([MINGW_STRIP, "-o", stripped, source], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        if done.returncode != 0:
            continue
        with open(stripped, "rb") as f:
            data += f.read()
        os.unlink(stripped)
        if len(data) >= BULK_SIZE:
            break
    if len(data) < BULK_SIZE:
        raise SystemExit("not enough x86-64 code found to fill %d bytes" % BULK_SIZE)
    with open(path, "wb") as f:
        f.write(data[:BULK_SIZE])


def make_payload(path, size):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    rng = random.Random(20260)
    with open(path + ".tmp", "wb") as f:
        left = size
        while left > 0:
            piece = min(left, 16 * MIB)
            f.write(rng.randbytes(piece))
            left -= piece
    os.replace(path + ".tmp", path)


def archive_start(exe):
    with open(exe, "rb") as f:
        head = f.read(4096)
        data = head + f.read(8 * MIB)
    pe = harness.PeImage(head)  # the section table lies in the first 4096 bytes
    at = data.find(SIGNATURE, pe.raw_end())
    if at < 0:
        raise SystemExit("no archive found in " + exe)
    return at


def prepare(args):
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    bulk = os.path.join(work, "bulk.bin")
    make_bulk(bulk, os.path.join(work, "strip"))

    unsigned = os.path.join(work, "runtime-unsigned.dll")
    run([MINGW_CXX, "-shared", "-O2", "-s", "-municode", "-static", "-static-libgcc", "-static-libstdc++",
         '-DBULK_FILE="%s"' % bulk, "-o", unsigned, os.path.join(HERE, "runtime_dll.cpp"),
         os.path.join(HERE, "bulk.S")])
    chain = harness.make_signing_chain(os.path.join(work, "chain"))
    runtime = os.path.join(work, "VorlaneStub.dll")
    if os.path.exists(runtime):
        os.unlink(runtime)  # the signing tool never overwrites
    harness.sign_image(unsigned, runtime, chain)

    payload = os.path.join(work, "payload-%dmib.bin" % args.payload_mib)
    make_payload(payload, args.payload_mib * MIB)

    exe = os.path.join(work, "app.exe")
    run([args.pack, "--launcher", args.launcher, "--payload", payload, "--runtime", runtime, "-o", exe, "-q"])
    big_exe = None
    if args.big_payload_mib > 0:
        big_payload = os.path.join(work, "payload-%dmib.bin" % args.big_payload_mib)
        make_payload(big_payload, args.big_payload_mib * MIB)
        big_exe = os.path.join(work, "app-big.exe")
        run([args.pack, "--launcher", args.launcher, "--payload", big_payload, "--runtime", runtime,
             "-o", big_exe, "-q"])
    start = archive_start(exe)
    archive = os.path.join(work, "app.7z")
    with open(exe, "rb") as src, open(archive, "wb") as dst:
        src.seek(start)
        shutil.copyfileobj(src, dst, 4 * MIB)

    trivial = os.path.join(work, "trivial.exe")
    run([MINGW_CC, "-municode", "-mwindows", "-O2", "-s", "-static", "-o", trivial, os.path.join(HERE, "trivial.c")])
    imports = os.path.join(work, "imports.exe")
    rc = os.path.join(work, "imports.rc")
    with open(rc, "w") as f:
        f.write('1 24 "%s"\n' % os.path.join(os.path.dirname(HERE), "resources", "launcher.manifest"))
    run([MINGW_WINDRES, rc, "-O", "coff", "-o", rc + ".res"])
    run([MINGW_CC, "-municode", "-mwindows", "-O2", "-s", "-static", "-o", imports, os.path.join(HERE, "imports.c"),
         rc + ".res", "-lcomctl32", "-lshell32", "-luser32"])
    verify = os.path.join(work, "verify.exe")
    run([MINGW_CC, "-municode", "-mwindows", "-O2", "-s", "-static", "-o", verify, os.path.join(HERE, "verify.c"),
         "-lwintrust"])

    facts = {"exe": exe, "big_exe": big_exe, "archive": archive, "runtime": runtime, "root": chain["root"],
             "payload": payload,
             "trivial": trivial, "imports": imports, "verify": verify, "launcher": os.path.abspath(args.launcher), "archive_start": start,
             "exe_size": os.path.getsize(exe), "runtime_size": os.path.getsize(runtime),
             "payload_size": os.path.getsize(payload), "archive_size": os.path.getsize(archive),
             "launcher_size": os.path.getsize(args.launcher)}
    with open(os.path.join(work, "prepared.json"), "w") as f:
        json.dump(facts, f, indent=2)
    print("  runtime library %.2f MB, payload %d MiB, packaged exe %.1f MB%s"
          % (facts["runtime_size"] / 1e6, args.payload_mib, facts["exe_size"] / 1e6,
             ", large payload %d MiB" % args.big_payload_mib if big_exe else ""))


# ---- Wine ----------------------------------------------------------------------------

def cmake_setting(build_dir, name, default):
    path = os.path.join(build_dir, "CMakeCache.txt")
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.rstrip("\n").split("=", 1)[1]
    return default


# Calls whose time a traced start shows apart; the trace costs little because
# only these are traced.
TRACED = ["kernel32.GetProcAddress", "kernel32.ExitProcess", "shell32.SHGetFolderPathW", "wintrust.WinVerifyTrust",
          "kernel32.LoadLibraryExW"]


def trace_breakdown(stderr):
    """Milliseconds per phase of one start from its +timestamp,+relay trace."""
    events = []
    for line in stderr.splitlines():
        head, _, rest = line.partition(":")
        try:
            t = float(head) * 1e3
        except ValueError:
            continue
        events.append((t, rest))
    if not events:
        return None
    start = events[0][0]
    main = exit_ = trust_in = trust_out = None
    folder = 0.0
    folder_in = None
    for t, rest in events:
        if main is None and '"SetDefaultDllDirectories"' in rest:
            main = t
        elif "Call shell32.SHGetFolderPathW" in rest:
            folder_in = t
        elif "Ret  shell32.SHGetFolderPathW" in rest and folder_in is not None:
            folder += t - folder_in
            folder_in = None
        elif trust_in is None and "Call wintrust.WinVerifyTrust" in rest:
            trust_in = t
        elif trust_out is None and "Ret  wintrust.WinVerifyTrust" in rest:
            trust_out = t
        elif "Call KERNEL32.ExitProcess" in rest:
            exit_ = t
    if None in (main, trust_in, trust_out, exit_):
        return None
    return {"before_main": main - start, "trust_check": trust_out - trust_in, "local_appdata_queries": folder,
            "launcher_own": (exit_ - main) - (trust_out - trust_in) - folder, "main_to_exit": exit_ - main}


def wine(args):
    with open(os.path.join(args.work, "prepared.json")) as f:
        facts = json.load(f)
    h = harness.Harness(args.win64, None, args.source)
    results = {"trivial": [], "imports": [], "verify": [], "cold": [], "warm": []}
    # CPU time of each start's own process (user + system, from the rusage of
    # the waited children; the persistent server is not among them): on a busy
    # machine it leaves out the time others held the cores.
    cpu = {key: [] for key in results}
    with h:
        prefix = h.new_prefix(local_appdata=True)
        prefix.trust_root(facts["root"])
        prefix.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ", ";".join(TRACED))
        root = os.path.join(prefix.appdata, "Vorlane Runtime")
        installed = os.path.join(root, "202600", "VorlaneStub.dll")

        def children_cpu():
            usage = resource.getrusage(resource.RUSAGE_CHILDREN)
            return usage.ru_utime + usage.ru_stime

        def start(exe, what, arguments=(), trace=False):
            env = {"WINEDEBUG": "-all,+timestamp,+relay"} if trace else None
            before = children_cpu()
            result = prefix.start(exe, arguments, relay=False, env=env).wait()
            result.cpu = children_cpu() - before
            if result.timed_out or result.status != 0:
                raise SystemExit("%s under Wine ended with %r (timed out: %r)" % (what, result.status,
                                                                                  result.timed_out))
            return result

        def install():
            # The library as an earlier start left it: the next start finds it current.
            os.makedirs(os.path.dirname(installed), exist_ok=True)
            if not os.path.exists(installed):
                shutil.copyfile(facts["runtime"], installed)

        # Round 0 starts the server, fills the caches and is not recorded.
        for round_ in range(args.reps + 1):
            sys.stderr.write("\r  %-24s %3d/%d" % ("Wine starts", round_, args.reps))
            samples = {"trivial": start(facts["trivial"], "the trivial exe"),
                       "imports": start(facts["imports"], "the launcher's imports alone")}
            install()
            samples["verify"] = start(facts["verify"], "the trust check and load", [harness.wine_path(installed)])
            shutil.rmtree(root, ignore_errors=True)
            samples["cold"] = start(facts["exe"], "a cold start")
            install()
            samples["warm"] = start(facts["exe"], "a warm start")
            if not os.path.exists(installed):
                raise SystemExit("a warm start removed the library it did not install")
            if round_ > 0:
                for key, value in samples.items():
                    results[key].append(value.elapsed)
                    cpu[key].append(value.cpu)
        sys.stderr.write("\n")
        install()
        results["trace_warm"] = trace_breakdown(start(facts["exe"], "a traced warm start", trace=True).stderr)
        shutil.rmtree(root, ignore_errors=True)
        results["trace_cold"] = trace_breakdown(start(facts["exe"], "a traced cold start", trace=True).stderr)
    results["cpu"] = cpu
    results["setting_6"] = cmake_setting(args.win64, "VORLANE_SETTING_6", "Y")
    results["launcher"] = os.path.join(args.win64, "VorlaneLauncher.exe")
    results["build_type"] = cmake_setting(args.win64, "CMAKE_BUILD_TYPE", "unknown")
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)


# ---- instruction counts -----------------------------------------------------------------

def instructions(command):
    """Instructions one start executes, counted by callgrind: the same on every
    run, however busy the machine is."""
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + command,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise SystemExit("under callgrind, %s failed:\n%s" % (" ".join(command), done.stderr.decode()[-2000:]))
    for line in done.stderr.decode("utf-8", "replace").splitlines():
        if "I   refs:" in line:
            return int(line.split("I   refs:", 1)[1].strip().replace(",", ""))
    raise SystemExit("callgrind reported no instruction count")


def count(args):
    with open(os.path.join(args.work, "prepared.json")) as f:
        facts = json.load(f)
    with open(args.native) as f:
        native = json.load(f)["facts"]
    work = os.path.join(os.path.abspath(args.work), "callgrind")
    appdata = os.path.join(work, "appdata")
    root = os.path.join(appdata, "Vorlane Runtime")
    library = os.path.join(root, "202600", "VorlaneStub.dll")
    floor_out = os.path.join(work, "floor-out.dll")
    os.makedirs(appdata, exist_ok=True)
    launch = [args.bench, "child", "launch", facts["exe"], appdata]

    def crc(library, piece, how):
        return [args.bench, "child", "floor-crc", facts["exe"], str(native["payload_offset"]),
                str(native["payload_size"]), library, str(piece), how]
    piece = json.load(open(args.native))["micro"]["piece"]
    result = {}
    shutil.rmtree(root, ignore_errors=True)
    sys.stderr.write("  callgrind: cold start\n")
    result["cold"] = instructions(launch)
    sys.stderr.write("  callgrind: warm start\n")
    result["warm"] = instructions(launch)
    sys.stderr.write("  callgrind: CRC floors\n")
    result["floor_crc"] = instructions(crc(library, piece, "launcher"))
    result["floor_sdk_crc"] = instructions(crc(library, SDK_PIECE, "sdk"))
    result["floor_sdk_payload"] = instructions(crc("/dev/null", SDK_PIECE, "sdk"))
    sys.stderr.write("  callgrind: decode-and-write floor\n")
    if os.path.exists(floor_out):
        os.unlink(floor_out)
    result["floor_decode_write"] = instructions([args.bench, "child", "floor-decode", facts["exe"], floor_out])
    shutil.rmtree(work, ignore_errors=True)
    with open(args.json, "w") as f:
        json.dump(result, f, indent=2)


# ---- report ----------------------------------------------------------------------------

def median(values):
    return statistics.median(values) if values else float("nan")


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "load_average": os.getloadavg(),
        "compiler": output(["c++", "--version"]).splitlines()[0],
        "cross_compiler": output([MINGW_CXX, "--version"]).splitlines()[0],
        "sevenzip": next((l for l in output(["7zz", "i"]).splitlines() if l.startswith("7-Zip")), "unknown"),
        "wine": output([harness.WINE, "--version"]),
        "build": "build/bench, CMAKE_BUILD_TYPE=Release, default options",
    }


def report(args):
    with open(os.path.join(args.work, "prepared.json")) as f:
        facts = json.load(f)
    with open(args.native) as f:
        native = json.load(f)
    wine_results = None
    if args.wine and os.path.exists(args.wine):
        with open(args.wine) as f:
            wine_results = json.load(f)
    s = native["samples"]
    m = native["micro"]
    nf = native["facts"]
    piece_kib = m["piece"] // 1024
    big = bool(s["big_warm"]) if "big_warm" in s else False

    def med(series, key):
        return median(s[series][key]) * 1e-6  # ns to ms

    # Elapsed and CPU time, in ms. A start waits for nothing but the CPU (every
    # byte comes from the page cache), so on an idle machine both agree; on a
    # busy one the CPU time leaves out the time others held the core, and the
    # verdicts use it.
    t = {
        "warm": (med("warm", "ns"), med("warm", "cpu_ns")),
        "cold": (med("cold", "ns"), med("cold", "cpu_ns")),
        "sdk": (med("floor_sdk_crc", "ns"), med("floor_sdk_crc", "cpu_ns")),
        "sdk_payload": (med("floor_sdk_crc", "ns_payload"), med("floor_sdk_crc", "cpu_ns_payload")),
        "crc": (med("floor_crc", "ns"), med("floor_crc", "cpu_ns")),
        "read": (med("floor_read", "ns"), med("floor_read", "cpu_ns")),
        "dw": (med("floor_decode_write", "ns"), med("floor_decode_write", "cpu_ns")),
        "cold_process": (med("cold", "wall_ns"), med("cold", "wall_cpu_ns")),
        "seven_process": (med("sevenzip_x", "wall_ns"), med("sevenzip_x", "wall_cpu_ns")),
    }
    t["sdk_dw"] = (t["dw"][0] + t["sdk_payload"][0], t["dw"][1] + t["sdk_payload"][1])
    t["cold_process_less_payload"] = (t["cold_process"][0] - t["sdk_payload"][0],
                                      t["cold_process"][1] - t["sdk_payload"][1])
    if big:
        t["big_warm"] = (med("big_warm", "ns"), med("big_warm", "cpu_ns"))
        t["big_warm_process"] = (med("big_warm", "wall_ns"), med("big_warm", "wall_cpu_ns"))
        t["big_crc"] = (med("big_floor_crc", "ns"), med("big_floor_crc", "cpu_ns"))
        t["big_read"] = (med("big_floor_read", "ns"), med("big_floor_read", "cpu_ns"))

    def ratio(a, b, i):
        return t[a][i] / t[b][i]

    folder = nf["folder_unpack_size"]
    budget_kb = (folder + 4 * MIB) / 1024
    cold_peak = max(s["cold"]["hwm_kb"])
    cold_base = median(s["cold"]["base_kb"])
    warm_peak = max(s["warm"]["hwm_kb"])
    warm_base = median(s["warm"]["base_kb"])
    cold_growth = max(h - b for h, b in zip(s["cold"]["hwm_kb"], s["cold"]["base_kb"]))
    warm_growth = max(h - b for h, b in zip(s["warm"]["hwm_kb"], s["warm"]["base_kb"]))
    payload = nf["payload_size"]
    exe_size = nf["exe_size"]
    archive_size = exe_size - nf["archive_start"]
    library = nf["library_size"]
    warm_read = median(s["warm"]["rchar"])
    cold_read = median(s["cold"]["rchar"])
    floor_read = median(s["floor_crc"]["rchar"])  # the payload once, the library twice

    def gbps(size, ns):
        return size / ns if ns else float("nan")  # bytes per ns is GB/s

    big_name = "warm start, %d MiB payload" % round(native["big"]["payload_size"] / MIB) if big else ""
    timed = [
        ("warm start (cache current)", "warm", "SDK-CRC floor, 32 KiB pieces", "sdk"),
        ("warm start (cache current)", "warm", "CRC floor, %d KiB pieces" % piece_kib, "crc"),
        ("warm start (cache current)", "warm", "plain read floor, %d KiB pieces" % piece_kib, "read"),
    ]
    if big:
        timed += [(big_name, "big_warm", "CRC floor, %d KiB pieces" % piece_kib, "big_crc"),
                  (big_name, "big_warm", "plain read floor, %d KiB pieces" % piece_kib, "big_read")]
    timed += [
        ("cold start (empty cache)", "cold", "decode-and-write floor", "dw"),
        ("cold start", "cold", "SDK payload CRC + decode-and-write", "sdk_dw"),
        ("cold start, whole process", "cold_process", "taskset -c 0 7zz x", "seven_process"),
        ("  the same less the SDK payload check's floor", "cold_process_less_payload", "taskset -c 0 7zz x",
         "seven_process"),
    ]
    lines = []
    info = machine()
    lines.append("Machine: %s, %s cores, Linux %s, load average %.1f at the end"
                 % (info["cpu"], info["cores"], info["kernel"], info["load_average"][0]))
    lines.append("Compilers: %s (%s); %s" % (info["compiler"], info["build"], info["cross_compiler"]))
    lines.append("Tools: %s; %s" % (info["sevenzip"], info["wine"]))
    lines.append("Package: payload %.0f MiB stored, runtime library %.2f MB (BCJ2 + LZMA, %.2f MB packed), exe %.1f MB%s"
                 % (payload / MIB, library / 1e6, nf["packed_size"] / 1e6, exe_size / 1e6,
                    "; the same with a %.0f MiB payload" % (native["big"]["payload_size"] / MIB) if big else ""))
    lines.append("Medians of %d rounds; every start is a fresh process pinned to CPU %d"
                 % (nf["reps"], nf["cpu"]))
    lines.append("Every warm floor reads the payload once and the library twice, what a current start without a pin "
                 "reads (the up-to-date test, then the copy check); a pinned one (as timed here) reads the payload only")
    lines.append("")
    lines.append("%-44s %10s %10s   %-34s %10s %10s %7s %7s" % ("native, simulator", "elapsed", "CPU", "against",
                                                             "elapsed", "CPU", "ratio", "(CPU)"))
    rows = []
    for name, key, against, ref in timed:
        r_wall, r_cpu = ratio(key, ref, 0), ratio(key, ref, 1)
        lines.append("%-44s %7.2f ms %7.2f ms   %-34s %7.2f ms %7.2f ms %7.3f %7.3f"
                     % (name, t[key][0], t[key][1], against, t[ref][0], t[ref][1], r_wall, r_cpu))
        rows.append({"name": name, "ms": t[key], "against": against, "against_ms": t[ref],
                     "ratio_elapsed": r_wall, "ratio_cpu": r_cpu})
    counts = None
    if args.count and os.path.exists(args.count):
        with open(args.count) as f:
            counts = json.load(f)
        for name, key, against, refs in (
                ("warm start, instructions", "warm", "SDK-CRC floor, 32 KiB pieces", ["floor_sdk_crc"]),
                ("warm start, instructions", "warm", "CRC floor, %d KiB pieces" % piece_kib, ["floor_crc"]),
                ("cold start, instructions", "cold", "decode-and-write floor", ["floor_decode_write"]),
                ("cold start, instructions", "cold", "SDK payload CRC + decode-and-write",
                 ["floor_sdk_payload", "floor_decode_write"])):
            ref = sum(counts[r] for r in refs)
            lines.append("%-44s %9.1f M %10s   %-34s %9.1f M %10s %7.3f" % (name, counts[key] / 1e6, "", against,
                                                                           ref / 1e6, "", counts[key] / ref))
            rows.append({"name": name, "instructions": counts[key], "against": against, "against_instructions": ref,
                         "ratio": counts[key] / ref})
        lines.append("  (instructions under valgrind, whose CPU identification offers no AVX-512 nor VPCLMULQDQ: "
                     "the CRC takes its 128-bit kernel there)")
    lines.append("  warm floors, payload / library twice (CPU): SDK-CRC %.2f / %.2f ms, CRC %.2f / %.2f ms, "
                 "plain read %.2f / %.2f ms" % (
                     t["sdk_payload"][1], med("floor_sdk_crc", "cpu_ns_library"), med("floor_crc", "cpu_ns_payload"),
                     med("floor_crc", "cpu_ns_library"), med("floor_read", "cpu_ns_payload"),
                     med("floor_read", "cpu_ns_library")))
    lines.append("  decode-and-write floor: read %.2f, decode %.2f, CRC %.2f, write %.2f ms (elapsed)" % (
        med("floor_decode_write", "ns_read"), med("floor_decode_write", "ns_decode"),
        med("floor_decode_write", "ns_crc"), med("floor_decode_write", "ns_write")))
    if big:
        lines.append("  %s, whole process: %.1f ms CPU, %.1f ms elapsed" % (
            big_name, t["big_warm_process"][1], t["big_warm_process"][0]))

    # Every CRC-32 kernel this CPU runs, forced in warm starts of its own; the
    # targets below are judged on the normal starts, with the kernel they pick.
    kernels = native.get("kernels", {"picked": "?", "memory_piece_ns": {}})
    picked = kernels["picked"]
    kernel_rows = []
    lines.append("")
    lines.append("CRC-32 kernels, each forced (a normal start picks %s)" % picked)
    lines.append("  %-18s %12s %12s %10s %8s %26s %8s" % (
        "kernel", "hot buffer", "warm, CPU", "x SDK-CRC", "<= 0.5", big_name + ", CPU" if big else "large payload",
        "<= 0.2 s"))
    for name, piece_ns in kernels["memory_piece_ns"].items():
        warm_cpu = med("warm_kernel_" + name, "cpu_ns")
        row = {"kernel": name, "picked": name == picked, "memory_gbps": gbps(m["piece"], piece_ns),
               "warm_cpu_ms": warm_cpu, "warm_vs_sdk_cpu": warm_cpu / t["sdk"][1]}
        big_text = big_mark = "not run"
        if big:
            row["big_warm_process_cpu_ms"] = med("big_warm_kernel_" + name, "wall_cpu_ns")
            big_text = "%.1f ms" % row["big_warm_process_cpu_ms"]
            big_mark = "yes" if row["big_warm_process_cpu_ms"] <= 200 else "no"
        lines.append("  %-18s %7.2f GB/s %9.2f ms %10.3f %8s %26s %8s" % (
            name + (" *" if name == picked else ""), row["memory_gbps"], warm_cpu, row["warm_vs_sdk_cpu"],
            "yes" if row["warm_vs_sdk_cpu"] <= 0.5 else "no", big_text, big_mark))
        kernel_rows.append(row)
    lines.append("  (hot buffer: the kernel alone over a hot %d KiB buffer; the large payload's warm starts are "
                 "whole processes)" % piece_kib)
    lines.append("")
    other = [
        ("open, probe, search, open (stages 2-8), CPU", "%.1f us" % (m["probe_search_open_ns"] / 1e3),
         "target 1000 us"),
        ("payload check alone (stage 9), CPU", "%.2f GB/s" % gbps(payload, m["payload_check_ns"]),
         "floor %.2f GB/s (read + CRC, %d KiB pieces)" % (gbps(payload, m["payload_floor_ns"]), piece_kib)),
        ("SDK CrcCalc over the payload in memory, CPU", "%.2f GB/s" % gbps(m["sdk_crc_payload_memory_bytes"],
                                                                         m["sdk_crc_payload_memory_ns"]),
         "%.0f MiB in one call, no file read" % (m["sdk_crc_payload_memory_bytes"] / MIB)),
        ("library open + CRC (HandleCrc), CPU", "%.2f GB/s" % gbps(library, m["library_crc_ns"]),
         "floor %.2f GB/s" % gbps(library, m["library_floor_ns"])),
        ("SDK CRC-32 alone, hot 32 KiB buffer, CPU", "%.2f GB/s" % gbps(32768, m["sdk_crc_memory_32k_ns"]), ""),
        ("launcher's CRC-32 alone, hot %d KiB buffer" % piece_kib, "%.2f GB/s" % gbps(m["piece"],
                                                                                    m["crc_memory_piece_ns"]),
         "the kernel a normal start picks here: %s" % picked),
        ("peak RSS, cold start", "%.1f MiB" % (cold_peak / 1024),
         "%.1f MiB at entry, budget %.1f MiB" % (cold_base / 1024, budget_kb / 1024)),
        ("peak RSS growth, cold start", "%.1f MiB" % (cold_growth / 1024),
         "runtime folder %.1f MiB" % (folder / MIB)),
        ("peak RSS, warm start", "%.1f MiB" % (warm_peak / 1024), "%.1f MiB at entry" % (warm_base / 1024)),
        ("peak RSS growth, warm start", "%.2f MiB" % (warm_growth / 1024), "payload %.0f MiB" % (payload / MIB)),
        ("bytes read, warm start", "%.2f MB" % (warm_read / 1e6),
         "floor %.2f MB (payload once, library twice)" % (floor_read / 1e6)),
        ("bytes read, cold start", "%.2f MB" % (cold_read / 1e6),
         "archive + library %.2f MB (the copy check reads what was written)" % ((archive_size + library) / 1e6)),
    ]
    for name, value, note in other:
        lines.append("%-44s %14s   %s" % (name, value, note))

    wine_rows = []
    wine_above = wine_above_cpu = None
    if wine_results:
        base = median(wine_results["trivial"]) * 1e3
        for name, key in (("trivial exe", "trivial"), ("the launcher's imports alone (imports.exe)", "imports"),
                          ("trust check + library load (verify.exe)", "verify"),
                          ("packaged exe, warm start", "warm"), ("packaged exe, cold start", "cold")):
            value = median(wine_results[key]) * 1e3
            wine_rows.append({"name": name, "median_ms": value, "over_trivial_ms": value - base})
        wcpu = wine_results["cpu"]
        base_cpu = median(wcpu["trivial"]) * 1e3
        for row, key in zip(wine_rows, ("trivial", "imports", "verify", "warm", "cold")):
            row["cpu_ms"] = median(wcpu[key]) * 1e3
            row["cpu_over_trivial_ms"] = row["cpu_ms"] - base_cpu
        # The platform's own work of a warm start: a process that checks the same
        # library's signature as the launcher asks it, loads the library and ends.
        wine_above = (median(wine_results["warm"]) - median(wine_results["verify"])) * 1e3
        wine_above_cpu = (median(wcpu["warm"]) - median(wcpu["verify"])) * 1e3
        lines.append("")
        lines.append("%-44s %10s %16s %10s %16s" % ("Wine, whole process, persistent server", "elapsed", "over trivial",
                                                    "CPU", "over trivial"))
        for row in wine_rows:
            lines.append("%-44s %7.1f ms %13.1f ms %7.1f ms %13.1f ms" % (
                row["name"], row["median_ms"], row["over_trivial_ms"], row["cpu_ms"], row["cpu_over_trivial_ms"]))
        lines.append("  warm start above the platform's own work (verify.exe): %.1f ms CPU, %.1f ms elapsed (the SDK-CRC "
                     "floor of the same bytes: %.1f ms CPU natively); the launcher's imports cost %.1f ms CPU over "
                     "the trivial exe" % (wine_above_cpu, wine_above, t["sdk"][1],
                                          (median(wcpu["imports"]) - median(wcpu["trivial"])) * 1e3))
        for key, name in (("trace_warm", "warm"), ("trace_cold", "cold")):
            b = wine_results.get(key)
            if b:
                lines.append("  traced %s start: %.0f ms before the entry point, %.0f ms signature check, %.0f ms "
                             "local app data queries, %.0f ms the launcher's own stages" % (
                                 name, b["before_main"], b["trust_check"], b["local_appdata_queries"],
                                 b["launcher_own"]))
        lines.append("  (launcher: build/win64, %s, setting 6 = %r: a cold start also removes what it installed)"
                     % (wine_results["build_type"], wine_results["setting_6"]))

    def by_count(key, ref):
        return ", %.3f x instructions" % (counts[key] / counts[ref]) if counts else ""

    def sum_count(key, refs):
        return ", %.3f x instructions" % (counts[key] / sum(counts[r] for r in refs)) if counts else ""

    # The bench's packages carry the pin: a warm start here is a pinned one,
    # which reads the payload and nothing else of the cache.
    payload_read_cpu = med("floor_read", "cpu_ns_payload")
    avx2_series = "warm_kernel_vpclmul-avx2"
    avx2_cpu = med(avx2_series, "cpu_ns") if s.get(avx2_series, {}).get("cpu_ns") else None
    targets = [
        ("warm start <= 0.5 x SDK-CRC floor", ratio("warm", "sdk", 1) <= 0.5,
         "%.3f x CPU, %.3f x elapsed%s" % (ratio("warm", "sdk", 1), ratio("warm", "sdk", 0),
                                           by_count("warm", "floor_sdk_crc"))),
        ("pinned warm start <= 1.2 x plain read floor", ratio("warm", "read", 1) <= 1.2,
         "%.3f x CPU, %.3f x elapsed (the payload's plain read alone: %.3f x CPU)"
         % (ratio("warm", "read", 1), ratio("warm", "read", 0), t["warm"][1] / payload_read_cpu)),
        ("the same with the AVX2 kernel forced", avx2_cpu is not None and avx2_cpu / t["read"][1] <= 1.2,
         "%.3f x CPU (%.2f ms)" % (avx2_cpu / t["read"][1], avx2_cpu) if avx2_cpu is not None
         else "not run (this CPU has no VPCLMULQDQ with AVX2)"),
        ("1 GiB payload warm-starts in <= 0.2 s CPU",
         big and native["big"]["payload_size"] >= 1 << 30 and t["big_warm_process"][1] <= 200,
         ("%.1f ms CPU, whole process (%.0f MiB payload)" % (t["big_warm_process"][1],
                                                             native["big"]["payload_size"] / MIB))
         if big else "not run (bench/run.sh --big-payload-mib 0)"),
        ("cold start <= 1.0 x SDK payload CRC + decode-and-write", ratio("cold", "sdk_dw", 1) <= 1.0,
         "%.3f x CPU, %.3f x elapsed%s" % (ratio("cold", "sdk_dw", 1), ratio("cold", "sdk_dw", 0),
                                           sum_count("cold", ["floor_sdk_payload", "floor_decode_write"]))),
        ("peak RSS <= runtime folder + 4 MiB", cold_peak <= budget_kb,
         "%.1f MiB (growth %.1f) <= %.1f MiB" % (cold_peak / 1024, cold_growth / 1024, budget_kb / 1024)),
        ("payload never held in memory", warm_growth * 1024 < payload / 8,
         "warm growth %.2f MiB for a %.0f MiB payload" % (warm_growth / 1024, payload / MIB)),
        ("exe never read whole, only the library twice", warm_read - floor_read <= 64 * 1024
         and cold_read - (archive_size + library) <= 64 * 1024 and cold_growth * 1024 < archive_size / 4,
         "warm reads floor + %.1f KiB, cold reads archive + library + %.1f KiB"
         % ((warm_read - floor_read) / 1024, (cold_read - archive_size - library) / 1024)),
        ("archive search + open <= 1 ms (stages 2-8)", m["probe_search_open_ns"] <= 1e6,
         "%.1f us" % (m["probe_search_open_ns"] / 1e3)),
        ("Wine: warm start above verify.exe <= SDK-CRC floor",
         wine_above is not None and wine_above_cpu <= t["sdk"][1],
         "%.1f ms CPU (%.1f ms elapsed) vs %.1f ms" % (wine_above_cpu, wine_above, t["sdk"][1])
         if wine_above is not None else "not run (--no-wine)"),
    ]
    lines.append("")
    lines.append("Targets (timed ones judged on CPU time, with the CRC-32 kernel a normal start picks: %s)" % picked)
    for name, met, detail in targets:
        lines.append("  [%s] %-52s %s" % ("met" if met else "MISSED", name, detail))
    lines.append("  retired, as the payload is checked before anything is written (figures only):")
    lines.append("    cold start vs decode-and-write floor %.3f x CPU; whole cold start vs single-core 7zz x %.3f x CPU"
                 % (ratio("cold", "dw", 1), ratio("cold_process", "seven_process", 1)))
    print("\n".join(lines))

    result = {"machine": info, "prepared": facts, "native": native, "wine": wine_results, "instructions": counts,
              "summary": {"timed": rows, "wine": wine_rows, "kernels": kernel_rows,
                          "other": [{"name": n, "value": v, "note": note} for n, v, note in other],
                          "targets": [{"name": n, "met": bool(ok), "detail": d} for n, ok, d in targets]},
              "table": lines}
    with open(args.json, "w") as f:
        json.dump(result, f, indent=2)
    print("\nwritten: %s" % args.json)


def main():
    parser = argparse.ArgumentParser(description="the launch benchmark's Python half")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("prepare")
    p.add_argument("--work", required=True)
    p.add_argument("--launcher", required=True)
    p.add_argument("--pack", required=True)
    p.add_argument("--payload-mib", type=int, default=64)
    p.add_argument("--big-payload-mib", type=int, default=0)
    w = sub.add_parser("wine")
    w.add_argument("--work", required=True)
    w.add_argument("--win64", required=True)
    w.add_argument("--source", required=True)
    w.add_argument("--reps", type=int, default=15)
    w.add_argument("--json", required=True)
    c = sub.add_parser("count")
    c.add_argument("--work", required=True)
    c.add_argument("--bench", required=True)
    c.add_argument("--native", required=True)
    c.add_argument("--json", required=True)
    r = sub.add_parser("report")
    r.add_argument("--work", required=True)
    r.add_argument("--native", required=True)
    r.add_argument("--wine")
    r.add_argument("--count")
    r.add_argument("--json", required=True)
    args = parser.parse_args()
    {"prepare": prepare, "wine": wine, "count": count, "report": report}[args.command](args)


if __name__ == "__main__":
    main()
