// Fuzz target: the byte readers of vorlane-inspect, which take any file a
// packager hands in: PE headers, exports, imports and delay imports, the
// launcher's resources (string table, version block, icon group), the
// signature's DER (signer, its code-signing use), and the trust answer built
// from them (the Authenticode digest recomputed over the bytes). Every read
// must stay inside the input; ASan and UBSan catch any that does not.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/inspect/inspect.h"
#include "tools/inspect/trust_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const PeFacts pe = ReadPeFacts(data, size, true);
    const LauncherFacts launcher = ReadLauncherFacts(data, size);
    // The input taken as a certificate table of its own, too.
    std::u16string signer;
    bool codeSigning = false;
    ReadSigner(data, size, &signer, &codeSigning);
    TrustAsked asked;
    AskTrust(std::vector<uint8_t>(data, data + size), pe, InspectOptions{}, &asked);
    (void)launcher;
    return 0;
}
