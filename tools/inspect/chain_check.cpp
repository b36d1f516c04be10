// The one place that says which chain check a build's tools use, so that
// vorlane-inspect and vorlane-pack's own check never judge a package apart:
// the machine's own where the OS has one (Windows), else osslsigncode against
// the packager's roots.
#include "tools/host/host.h"
#include "tools/inspect/inspect.h"

VerifyChain PlatformChainCheck() { return ToolMachineTrust() == nullptr ? VerifyWithOsslsigncode : nullptr; }

MachineTrust PlatformMachineTrust() { return ToolMachineTrust(); }
