// vorlane-pack's entry point, the same on every OS: the tool host gives the
// arguments as UTF-8 and turns interruptions into a status (RunPack says how).
#include <new>

#include "tools/pack/pack_tool.h"

int main(int argc, char** argv) {
    ToolCatchInterruptions();
    // Nothing of ours throws; the standard library throws std::bad_alloc when
    // memory runs out. Caught here, once every owner on the way has removed
    // what it held (the temporary output, the work folder), it ends the tool
    // with a message and exit 1 instead of an abort.
    try {
        return RunPack(ToolArguments(argc, argv));
    } catch (const std::bad_alloc&) {
        ToolWriteErr("vorlane-pack: out of memory: nothing was written (free some memory, or raise the "
                     "process's limit)\n");
        return PACK_EXIT_FAILED;
    }
}
