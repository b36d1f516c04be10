// The one place that says which chain check a build's tools use, so that
// vorlane-inspect and vorlane-pack's own check never judge a package apart.
#include "tools/inspect/inspect.h"

#ifdef _WIN32
#include "platform/machine_trust.h"
#endif

VerifyChain PlatformChainCheck() {
#ifdef _WIN32
    return nullptr;
#else
    return VerifyWithOsslsigncode;
#endif
}

MachineTrust PlatformMachineTrust() {
#ifdef _WIN32
    return MachineTrustOfImage;
#else
    return nullptr;
#endif
}
