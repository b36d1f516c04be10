// A native stand-in runtime for tests over the simulator: records the
// eight arguments it receives into the file named by VORLANE_TEST_RECORD.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Utf8(const char16_t* text) {
    std::string out;
    if (text == nullptr) return "<null>";
    for (; *text != 0; ++text) {
        const char16_t c = *text;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int VorlaneInit(void* instance, const char16_t* modulePath,
                                                                 const char16_t* setting4, const char16_t* setting5,
                                                                 const char16_t* firstArgument,
                                                                 const char16_t* argumentLine, uint64_t payloadOffset,
                                                                 uint64_t payloadSize) {
    const char* target = std::getenv("VORLANE_TEST_RECORD");
    if (target == nullptr) return 77;
    FILE* f = std::fopen(target, "w");
    if (f == nullptr) return 77;
    std::fprintf(f, "instance=%p\nmodule_path=%s\nsetting4=%s\nsetting5=%s\nfirst_argument=%s\nargument_line=%s\n",
                 instance, Utf8(modulePath).c_str(), Utf8(setting4).c_str(), Utf8(setting5).c_str(),
                 Utf8(firstArgument).c_str(), Utf8(argumentLine).c_str());
    std::fprintf(f, "payload_offset=%llu\npayload_size=%llu\n", static_cast<unsigned long long>(payloadOffset),
                 static_cast<unsigned long long>(payloadSize));
    std::fclose(f);
    return 77;
}
