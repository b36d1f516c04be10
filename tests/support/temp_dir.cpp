#include <algorithm>
#include <dirent.h>
#include "tests/support/temp_dir.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/sim_control.h"

namespace {

// First pass: every folder becomes writable and searchable, so that its
// entries can go even when the test took those rights away.
int OpenUp(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | S_IRWXU);
    return 0;
}

bool g_removeFailed = false;

int RemoveOne(const char* path, const struct stat*, int type, struct FTW*) {
    const int result = (type == FTW_DP || type == FTW_D || type == FTW_DNR) ? rmdir(path) : unlink(path);
    if (result != 0) g_removeFailed = true;
    return 0;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool MakeParents(const std::string& path) {
    const std::string parent = ParentOf(path);
    if (parent.empty()) return true;
    struct stat st;
    if (lstat(parent.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!MakeParents(parent)) return false;
    return mkdir(parent.c_str(), 0755) == 0;
}

}  // namespace

bool RemoveNativeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return true;
    if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
    nftw(path.c_str(), OpenUp, 16, FTW_PHYS);
    g_removeFailed = false;
    if (nftw(path.c_str(), RemoveOne, 16, FTW_PHYS | FTW_DEPTH) != 0) return false;
    return !g_removeFailed;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/vorlane-XXXXXX";
    if (mkdtemp(pattern) != nullptr) root_ = pattern;
}

TempDir::~TempDir() {
    if (!root_.empty()) RemoveNativeTree(root_);
}

std::string TempDir::Native(const std::string& relative) const {
    return relative.empty() ? root_ : root_ + "/" + relative;
}

std::u16string TempDir::Wide() const {
    return PosixWidePath(root_);
}

std::u16string TempDir::Wide(const std::string& relative) const {
    return PosixWidePath(Native(relative));
}

bool TempDir::WriteFile(const std::string& relative, const std::string& content) const {
    const std::string path = Native(relative);
    if (!MakeParents(path)) return false;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    return std::fclose(f) == 0 && ok;
}

bool TempDir::ReadFile(const std::string& relative, std::string* content) const {
    FILE* f = std::fopen(Native(relative).c_str(), "rb");
    if (f == nullptr) return false;
    content->clear();
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), f)) > 0) content->append(buffer, got);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

std::string TempDir::ReadFile(const std::string& relative) const {
    std::string content;
    return ReadFile(relative, &content) ? content : std::string();
}

bool TempDir::MakeDir(const std::string& relative) const {
    const std::string path = Native(relative);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    return MakeParents(path) && mkdir(path.c_str(), 0755) == 0;
}

bool TempDir::MakeSymlink(const std::string& relative, const std::string& target) const {
    const std::string path = Native(relative);
    return MakeParents(path) && symlink(target.c_str(), path.c_str()) == 0;
}

bool TempDir::Rename(const std::string& from, const std::string& to) const {
    return std::rename(Native(from).c_str(), Native(to).c_str()) == 0;
}

bool TempDir::Exists(const std::string& relative) const {
    struct stat st;
    return lstat(Native(relative).c_str(), &st) == 0;
}

bool TempDir::SetMode(const std::string& relative, unsigned mode) const {
    return chmod(Native(relative).c_str(), static_cast<mode_t>(mode)) == 0;
}

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> TempDir::Listing(const std::string& relative) const { return NamesIn(Native(relative)); }
