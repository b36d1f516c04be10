// The stb libraries' code, compiled once (Debian's libstb-dev headers): PNG
// decoding from memory only, PNG encoding to memory, and resizing. Their
// allocations go through one pair of functions that counts the failures, so
// the icon code can tell memory running out from a damaged picture (stb
// reports some of its failed allocations as nothing but a failure).
#include <cstdlib>

#include "tools/resources/stb_memory.h"

namespace {

uint64_t failures = 0;

void* Allocate(size_t size) {
    void* p = std::malloc(size);
    if (p == nullptr && size != 0) ++failures;
    return p;
}

void* Reallocate(void* old, size_t size) {
    void* p = std::realloc(old, size);
    if (p == nullptr && size != 0) ++failures;
    return p;
}

}  // namespace

uint64_t StbFailedAllocations() { return failures; }

#define STBI_MALLOC(size) Allocate(size)
#define STBI_REALLOC(p, size) Reallocate(p, size)
#define STBI_FREE(p) std::free(p)
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#define STBIW_MALLOC(size) Allocate(size)
#define STBIW_REALLOC(p, size) Reallocate(p, size)
#define STBIW_FREE(p) std::free(p)
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#define STBIR_MALLOC(size, context) ((void)(context), Allocate(size))
#define STBIR_FREE(p, context) ((void)(context), std::free(p))
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image_resize.h>
