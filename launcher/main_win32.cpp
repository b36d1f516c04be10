// The Windows GUI entry point (built with -municode). It lives apart from the
// launch sequence so the same sequence runs natively in tests. The instance is
// the only parameter used: the hand-off reads the command line itself.
#include "launcher/launch.h"

// Declared here rather than through the system headers, which stay inside
// platform/. On x64 there is a single calling convention, so WINAPI adds nothing.
extern "C" int wWinMain(PlatModule instance, PlatModule, wchar_t*, int) { return RunLauncher(instance); }
