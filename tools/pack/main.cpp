// vorlane-pack's entry point, the same on every OS: the tool host gives the
// arguments as UTF-8 and turns interruptions into a status (RunPack says how).
#include "tools/pack/pack_tool.h"

int main(int argc, char** argv) {
    ToolCatchInterruptions();
    return RunPack(ToolArguments(argc, argv));
}
