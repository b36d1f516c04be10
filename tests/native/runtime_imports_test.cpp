// The import rule the tools judge a runtime by: which names the launcher's
// system-folder-only load finds, and what becomes of the runtime when one is
// missing, statically or delayed.
#include <gtest/gtest.h>

#include <cstring>

#include "launcher/runtime_imports.h"

namespace {

ImportFate Fate(const char* name, bool delayed) { return FateOfImport(name, std::strlen(name), delayed); }

TEST(RuntimeImports, SystemLibrariesAndApiSetsAreFoundInAnyCase) {
    for (const char* name : {"KERNEL32.dll", "kernel32.dll", "WinHttp.DLL", "winspool.drv",
                             "api-ms-win-core-synch-l1-2-0.dll", "EXT-MS-WIN-ntuser-window-l1-1-0.dll"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Fate(name, false), ImportFate::Found);
        EXPECT_EQ(Fate(name, true), ImportFate::Found);
    }
}

TEST(RuntimeImports, AnythingElseFailsTheLoadOrTheFirstCall) {
    // Runtime libraries of compilers, near misses of system names, and names a
    // cut or an embedded NUL would make look like one.
    for (const char* name : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "VCRUNTIME140.dll", "msvcp140.dll",
                             "kernel32", "kernel32.dll.evil", "xkernel32.dll", "api-ms-win", "VorlaneMissing.dll"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Fate(name, false), ImportFate::LoadFails);
        EXPECT_EQ(Fate(name, true), ImportFate::FirstCallFails);
    }
    const char withNul[] = "user32.dll\0.evil";
    EXPECT_EQ(FateOfImport(withNul, sizeof withNul - 1, false), ImportFate::LoadFails);
    EXPECT_EQ(FateOfImport("user32.dll", 6, false), ImportFate::LoadFails);  // "user32" alone
}

}  // namespace
