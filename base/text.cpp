#include "base/text.h"

#include "base/hex.h"
#include "platform/platform.h"

size_t TextLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

bool TextEqual(const char16_t* a, const char16_t* b) {
    for (size_t i = 0;; ++i) {
        if (a[i] != b[i]) return false;
        if (a[i] == 0) return true;
    }
}

char16_t* TextDuplicate(const char16_t* text) {
    const size_t n = TextLength(text) + 1;
    auto* copy = static_cast<char16_t*>(PlatHeapAlloc(n * sizeof(char16_t)));
    if (copy == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) copy[i] = text[i];
    return copy;
}

namespace {

struct Sink {
    char16_t* out;
    size_t capacity;
    size_t used;
    bool cut;
};

void Put(Sink& s, char16_t c) {
    if (s.used + 1 < s.capacity) {
        s.out[s.used++] = c;
    } else {
        s.cut = true;
    }
}

void PutUnsigned(Sink& s, uint64_t value) {
    char16_t digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) Put(s, digits[--n]);
}

}  // namespace

bool TextFormatV(char16_t* out, size_t capacity, const char16_t* format, va_list args) {
    Sink s{out, capacity, 0, false};
    if (capacity == 0) return false;
    for (const char16_t* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            Put(s, *p);
            continue;
        }
        ++p;
        switch (*p) {
            case u's': {
                const char16_t* arg = va_arg(args, const char16_t*);
                if (arg == nullptr) arg = u"(null)";
                while (*arg != 0) Put(s, *arg++);
                break;
            }
            case u'd': {
                const int32_t v = va_arg(args, int32_t);
                if (v < 0) {
                    Put(s, u'-');
                    PutUnsigned(s, static_cast<uint64_t>(-static_cast<int64_t>(v)));
                } else {
                    PutUnsigned(s, static_cast<uint64_t>(v));
                }
                break;
            }
            case u'u':
                PutUnsigned(s, va_arg(args, uint32_t));
                break;
            case u'X': {
                const uint32_t v = va_arg(args, uint32_t);
                for (int shift = 28; shift >= 0; shift -= 4) Put(s, static_cast<char16_t>(HEX_UPPER[(v >> shift) & 0xF]));
                break;
            }
            case u'%':
                Put(s, u'%');
                break;
            case 0:
                --p;  // a lone '%' at the end is dropped
                break;
            default:
                Put(s, u'%');
                Put(s, *p);
                break;
        }
    }
    out[s.used] = 0;
    return !s.cut;
}

bool TextFormat(char16_t* out, size_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool fitted = TextFormatV(out, capacity, format, args);
    va_end(args);
    return fitted;
}
