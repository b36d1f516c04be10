// One owner for every platform resource a scope or record holds: files and
// folders, folder listings, loaded modules, heap text and argument arrays.
#pragma once

#include "platform/platform.h"

// Traits name the value, the empty value and how a held value is let go:
//   using Value = ...;
//   static Value Empty();
//   static bool Held(Value value);   // false for the empty value and for failures
//   static void Close(Value value);  // called only for a held value
// Ownership moves only through Release() and Reset(), or by moving the owner.
template <typename Traits>
class Owned {
public:
    using Value = typename Traits::Value;

    Owned() = default;
    explicit Owned(Value value) : value_(value) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : value_(other.Release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ~Owned() { Reset(); }

    Value Get() const { return value_; }
    bool Valid() const { return Traits::Held(value_); }
    // Hands the value on; the owner is empty afterwards.
    Value Release() {
        const Value value = value_;
        value_ = Traits::Empty();
        return value;
    }
    // Lets go of what it held and takes value (which may be a failed open's
    // answer: it is kept as it came, and never closed).
    void Reset(Value value = Traits::Empty()) {
        const Value old = value_;
        value_ = value;
        if (Traits::Held(old)) Traits::Close(old);
    }

private:
    Value value_ = Traits::Empty();
};

// Files and folders: a failed open gives PLAT_INVALID_HANDLE, some callers null.
struct FileTraits {
    using Value = PlatFile;
    static Value Empty() { return PLAT_INVALID_HANDLE; }
    static bool Held(Value value) { return value != PLAT_INVALID_HANDLE && value != nullptr; }
    static void Close(Value value) { PlatCloseHandle(value); }
};

struct FindTraits {
    using Value = PlatFind;
    static Value Empty() { return PLAT_INVALID_HANDLE; }
    static bool Held(Value value) { return value != PLAT_INVALID_HANDLE && value != nullptr; }
    static void Close(Value value) { PlatFindClose(value); }
};

struct ModuleTraits {
    using Value = PlatModule;
    static Value Empty() { return nullptr; }
    static bool Held(Value value) { return value != nullptr; }
    static void Close(Value value) { PlatFreeLibrary(value); }
};

// Text from TextDuplicate or any operation that hands out a PlatHeapAlloc block.
struct HeapTextTraits {
    using Value = char16_t*;
    static Value Empty() { return nullptr; }
    static bool Held(Value value) { return value != nullptr; }
    static void Close(Value value) { PlatHeapFree(value); }
};

// The array PlatCommandLineToArgv hands out.
struct ArgvTraits {
    using Value = char16_t**;
    static Value Empty() { return nullptr; }
    static bool Held(Value value) { return value != nullptr; }
    static void Close(Value value) { PlatLocalFree(value); }
};

using OwnedFile = Owned<FileTraits>;  // a file or a folder
using OwnedFind = Owned<FindTraits>;  // an open folder listing
using OwnedModule = Owned<ModuleTraits>;
using OwnedText = Owned<HeapTextTraits>;
using OwnedArgv = Owned<ArgvTraits>;
