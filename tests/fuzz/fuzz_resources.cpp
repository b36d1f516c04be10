// Fuzz target: the resource writer on any image handed in as the launcher: the
// tree read, the changes applied, the section rebuilt and placed (the sections
// after it moved as it shrinks or grows), and what it wrote read back. Seed: a
// small mingw image with strings, an icon, a version block and .reloc last.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tools/resources/resources.h"

static void Rewrite(const std::vector<uint8_t>& image, const ResourceJob& job) {
    std::vector<uint8_t> out;
    Resources again;
    if (RewriteResources(image, job, &out) == ResourceResult::Ok && ReadResources(out, &again) != ResourceResult::Ok) {
        std::abort();  // it wrote what it cannot read
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> image(data, data + size);
    ResourceJob shrink;  // other strings, and a one-image .ico (4 bytes at offset 22) for the icons
    shrink.strings = {{4, u"TRUE"}, {7, u"Example Ltd"}, {8, u"pin"}};
    shrink.icon = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 22, 0, 0, 0, 1, 2, 3, 4};
    Rewrite(image, shrink);
    ResourceJob grow;  // the version block some KiB longer
    grow.setVersion = true;
    grow.versionStrings = {{u"ProductName", std::u16string(3000, u'x')}};
    Rewrite(image, grow);
    return 0;
}
