// Fuzz target: the launcher's text handling on arbitrary UTF-16 (the input's
// bytes as little-endian code units, up to the first NUL): the purge's folder
// number, the command-line split and the argument-line rebuild, and the long
// path conversion. Each result is checked against a rule stated independently
// here; a mismatch aborts, so libFuzzer keeps the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/long_path.h"
#include "cache/runtime_dir.h"
#include "launcher/handoff.h"
#include "base/text.h"
#include "platform/platform.h"
#include "platform/sim_control.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_text: %s\n", what);
    std::abort();
}

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// strtol's rule into 32 bits: a 64-bit magnitude capped one past INT32_MAX,
// clamped at the end.
int32_t ReferenceNumber(const std::u16string& s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    int64_t magnitude = 0;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
        magnitude = magnitude * 10 + (s[i] - u'0');
        if (magnitude > 2147483648LL) magnitude = 2147483648LL;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

std::vector<std::u16string> Split(const std::u16string& line, int* count) {
    std::vector<std::u16string> out;
    char16_t** argv = PlatCommandLineToArgv(line.c_str(), count);
    if (argv == nullptr) Fail("the command line did not split");
    for (int i = 0; i < *count; ++i) {
        if (argv[i] == nullptr) Fail("the split returned a null element");
        out.emplace_back(argv[i]);
    }
    if (argv[*count] != nullptr) Fail("the split's array is not null-terminated");
    PlatLocalFree(argv);
    return out;
}

// Whether splitting the rebuilt line must give the element back unchanged: only
// spaces cause quoting, so quotes, tabs (a separator), empty elements and a
// backslash before the closing quote do not survive the trip, as intended.
bool SurvivesRoundTrip(const std::u16string& element) {
    if (element.empty()) return false;
    for (char16_t c : element) {
        if (c == u'"' || c == u'\t') return false;
    }
    return !(element.find(u' ') != std::u16string::npos && element.back() == u'\\');
}

void CheckArgumentLine(const std::u16string& commandLine) {
    int count = 0;
    char16_t** argv = PlatCommandLineToArgv(commandLine.c_str(), &count);
    if (argv == nullptr || count < 1) Fail("the command line did not split");

    char16_t* line = RebuildArgumentLine(argv, count);
    if (count < 2) {
        if (line != nullptr) Fail("a line was rebuilt from the program name alone");
        PlatLocalFree(argv);
        return;
    }
    if (line == nullptr) Fail("no line rebuilt although arguments follow the program name");

    // The capacity rule: 1 + every length + 2 per element with a space + one
    // separator per element after the first; the line fills it exactly.
    size_t expected = 0;
    bool roundTrip = true;
    std::vector<std::u16string> elements;
    for (int i = 1; i < count; ++i) {
        const std::u16string element(argv[i]);
        expected += element.size();
        if (element.find(u' ') != std::u16string::npos) expected += 2;
        if (i > 1) expected += 1;
        roundTrip = roundTrip && SurvivesRoundTrip(element);
        elements.push_back(element);
    }
    const std::u16string rebuilt(line);
    if (rebuilt.size() != expected) Fail("the rebuilt line's length breaks the capacity rule");
    PlatHeapFree(line);
    PlatLocalFree(argv);

    if (roundTrip) {
        int again = 0;
        const std::vector<std::u16string> split = Split(u"p " + rebuilt, &again);
        if (split.size() != elements.size() + 1) Fail("the rebuilt line splits into a different count");
        for (size_t i = 0; i < elements.size(); ++i) {
            if (split[i + 1] != elements[i]) Fail("the rebuilt line splits into different arguments");
        }
    }
}

void CheckLongPath(const std::u16string& text) {
    const std::u16string path = text.substr(0, PATH_CAPACITY - 1);
    char16_t scratch[LONG_PATH_CAPACITY];
    const char16_t* converted = ToLongPath(path.c_str(), scratch);
    if (converted == nullptr) Fail("a path converted to nothing");
    if (converted == scratch) {
        size_t n = 0;
        while (n < LONG_PATH_CAPACITY && scratch[n] != 0) ++n;
        if (n == LONG_PATH_CAPACITY) Fail("the long form is not terminated inside its buffer");
    } else if (converted != path.c_str()) {
        Fail("the long form is neither the path nor the scratch buffer");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PosixResetControls();
    PosixSetModulePath(u"Z:\\tmp\\app.exe");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }

    if (ReadFolderNumber(text.c_str()) != ReferenceNumber(text)) Fail("ReadFolderNumber disagrees with strtol's rule");
    CheckArgumentLine(text);
    CheckLongPath(text);

    if (PosixLiveHeapBlocks() != 0) Fail("heap blocks left allocated");
    if (PosixLiveLocalBlocks() != 0) Fail("argument arrays left unreleased");
    return 0;
}
