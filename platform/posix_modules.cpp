// The posix backend's modules and trust: shared objects loaded with dlopen
// and locked like mapped images, and the trust services' answer, which native
// tests set.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/posix_internal.h"

using namespace posix_backend;

PlatModule PlatLoadLibraryEx(const char16_t* path, uint32_t) {
    if (Injected(Enter(PlatOp::LoadLibraryEx, path))) return nullptr;
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
    const std::string native = PosixNativePath(path);
    struct stat st;
    if (stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
    {
        // The loader reads with read and delete sharing: a writer, or a holder
        // that refuses readers, makes the load fail.
        std::lock_guard<std::mutex> guard(g_lock);
        for (const Handle* h : g_handles) {
            if (h->kind == Kind::File && h->dev == st.st_dev && h->ino == st.st_ino &&
                ((h->share & FILE_SHARE_READ) == 0 || WantsWrite(h->access))) {
                return FailWith(ERROR_SHARING_VIOLATION, nullptr);
            }
        }
    }
    unsigned char magic[4] = {0, 0, 0, 0};
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
    const ssize_t got = ::read(fd, magic, sizeof(magic));
    close(fd);
    if (got != 4 || magic[0] != 0x7F || magic[1] != 'E' || magic[2] != 'L' || magic[3] != 'F') {
        return FailWith(ERROR_BAD_EXE_FORMAT, nullptr);
    }
    void* library = dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);

    std::lock_guard<std::mutex> guard(g_lock);
    for (Handle* h : g_handles) {
        if (h->kind == Kind::Library && h->library == library) {
            ++h->references;  // the same module again, as Windows counts loads
            return h;
        }
    }
    auto* handle = new Handle{};
    handle->kind = Kind::Library;
    handle->path = path;
    handle->dev = st.st_dev;
    handle->ino = st.st_ino;
    handle->library = library;
    handle->references = 1;
    g_handles.push_back(handle);
    return handle;
}

void* PlatGetProcAddress(PlatModule module, const char* name) {
    Handle* h = LookUp(module, Kind::Library);
    if (Injected(Enter(PlatOp::GetProcAddress, HookPath(h)))) return nullptr;
    if (h == nullptr) return FailWith(ERROR_MOD_NOT_FOUND, nullptr);
    if (name == nullptr) return FailWith(ERROR_PROC_NOT_FOUND, nullptr);
    void* symbol = dlsym(h->library, name);
    if (symbol == nullptr) return FailWith(ERROR_PROC_NOT_FOUND, nullptr);
    return symbol;
}

bool PlatFreeLibrary(PlatModule module) {
    Handle* h = LookUp(module, Kind::Library);
    if (Injected(Enter(PlatOp::FreeLibrary, HookPath(h)))) return false;
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE);
    dlclose(h->library);
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        last = --h->references == 0;
        if (last) g_handles.erase(std::remove(g_handles.begin(), g_handles.end(), h), g_handles.end());
    }
    if (last) delete h;
    return true;
}

uint32_t PlatLoadTrustServices() {
    const FaultAction action = Enter(PlatOp::LoadTrustServices, nullptr);
    if (action.kind == FaultAction::Fail) return action.error != 0 ? action.error : ERROR_MOD_NOT_FOUND;
    return ERROR_SUCCESS;
}

void PlatVerifyTrust(PlatFile file, const char16_t* path, PlatTrustAnswer* answer) {
    const FaultAction action = Enter(PlatOp::VerifyTrust, path);
    answer->chainErrors = 0;
    answer->signer[0] = 0;
    answer->signerLength = 0;
    if (action.kind == FaultAction::Fail) {
        answer->result = action.error != 0 ? action.error : PLAT_TRUST_NOSIGNATURE;
        return;
    }
    if (LookUp(file, Kind::File) == nullptr) {
        // No open file to check: the path must name one, as for the real check.
        struct stat st;
        if (path == nullptr || stat(PosixNativePath(path).c_str(), &st) != 0) {
            answer->result = ERROR_FILE_NOT_FOUND;
            return;
        }
    }
    std::lock_guard<std::mutex> guard(g_lock);
    answer->result = g_controls.trustResult;
    answer->chainErrors = g_controls.chainErrors;
    // As the real call: a name that does not fit is no name.
    if (g_controls.signer.size() < PLAT_SIGNER_CAPACITY) {
        std::memcpy(answer->signer, g_controls.signer.data(), g_controls.signer.size() * sizeof(char16_t));
        answer->signer[g_controls.signer.size()] = 0;
        answer->signerLength = g_controls.signer.size();
    }
}
