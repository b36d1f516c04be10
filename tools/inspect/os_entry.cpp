// vorlane-inspect's entry point, the same on every OS: the tool host gives the
// arguments as UTF-8, writes the report (UTF-16 on a Windows console, the
// bytes elsewhere), names the file as the launcher would see it and says
// which trust check this OS has; an interruption removes the chain check's
// work folder and ends the tool with 128 + its signal.
#include <new>

#include "tools/host/host.h"
#include "tools/inspect/inspect.h"

int main(int argc, char** argv) {
    ToolCatchInterruptions();
    // Nothing of ours throws; the standard library throws std::bad_alloc when
    // memory runs out, which ends the tool here with a message and exit 1
    // instead of an abort.
    try {
        const InspectIo io{ToolWriteOut, ToolWriteErr, ModulePathOf, PlatformChainCheck(), PlatformMachineTrust()};
        return InspectMain(ToolArguments(argc, argv), io);
    } catch (const std::bad_alloc&) {
        ToolWriteErr("vorlane-inspect: out of memory: no report\n");
        return 1;
    }
}
