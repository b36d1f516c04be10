// The Windows file-system simulator's modules and trust (tests only): shared
// objects loaded with dlopen and locked like mapped images, and the trust
// services' answer, which native tests set.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/sim_internal.h"

extern "C" {
#include "Sha256.h"
}

using namespace sim_backend;

namespace {

// The device and inode of the file whose mapping holds address, from /proc/self/maps.
bool MappedFileOf(const void* address, dev_t* dev, ino_t* ino) {
    FILE* maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return false;
    const auto at = reinterpret_cast<uintptr_t>(address);
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
        uintptr_t start = 0;
        uintptr_t end = 0;
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %*s %*s %x:%x %llu", &start, &end, &major, &minor, &inode) != 5) {
            continue;
        }
        if (at < start || at >= end || inode == 0) continue;
        *dev = makedev(major, minor);
        *ino = static_cast<ino_t>(inode);
        found = true;
    }
    std::fclose(maps);
    return found;
}

// SHA-256 of what fd holds, read from its start without moving its position.
bool DigestOfFile(int fd, uint8_t* digest) {
    CSha256 sha;
    Sha256_Init(&sha);
    uint8_t buffer[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t got = pread(fd, buffer, sizeof buffer, at);
        if (got < 0) return false;
        if (got == 0) break;
        Sha256_Update(&sha, buffer, static_cast<size_t>(got));
        at += got;
    }
    Sha256_Final(&sha, digest);
    return true;
}

}  // namespace

std::vector<uint8_t> PosixDigestOf(const std::vector<uint8_t>& bytes) {
    CSha256 sha;
    Sha256_Init(&sha);
    Sha256_Update(&sha, bytes.data(), bytes.size());
    std::vector<uint8_t> digest(SHA256_DIGEST_SIZE);
    Sha256_Final(&sha, digest.data());
    return digest;
}

PlatModule PlatLoadLibraryEx(const char16_t* path, uint32_t) {
    if (Injected(Enter(PlatOp::LoadLibraryEx, path))) return nullptr;
    if (path == nullptr || path[0] == 0) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
    const std::string native = Win32NativePath(path);
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
    // The file actually mapped, which the path may no longer name.
    struct link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        MappedFileOf(reinterpret_cast<const void*>(map->l_ld), &st.st_dev, &st.st_ino);
    }

    std::lock_guard<std::mutex> guard(g_lock);
    for (Handle* h : g_handles) {
        if (h->kind == Kind::Library && h->library == library) {
            ++h->references;  // the same module again, as Windows counts loads
            return h;
        }
    }
    Handle* handle = NewHandle(Kind::Library, path, st);
    handle->library = library;
    handle->references = 1;
    // The image is named by whoever mapped the file first, under the name that
    // open reached; this load's own name otherwise.
    const auto shared = g_controls.sharedImages.find({st.st_dev, st.st_ino});
    handle->mappedName = shared != g_controls.sharedImages.end() ? shared->second
                                                                 : u"\\\\?\\" + PosixWidePath(native);
    g_handles.push_back(handle);
    return handle;
}

PlatFile PlatOpenMappedFile(PlatModule module) {
    Handle* library = LookUp(module, Kind::Library);
    if (Injected(Enter(PlatOp::OpenMappedFile, HookPath(library)))) return PLAT_INVALID_HANDLE;
    if (library == nullptr) return FailWith(ERROR_INVALID_HANDLE, PLAT_INVALID_HANDLE);
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        name = library->mappedName;
    }
    // The name as it was when the image was mapped: whatever stands there now is opened.
    return OpenNativePath(PosixNativePath(name.c_str()), name.c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
}

bool PosixShareImage(const char16_t* path) {
    const std::string native = Win32NativePath(path);
    struct stat st;
    if (path == nullptr || stat(native.c_str(), &st) != 0) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.sharedImages[{st.st_dev, st.st_ino}] = u"\\\\?\\" + PosixWidePath(native);
    return true;
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

bool PlatLoadTrustServices() {
    const FaultAction action = Enter(PlatOp::LoadTrustServices, nullptr);
    if (action.kind == FaultAction::Fail) return Fail(action.error != 0 ? action.error : ERROR_MOD_NOT_FOUND);
    return true;
}

void PlatVerifyTrust(PlatFile file, const char16_t* path, PlatTrustAnswer* answer) {
    const FaultAction action = Enter(PlatOp::VerifyTrust, path);
    answer->chainErrors = 0;
    answer->signer[0] = 0;
    answer->signerLength = 0;
    answer->codeSigning = false;
    answer->digestKind = PlatDigestKind::None;
    answer->digestSize = 0;
    if (action.kind == FaultAction::Fail) {
        answer->result = action.error != 0 ? action.error : PLAT_TRUST_NOSIGNATURE;
        return;
    }
    const Handle* h = LookUp(file, Kind::File);
    int fd = h != nullptr ? h->fd : -1;
    bool ownFd = false;
    if (h == nullptr) {
        // No open file to check: the path must name one, as for the real check.
        fd = path != nullptr ? open(Win32NativePath(path).c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0) {
            answer->result = ERROR_FILE_NOT_FOUND;
            return;
        }
        ownFd = true;
    }
    // The signature's digest is that of the file as it is now: the real check
    // refuses a file whose bytes no longer match its signature.
    uint8_t digest[SHA256_DIGEST_SIZE];
    bool given = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        given = g_controls.trustDigest.size() == SHA256_DIGEST_SIZE;
        if (given) std::memcpy(digest, g_controls.trustDigest.data(), SHA256_DIGEST_SIZE);
    }
    const bool digested = given || DigestOfFile(fd, digest);
    if (ownFd) close(fd);
    std::lock_guard<std::mutex> guard(g_lock);
    answer->result = g_controls.trustResult;
    answer->chainErrors = g_controls.chainErrors;
    const bool signedFile = answer->result != PLAT_TRUST_NOSIGNATURE && answer->result != PLAT_TRUST_SUBJECT_FORM &&
                            answer->result != PLAT_TRUST_BAD_DIGEST;
    if (signedFile) {
        answer->codeSigning = g_controls.codeSigning;
        if (digested) {
            answer->digestKind = PlatDigestKind::Sha256;
            answer->digestSize = SHA256_DIGEST_SIZE;
            std::memcpy(answer->digest, digest, SHA256_DIGEST_SIZE);
        }
    }
    // As the real call: a name that does not fit is no name.
    if (g_controls.signer.size() < PLAT_SIGNER_CAPACITY) {
        std::memcpy(answer->signer, g_controls.signer.data(), g_controls.signer.size() * sizeof(char16_t));
        answer->signer[g_controls.signer.size()] = 0;
        answer->signerLength = g_controls.signer.size();
    }
}
