// A native library planted where the loader must never look. Mapped anyway,
// its constructor runs (as a DllMain would) and leaves a mark: an empty file at
// the path named by VORLANE_TEST_PLANTED_MARK.
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void LeaveMark() {
    const char* mark = std::getenv("VORLANE_TEST_PLANTED_MARK");
    if (mark == nullptr) return;
    if (FILE* f = std::fopen(mark, "w")) std::fclose(f);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int VorlaneInit() { return 1; }
