// The libraries Windows provides: an import of anything else keeps the
// runtime library from loading (or, delayed, from its first call into it), as
// the launcher takes its dependencies from the system folder only.
#include "launcher/runtime_imports.h"

namespace {

// Libraries of the system folder on every Windows the launcher supports (7 and
// later), which its restricted search finds; API sets resolve there too.
const char* const SYSTEM_LIBRARIES[] = {
    "advapi32.dll", "advpack.dll", "avrt.dll", "bcrypt.dll", "cabinet.dll", "cfgmgr32.dll", "clusapi.dll",
    "comctl32.dll", "comdlg32.dll", "credui.dll", "crypt32.dll", "cryptbase.dll", "cryptnet.dll", "cryptsp.dll",
    "cryptui.dll", "d2d1.dll", "d3d10.dll", "d3d10_1.dll", "d3d11.dll", "d3d9.dll", "d3dcompiler_47.dll",
    "dbghelp.dll", "dcomp.dll", "ddraw.dll", "devobj.dll", "dhcpcsvc.dll", "dinput8.dll", "dnsapi.dll",
    "dpapi.dll", "dsound.dll", "dwmapi.dll", "dwrite.dll", "dxgi.dll", "dxva2.dll", "esent.dll", "evr.dll",
    "fltlib.dll", "gdi32.dll", "gdiplus.dll", "glu32.dll", "hid.dll", "hlink.dll", "httpapi.dll", "icmp.dll",
    "imagehlp.dll", "imm32.dll", "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "ksuser.dll", "ktmw32.dll",
    "logoncli.dll", "lz32.dll", "mf.dll", "mfplat.dll", "mfreadwrite.dll", "mgmtapi.dll", "mlang.dll",
    "mmdevapi.dll", "mpr.dll", "msacm32.dll", "mscms.dll", "msctf.dll", "msi.dll", "msimg32.dll", "msvcrt.dll",
    "mswsock.dll", "msxml3.dll", "msxml6.dll", "ncrypt.dll", "netapi32.dll", "newdev.dll", "normaliz.dll",
    "ntdll.dll", "ntdsapi.dll", "odbc32.dll", "ole32.dll", "oleacc.dll", "oleaut32.dll", "oledlg.dll",
    "opengl32.dll", "pdh.dll", "powrprof.dll", "propsys.dll", "psapi.dll", "quartz.dll", "rasapi32.dll",
    "riched20.dll", "rpcrt4.dll", "rstrtmgr.dll", "samcli.dll", "secur32.dll", "sensapi.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shfolder.dll", "shlwapi.dll", "slc.dll", "srvcli.dll", "sspicli.dll",
    "t2embed.dll", "tapi32.dll", "tdh.dll", "ucrtbase.dll", "urlmon.dll", "user32.dll", "userenv.dll",
    "usp10.dll", "uxtheme.dll", "version.dll", "virtdisk.dll", "winhttp.dll", "wininet.dll", "winmm.dll",
    "winscard.dll", "winspool.drv", "wintrust.dll", "winusb.dll", "wkscli.dll", "wldap32.dll", "wlanapi.dll",
    "ws2_32.dll", "wsock32.dll", "wtsapi32.dll", "xinput1_4.dll", "xinput9_1_0.dll", "xmllite.dll",
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The name, in any case, equals known (lower case) exactly, or starts with it when prefix.
bool Matches(const char* name, size_t length, const char* known, bool prefix) {
    size_t i = 0;
    for (; known[i] != 0; ++i) {
        if (i >= length || Lower(name[i]) != known[i]) return false;
    }
    return prefix || i == length;
}

}  // namespace

bool IsSystemLibrary(const char* name, size_t length) {
    if (Matches(name, length, "api-ms-win-", true) || Matches(name, length, "ext-ms-win-", true)) return true;
    for (const char* known : SYSTEM_LIBRARIES) {
        if (Matches(name, length, known, false)) return true;
    }
    return false;
}

ImportFate FateOfImport(const char* name, size_t length, bool delayed) {
    if (IsSystemLibrary(name, length)) return ImportFate::Found;
    return delayed ? ImportFate::FirstCallFails : ImportFate::LoadFails;
}
