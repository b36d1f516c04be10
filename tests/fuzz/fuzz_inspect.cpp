// Fuzz target: the byte readers of vorlane-inspect, which take any file a
// packager hands in: PE headers, exports and imports, the launcher's resources
// (string table, version block, icon group) and the signature's DER. Every
// read must stay inside the input; ASan and UBSan catch any that does not.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/inspect/inspect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const PeFacts pe = ReadPeFacts(data, size, true);
    const LauncherFacts launcher = ReadLauncherFacts(data, size);
    // The input taken as a certificate table of its own, too.
    std::u16string signer;
    ReadSigner(data, size, &signer);
    (void)pe;
    (void)launcher;
    return 0;
}
