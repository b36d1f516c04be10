// The simulator's contract: the Windows behaviour the launcher's logic
// relies on, over real Linux files, folders, links and shared objects.
#include <gtest/gtest.h>

#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim_control.h"
#include "tests/support/fault.h"
#include "tests/support/temp_dir.h"

namespace {

class PosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        PosixResetControls();
        ASSERT_TRUE(dir.Valid());
        handlesBefore = PosixOpenHandleCount();
        heapBefore = PosixLiveHeapBlocks();
    }
    void TearDown() override {
        EXPECT_EQ(PosixOpenHandleCount(), handlesBefore) << "a handle was left open";
        EXPECT_EQ(PosixLiveHeapBlocks(), heapBefore);
        EXPECT_EQ(PosixLiveLocalBlocks(), 0u);
        PosixResetControls();
    }
    std::u16string W(const std::string& relative) const { return dir.Wide(relative); }

    TempDir dir;
    size_t handlesBefore = 0;
    size_t heapBefore = 0;
};

// Closes on scope exit.
struct File {
    PlatFile h;
    explicit File(PlatFile file) : h(file) {}
    ~File() {
        if (Valid()) PlatCloseHandle(h);
    }
    bool Valid() const { return h != PLAT_INVALID_HANDLE; }
};

PlatFile Open(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition = OPEN_EXISTING) {
    return PlatCreateFile(path.c_str(), access, share, disposition, FILE_ATTRIBUTE_NORMAL);
}

std::string ReadAll(PlatFile file) {
    std::string out;
    char buffer[7];  // odd size: several reads per file
    uint32_t got = 0;
    while (PlatReadFile(file, buffer, sizeof(buffer), &got) && got > 0) out.append(buffer, got);
    return out;
}

uint32_t Attributes(const std::u16string& path) {
    return PlatGetFileAttributes(path.c_str());
}

// ---- paths ------------------------------------------------------------------------

TEST(PosixPaths, WindowsFormsMapToLinux) {
    EXPECT_EQ(PosixNativePath(u"Z:\\tmp\\a b\\c.dll"), "/tmp/a b/c.dll");
    EXPECT_EQ(PosixNativePath(u"c:/tmp/x"), "/tmp/x");
    EXPECT_EQ(PosixNativePath(u"\\\\?\\C:\\tmp\\x"), "/tmp/x");
    EXPECT_EQ(PosixNativePath(u"\\\\?\\UNC\\srv\\share\\f"), "//srv/share/f");
    EXPECT_EQ(PosixNativePath(u"/tmp/plain"), "/tmp/plain");
    EXPECT_EQ(PosixNativePath(u"rel\\dir"), "rel/dir");
    EXPECT_EQ(PosixNativePath(u"Z:"), "/");
    EXPECT_EQ(PosixWidePath("/tmp/x"), u"Z:\\tmp\\x");
    EXPECT_EQ(PosixWidePath("//srv/share"), u"\\\\srv\\share");
}

TEST(PosixPaths, Utf16RoundTripsIncludingOddNames) {
    const std::u16string text = u"\u00e9\u4e2d\U0001F600a";
    EXPECT_EQ(Utf16ToUtf8(text), "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80" "a");
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
    // A byte that is not UTF-8 survives the way back, so such a file can be removed.
    const std::string raw = "a\xFF" "b\xC3";
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(raw)), raw);
    // A lone surrogate maps to bytes and back instead of being lost.
    const std::u16string lone = {u'x', static_cast<char16_t>(0xD800), u'y'};
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(lone)), lone);
}

// ---- attributes ----------------------------------------------------------------------

using PosixAttributes = PosixTest;

TEST_F(PosixAttributes, DescribeTheObjectItself) {
    ASSERT_TRUE(dir.MakeDir("folder"));
    ASSERT_TRUE(dir.WriteFile("file.bin", "x"));
    ASSERT_TRUE(dir.WriteFile("ro.bin", "x"));
    ASSERT_TRUE(dir.SetMode("ro.bin", 0444));
    ASSERT_TRUE(dir.WriteFile(".hidden", "x"));
    ASSERT_TRUE(dir.MakeSymlink("to-folder", dir.Native("folder")));
    ASSERT_TRUE(dir.MakeSymlink("to-file", dir.Native("file.bin")));
    ASSERT_TRUE(dir.MakeSymlink("dangling", dir.Native("nowhere")));

    EXPECT_EQ(Attributes(W("folder")), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Attributes(W("folder") + u"\\"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Attributes(W("file.bin")), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(Attributes(W("ro.bin")), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Attributes(W(".hidden")), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(Attributes(W("to-folder")), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    // A trailing separator must not make the query follow the link.
    EXPECT_EQ(Attributes(W("to-folder") + u"\\"), FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(Attributes(W("to-file")), FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(Attributes(W("dangling")), FILE_ATTRIBUTE_REPARSE_POINT);

    EXPECT_EQ(Attributes(W("missing")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PlatGetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Attributes(W("missing\\deeper")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PlatGetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Attributes(W("file.bin\\deeper")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PlatGetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(PosixAttributes, SetByHandleKeepsWindowsBitsAndNeverReachesThroughLinks) {
    ASSERT_TRUE(dir.WriteFile("ro.bin", "x"));
    ASSERT_TRUE(dir.SetMode("ro.bin", 0444));
    ASSERT_TRUE(dir.WriteFile("target.bin", "x"));
    ASSERT_TRUE(dir.SetMode("target.bin", 0444));
    ASSERT_TRUE(dir.MakeSymlink("link", dir.Native("target.bin")));
    const uint32_t NO_FOLLOW = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    {
        File f(PlatCreateFile(W("ro.bin").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING, NO_FOLLOW));
        ASSERT_TRUE(f.Valid());
        EXPECT_TRUE(PlatSetHandleAttributes(f.h, FILE_ATTRIBUTE_NORMAL));
        EXPECT_EQ(Attributes(W("ro.bin")), FILE_ATTRIBUTE_ARCHIVE);
        EXPECT_TRUE(PlatSetHandleAttributes(f.h, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
        uint32_t attributes = 0;
        EXPECT_TRUE(PlatGetHandleAttributes(f.h, &attributes));
        EXPECT_EQ(attributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM);
        EXPECT_TRUE(PlatSetHandleAttributes(f.h, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    }
    // As on Windows: overwriting a hidden or system file with plain attributes is refused.
    EXPECT_EQ(Open(W("ro.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
    File opened(Open(W("ro.bin"), GENERIC_WRITE, 0, OPEN_EXISTING));
    EXPECT_TRUE(opened.Valid());

    // Through a link's own handle its target is never touched.
    File link(PlatCreateFile(W("link").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING, NO_FOLLOW));
    ASSERT_TRUE(link.Valid());
    uint32_t attributes = 0;
    EXPECT_TRUE(PlatGetHandleAttributes(link.h, &attributes));
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_TRUE(PlatSetHandleAttributes(link.h, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Attributes(W("target.bin")), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
}

// ---- folders, relative opens and deletion by handle ------------------------------------

using PosixFolders = PosixTest;

constexpr uint32_t NO_FOLLOW = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr uint32_t ANY_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

PlatFile OpenToDelete(const std::u16string& path, uint32_t share = ANY_SHARING) {
    return PlatCreateFile(path.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_WRITE_ATTRIBUTES, share, OPEN_EXISTING,
                          NO_FOLLOW);
}

// Opened without following a link and deleted by handle, as the cache's removal does.
bool DeleteAt(const std::u16string& path) {
    File f(OpenToDelete(path));
    return f.Valid() && PlatDeleteByHandle(f.h);
}

TEST_F(PosixFolders, CreateReportsWindowsCodes) {
    EXPECT_TRUE(PlatCreateDirectory(W("a").c_str()));
    EXPECT_FALSE(PlatCreateDirectory(W("a").c_str()));
    EXPECT_EQ(PlatGetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(dir.WriteFile("file", "x"));
    EXPECT_FALSE(PlatCreateDirectory(W("file").c_str()));
    EXPECT_EQ(PlatGetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(PlatCreateDirectory(W("missing\\b").c_str()));
    EXPECT_EQ(PlatGetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(PosixFolders, RelativeOpensTakeTheNameInsideTheHeldFolderNeverThroughItsLastLink) {
    ASSERT_TRUE(dir.WriteFile("f/file.bin", "data"));
    ASSERT_TRUE(dir.WriteFile("outside/target.bin", "outside"));
    ASSERT_TRUE(dir.MakeSymlink("f/link", dir.Native("outside/target.bin")));
    ASSERT_TRUE(dir.MakeSymlink("f/dirlink", dir.Native("outside")));
    File folder(PlatCreateFile(W("f").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                               NO_FOLLOW));
    ASSERT_TRUE(folder.Valid());
    // The folder may move: names are still taken inside it.
    ASSERT_TRUE(dir.Rename("f", "moved"));
    {
        File in(PlatCreateFileAt(folder.h, u"file.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
        ASSERT_TRUE(in.Valid());
        EXPECT_EQ(ReadAll(in.h), "data");
    }
    // The link itself, whatever the disposition: nothing is created or written through it.
    for (uint32_t disposition : {OPEN_EXISTING, OPEN_ALWAYS}) {
        File link(PlatCreateFileAt(folder.h, u"link", GENERIC_WRITE, 0, disposition, FILE_FLAG_OPEN_REPARSE_POINT));
        ASSERT_TRUE(link.Valid());
        uint32_t attributes = 0;
        EXPECT_TRUE(PlatGetHandleAttributes(link.h, &attributes));
        EXPECT_EQ(attributes, FILE_ATTRIBUTE_REPARSE_POINT);
        uint32_t written = 0;
        EXPECT_FALSE(PlatWriteFile(link.h, "x", 1, &written));
    }
    EXPECT_EQ(dir.ReadFile("outside/target.bin"), "outside");
    // A folder link is a folder: it opens only with backup semantics, and then as a link.
    EXPECT_EQ(PlatCreateFileAt(folder.h, u"dirlink", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT),
              PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
    File dirlink(PlatCreateFileAt(folder.h, u"dirlink", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING, NO_FOLLOW));
    uint32_t attributes = 0;
    EXPECT_TRUE(dirlink.Valid() && PlatGetHandleAttributes(dirlink.h, &attributes));
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    // Without the flag the link is followed, as CreateFileW does.
    File through(PlatCreateFileAt(folder.h, u"link", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    ASSERT_TRUE(through.Valid());
    EXPECT_EQ(ReadAll(through.h), "outside");
    // One name, never a path.
    for (const char16_t* name : {u"a\\b", u"a/b", u"..", u""}) {
        EXPECT_EQ(PlatCreateFileAt(folder.h, name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0), PLAT_INVALID_HANDLE);
        EXPECT_EQ(PlatGetLastError(), 123u);  // ERROR_INVALID_NAME
    }
}

TEST_F(PosixFolders, DeleteByHandleRemovesTheObjectItself) {
    ASSERT_TRUE(dir.WriteFile("ro.bin", "x"));
    ASSERT_TRUE(dir.SetMode("ro.bin", 0444));
    EXPECT_TRUE(DeleteAt(W("ro.bin")));  // read-only files go (the flag that ignores it)
    EXPECT_FALSE(dir.Exists("ro.bin"));

    ASSERT_TRUE(dir.WriteFile("full/inner", "x"));
    EXPECT_FALSE(DeleteAt(W("full")));
    EXPECT_EQ(PlatGetLastError(), ERROR_DIR_NOT_EMPTY);
    ASSERT_TRUE(DeleteAt(W("full\\inner")));
    // As RemoveDirectoryW: a read-only folder stays until its bit is cleared.
    ASSERT_TRUE(dir.SetMode("full", 0555));
    {
        File f(OpenToDelete(W("full")));
        EXPECT_FALSE(PlatDeleteByHandle(f.h));
        EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(PlatSetHandleAttributes(f.h, FILE_ATTRIBUTE_NORMAL));
        EXPECT_TRUE(PlatDeleteByHandle(f.h));
    }
    EXPECT_FALSE(dir.Exists("full"));

    // Links go as links; their targets stay.
    ASSERT_TRUE(dir.WriteFile("real/keep.txt", "keep"));
    ASSERT_TRUE(dir.MakeSymlink("folder-link", dir.Native("real")));
    ASSERT_TRUE(dir.MakeSymlink("file-link", dir.Native("real/keep.txt")));
    ASSERT_TRUE(dir.MakeSymlink("dangling", dir.Native("nowhere")));
    for (const char* name : {"folder-link", "file-link", "dangling"}) {
        EXPECT_TRUE(DeleteAt(W(name))) << name;
        EXPECT_FALSE(dir.Exists(name)) << name;
    }
    EXPECT_EQ(dir.ReadFile("real/keep.txt"), "keep");

    // The object the handle holds goes, wherever it moved; what took its name stays.
    ASSERT_TRUE(dir.WriteFile("a.bin", "first"));
    {
        File f(OpenToDelete(W("a.bin")));
        ASSERT_TRUE(dir.Rename("a.bin", "b.bin"));
        ASSERT_TRUE(dir.WriteFile("a.bin", "second"));
        EXPECT_TRUE(PlatDeleteByHandle(f.h));
    }
    EXPECT_FALSE(dir.Exists("b.bin"));
    EXPECT_EQ(dir.ReadFile("a.bin"), "second");

    // Without delete access, nothing.
    File plain(Open(W("a.bin"), GENERIC_READ, ANY_SHARING));
    EXPECT_FALSE(PlatDeleteByHandle(plain.h));
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
}

// ---- listing ---------------------------------------------------------------------------

using PosixFind = PosixTest;

TEST_F(PosixFind, ListsThroughTheFolderHandleWithTheirAttributes) {
    ASSERT_TRUE(dir.WriteFile("list/b.txt", "x"));
    ASSERT_TRUE(dir.WriteFile("list/.h", "x"));
    ASSERT_TRUE(dir.MakeDir("list/Sub"));
    ASSERT_TRUE(dir.MakeSymlink("list/link", "Sub"));  // relative: still a folder link once moved
    ASSERT_TRUE(dir.WriteFile("list/ro", "x"));
    ASSERT_TRUE(dir.SetMode("list/ro", 0400));

    File folder(OpenToDelete(W("list")));
    ASSERT_TRUE(folder.Valid());
    ASSERT_TRUE(dir.Rename("list", "moved"));  // listed by handle, not by name
    PlatFindData data;
    PlatFind find = PlatFindFirstFileAt(folder.h, &data);
    ASSERT_NE(find, PLAT_INVALID_HANDLE);
    std::vector<std::u16string> order;
    std::map<std::u16string, uint32_t> seen;
    do {
        order.push_back(data.name);
        seen[data.name] = data.attributes;
        // Entries deleted while listing, this one or another, are harmless.
        if (std::u16string(data.name) == u"link") {
            File gone(PlatCreateFileAt(folder.h, u"ro", DELETE, ANY_SHARING, OPEN_EXISTING, NO_FOLLOW));
            EXPECT_TRUE(PlatDeleteByHandle(gone.h));
        }
    } while (PlatFindNextFile(find, &data));
    EXPECT_EQ(PlatGetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_FALSE(PlatFindNextFile(find, &data));
    EXPECT_EQ(PlatGetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(PlatFindClose(find));

    ASSERT_EQ(order.size(), 6u);
    EXPECT_EQ(order[0], u".");
    EXPECT_EQ(order[1], u"..");
    EXPECT_EQ(seen[u"."], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(seen[u".."], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(seen[u"b.txt"], FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(seen[u".h"], FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(seen[u"Sub"], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(seen[u"link"], FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);

    File file(Open(W("moved\\b.txt"), GENERIC_READ, FILE_SHARE_READ));
    EXPECT_EQ(PlatFindFirstFileAt(file.h, &data), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_DIRECTORY);
    EXPECT_EQ(PlatFindFirstFileAt(PLAT_INVALID_HANDLE, &data), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PlatFindClose(PLAT_INVALID_HANDLE));
    EXPECT_EQ(PlatGetLastError(), ERROR_INVALID_HANDLE);
}

// ---- files and sharing ----------------------------------------------------------------

using PosixFiles = PosixTest;

TEST_F(PosixFiles, OpenReadWriteAndTheirCodes) {
    {
        File out(Open(W("f.bin"), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS));
        ASSERT_TRUE(out.Valid());
        EXPECT_EQ(PlatGetLastError(), ERROR_SUCCESS);
        uint32_t written = 0;
        EXPECT_TRUE(PlatWriteFile(out.h, "hello world", 11, &written));
        EXPECT_EQ(written, 11u);
        uint32_t read = 99;
        char c;
        EXPECT_FALSE(PlatReadFile(out.h, &c, 1, &read));  // no read access
        EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(read, 0u);
    }
    {
        File in(Open(W("f.bin"), GENERIC_READ, FILE_SHARE_READ));
        ASSERT_TRUE(in.Valid());
        uint64_t size = 0;
        EXPECT_TRUE(PlatGetFileSizeEx(in.h, &size));
        EXPECT_EQ(size, 11u);
        EXPECT_EQ(ReadAll(in.h), "hello world");
        uint32_t read = 5;
        char c;
        EXPECT_TRUE(PlatReadFile(in.h, &c, 1, &read));  // end of file is success with 0 bytes
        EXPECT_EQ(read, 0u);
    }
    {
        // Re-creating an existing file truncates it and reports 183 with success.
        File again(Open(W("f.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS));
        ASSERT_TRUE(again.Valid());
        EXPECT_EQ(PlatGetLastError(), ERROR_ALREADY_EXISTS);
    }
    EXPECT_EQ(dir.ReadFile("f.bin"), "");

    EXPECT_EQ(Open(W("none"), GENERIC_READ, FILE_SHARE_READ), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(W("nodir\\none"), GENERIC_READ, FILE_SHARE_READ), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(W("nodir\\none"), GENERIC_WRITE, 0, CREATE_ALWAYS), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(dir.MakeDir("folder"));
    EXPECT_EQ(Open(W("folder"), GENERIC_READ, FILE_SHARE_READ), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(W("folder"), GENERIC_WRITE, 0, CREATE_ALWAYS), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);

    // A read-only file cannot be opened for writing, even by root.
    ASSERT_TRUE(dir.WriteFile("ro.bin", "keep"));
    ASSERT_TRUE(dir.SetMode("ro.bin", 0444));
    EXPECT_EQ(Open(W("ro.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(dir.ReadFile("ro.bin"), "keep");

    EXPECT_FALSE(PlatCloseHandle(PLAT_INVALID_HANDLE));
    EXPECT_EQ(PlatGetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PosixFiles, OpensFollowLinks) {
    ASSERT_TRUE(dir.WriteFile("target.bin", "through"));
    ASSERT_TRUE(dir.MakeSymlink("link.bin", dir.Native("target.bin")));
    File in(Open(W("link.bin"), GENERIC_READ, FILE_SHARE_READ));
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(ReadAll(in.h), "through");
}

TEST_F(PosixFiles, ShareModesAreEnforcedBetweenHandles) {
    ASSERT_TRUE(dir.WriteFile("s.bin", "original"));
    const std::u16string path = W("s.bin");
    {
        File reader(Open(path, GENERIC_READ, FILE_SHARE_READ));
        ASSERT_TRUE(reader.Valid());
        File second(Open(path, GENERIC_READ, FILE_SHARE_READ));
        EXPECT_TRUE(second.Valid());
        // A writer is refused by the readers' share mode, and nothing is truncated.
        EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS), PLAT_INVALID_HANDLE);
        EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(dir.ReadFile("s.bin"), "original");
        // A reader that refuses other readers conflicts with the open readers.
        EXPECT_EQ(Open(path, GENERIC_READ, 0), PLAT_INVALID_HANDLE);
        EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
        // Deletion needs delete sharing.
        EXPECT_FALSE(DeleteAt(path));
        EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
    }
    {
        File writer(Open(path, GENERIC_WRITE, FILE_SHARE_READ));
        ASSERT_TRUE(writer.Valid());
        // The new reader's share mode must admit the existing writer.
        EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ), PLAT_INVALID_HANDLE);
        EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
        File tolerant(Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_TRUE(tolerant.Valid());
    }
    {
        File shared(Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE));
        ASSERT_TRUE(shared.Valid());
        EXPECT_TRUE(DeleteAt(path));
        EXPECT_FALSE(dir.Exists("s.bin"));
    }
    // All handles closed: no stale conflicts remain.
    File fresh(Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS));
    EXPECT_TRUE(fresh.Valid());
}

TEST_F(PosixFiles, SetFilePointerFollowsTheWindowsContract) {
    File f(Open(W("p.bin"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(f.Valid());
    uint32_t written = 0;
    ASSERT_TRUE(PlatWriteFile(f.h, "0123456789", 10, &written));

    int32_t high = 0;
    EXPECT_EQ(PlatSetFilePointer(f.h, 4, &high, FILE_BEGIN), 4u);
    EXPECT_EQ(high, 0);
    char c = 0;
    uint32_t read = 0;
    ASSERT_TRUE(PlatReadFile(f.h, &c, 1, &read));
    EXPECT_EQ(c, '4');
    EXPECT_EQ(PlatSetFilePointer(f.h, -2, nullptr, FILE_CURRENT), 3u);
    EXPECT_EQ(PlatSetFilePointer(f.h, -1, nullptr, FILE_END), 9u);

    // 5 GiB + 1: the high half comes in and goes out.
    high = 1;
    EXPECT_EQ(PlatSetFilePointer(f.h, 0x40000001, &high, FILE_BEGIN), 0x40000001u);
    EXPECT_EQ(high, 1);
    // Landing on a low half of all ones is success with last error 0.
    PlatSetLastError(77);
    high = 0;
    EXPECT_EQ(PlatSetFilePointer(f.h, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(PlatGetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(high, 0);
    // Without a high half, a position beyond 32 bits is refused.
    high = 0;
    ASSERT_EQ(PlatSetFilePointer(f.h, 0, &high, FILE_BEGIN), 0u);
    EXPECT_EQ(PlatSetFilePointer(f.h, 0x7FFFFFFF, nullptr, FILE_BEGIN), 0x7FFFFFFFu);
    EXPECT_EQ(PlatSetFilePointer(f.h, 0x7FFFFFFF, nullptr, FILE_CURRENT), 0xFFFFFFFEu);
    EXPECT_EQ(PlatSetFilePointer(f.h, 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(PlatGetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(PlatSetFilePointer(f.h, 0, nullptr, FILE_CURRENT), 0xFFFFFFFEu);

    EXPECT_EQ(PlatSetFilePointer(f.h, 2, nullptr, FILE_BEGIN), 2u);
    EXPECT_EQ(PlatSetFilePointer(f.h, -3, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(PlatGetLastError(), 131u);  // ERROR_NEGATIVE_SEEK; the position stays
    EXPECT_EQ(PlatSetFilePointer(f.h, 0, nullptr, FILE_CURRENT), 2u);
    EXPECT_EQ(PlatSetFilePointer(f.h, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(PlatGetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PosixFiles, LongPathsWithThePrefixWork) {
    // A tree whose Windows path is about 1500 characters, in long form.
    std::string relative = "long";
    while (dir.Wide(relative).size() < 1450) relative += "/" + std::string(60, 'd');
    const std::u16string plain = dir.Wide(relative);
    std::u16string partial = u"\\\\?\\";
    for (size_t i = 0; i <= plain.size(); ++i) {
        if (i == plain.size() || (plain[i] == u'\\' && i > dir.Wide().size())) {
            const std::u16string component = u"\\\\?\\" + plain.substr(0, i);
            ASSERT_TRUE(PlatCreateDirectory(component.c_str())) << PlatGetLastError();
        }
    }
    const std::u16string file = u"\\\\?\\" + plain + u"\\VorlaneStub.dll";
    ASSERT_GT(file.size(), 1500u);
    {
        File out(Open(file, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS));
        ASSERT_TRUE(out.Valid());
        uint32_t written = 0;
        EXPECT_TRUE(PlatWriteFile(out.h, "deep", 4, &written));
    }
    EXPECT_EQ(Attributes(file), FILE_ATTRIBUTE_ARCHIVE);
    {
        File folder(OpenToDelete(u"\\\\?\\" + plain));
        PlatFindData data;
        PlatFind find = PlatFindFirstFileAt(folder.h, &data);
        ASSERT_NE(find, PLAT_INVALID_HANDLE);
        PlatFindClose(find);
    }
    EXPECT_EQ(dir.ReadFile(relative + "/VorlaneStub.dll"), "deep");
    EXPECT_TRUE(DeleteAt(file));
}

// Win32's plain-path rule: every name of a plain path loses a trailing dot and
// trailing spaces; the "\\?\" form keeps names as they are, and final paths
// report the real ones.
TEST_F(PosixFiles, PlainPathsLoseTrailingDotsAndSpacesTheVerbatimFormKeepsThem) {
    ASSERT_TRUE(dir.WriteFile("x/f", "plain"));
    ASSERT_TRUE(dir.WriteFile("x./f", "dot"));
    ASSERT_TRUE(dir.WriteFile("x./only", "dot"));
    ASSERT_TRUE(dir.WriteFile("y/f", "spaces trimmed"));
    const std::u16string verbatim = u"\\\\?\\";
    {
        File plain(Open(W("x.") + u"\\f.", GENERIC_READ, FILE_SHARE_READ));
        File spaces(Open(W("y  ") + u"\\f ", GENERIC_READ, FILE_SHARE_READ));
        File kept(Open(verbatim + W("x.") + u"\\f", GENERIC_READ, FILE_SHARE_READ));
        ASSERT_TRUE(plain.Valid() && spaces.Valid() && kept.Valid());
        EXPECT_EQ(ReadAll(plain.h), "plain");
        EXPECT_EQ(ReadAll(spaces.h), "spaces trimmed");
        EXPECT_EQ(ReadAll(kept.h), "dot");
        char16_t final[1024];
        ASSERT_NE(PlatGetFinalPath(kept.h, final, 1024), 0u);
        EXPECT_EQ(std::u16string(final), verbatim + W("x.") + u"\\f");
    }
    EXPECT_EQ(Attributes(W("x.") + u"\\only"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PlatGetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Attributes(verbatim + W("x.") + u"\\only"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(PlatCreateDirectory((W("made. ")).c_str()));
    EXPECT_TRUE(dir.Exists("made"));
    EXPECT_TRUE(PlatCreateDirectory((verbatim + W("made. ")).c_str()));
    EXPECT_TRUE(dir.Exists("made. "));
}

// ---- libraries --------------------------------------------------------------------------

using PosixLibraries = PosixTest;

TEST_F(PosixLibraries, LoadedLibraryIsLockedLikeAMappedImage) {
    const std::string built = std::string(VORLANE_BINARY_DIR) + "/tests/runtimes/libnative_runtime.so";
    std::string image;
    FILE* f = std::fopen(built.c_str(), "rb");
    if (f == nullptr) GTEST_SKIP() << "no native stand-in runtime at " << built;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), f)) > 0) image.append(buffer, got);
    std::fclose(f);
    ASSERT_TRUE(dir.WriteFile("VorlaneStub.dll", image));
    const std::u16string path = W("VorlaneStub.dll");

    PlatModule module = PlatLoadLibraryEx(path.c_str(), LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(module, nullptr);
    EXPECT_NE(PlatGetProcAddress(module, "VorlaneInit"), nullptr);
    EXPECT_EQ(PlatGetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(PlatGetLastError(), ERROR_PROC_NOT_FOUND);
    {
        File reader(Open(path, GENERIC_READ, FILE_SHARE_READ));
        EXPECT_TRUE(reader.Valid());
    }
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteAt(path));
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(dir.ReadFile("VorlaneStub.dll"), image);

    // Loads are counted: the file stays locked until the last one is freed.
    PlatModule again = PlatLoadLibraryEx(path.c_str(), 0);
    EXPECT_EQ(again, module);
    EXPECT_TRUE(PlatFreeLibrary(again));
    EXPECT_FALSE(DeleteAt(path));
    EXPECT_TRUE(PlatFreeLibrary(module));
    EXPECT_TRUE(DeleteAt(path));

    // A holder that refuses readers, or a writer, keeps the loader out.
    ASSERT_TRUE(dir.WriteFile("VorlaneStub.dll", image));
    {
        File writer(Open(path, GENERIC_WRITE, FILE_SHARE_READ));
        ASSERT_TRUE(writer.Valid());
        EXPECT_EQ(PlatLoadLibraryEx(path.c_str(), 0), nullptr);
        EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
    }
    {
        // The integrity check's handle: read access, read sharing only.
        File checked(Open(path, GENERIC_READ, FILE_SHARE_READ));
        PlatModule held = PlatLoadLibraryEx(path.c_str(), 0);
        EXPECT_NE(held, nullptr);
        if (held != nullptr) PlatFreeLibrary(held);
    }
}

TEST_F(PosixLibraries, LoadFailuresReportWindowsCodes) {
    EXPECT_EQ(PlatLoadLibraryEx(W("missing.dll").c_str(), 0), nullptr);
    EXPECT_EQ(PlatGetLastError(), ERROR_MOD_NOT_FOUND);
    ASSERT_TRUE(dir.WriteFile("text.dll", "MZ not really"));
    EXPECT_EQ(PlatLoadLibraryEx(W("text.dll").c_str(), 0), nullptr);
    EXPECT_EQ(PlatGetLastError(), ERROR_BAD_EXE_FORMAT);
    EXPECT_FALSE(PlatFreeLibrary(nullptr));
    EXPECT_EQ(PlatGetProcAddress(nullptr, "VorlaneInit"), nullptr);
}

// ---- command line -----------------------------------------------------------------------

std::vector<std::u16string> Split(const char16_t* line) {
    int count = -1;
    char16_t** argv = PlatCommandLineToArgv(line, &count);
    std::vector<std::u16string> out;
    if (argv == nullptr) return {u"<null>"};
    for (int i = 0; i < count; ++i) out.push_back(argv[i]);
    EXPECT_EQ(argv[count], nullptr);
    PlatLocalFree(argv);
    return out;
}

using V = std::vector<std::u16string>;

TEST_F(PosixTest, CommandLineSplitsLikeWindows) {
    EXPECT_EQ(Split(u"app.exe a b"), (V{u"app.exe", u"a", u"b"}));
    EXPECT_EQ(Split(u"\"C:\\My App\\app.exe\" x"), (V{u"C:\\My App\\app.exe", u"x"}));
    // The program name takes no escapes: a backslash before its closing quote stays.
    EXPECT_EQ(Split(u"\"C:\\dir\\\" y"), (V{u"C:\\dir\\", u"y"}));
    EXPECT_EQ(Split(u"app \"a b\"\tc  \"\""), (V{u"app", u"a b", u"c", u""}));
    EXPECT_EQ(Split(u"app \"\" \"\" x"), (V{u"app", u"", u"", u"x"}));
    // Backslashes: 2n before a quote give n and a delimiter, 2n+1 give n and a quote.
    EXPECT_EQ(Split(u"app a\\\\\"b c\" d"), (V{u"app", u"a\\b c", u"d"}));
    EXPECT_EQ(Split(u"app a\\\"b c"), (V{u"app", u"a\"b", u"c"}));
    EXPECT_EQ(Split(u"app a\\\\\\\"b"), (V{u"app", u"a\\\"b"}));
    EXPECT_EQ(Split(u"app C:\\dir\\ x\\\\y"), (V{u"app", u"C:\\dir\\", u"x\\\\y"}));
    // A quote right after a closing quote inside quotes is literal, still quoted.
    EXPECT_EQ(Split(u"app \"a\"\"b c\" d"), (V{u"app", u"a\"b c", u"d"}));
    EXPECT_EQ(Split(u"app \"unterminated arg"), (V{u"app", u"unterminated arg"}));
    EXPECT_EQ(Split(u" lead"), (V{u"", u"lead"}));
    EXPECT_EQ(Split(u"app   "), (V{u"app"}));
    // Empty: the module's own path, as Windows does.
    PosixSetModulePath(u"Z:\\opt\\launcher.exe");
    EXPECT_EQ(Split(u""), (V{u"Z:\\opt\\launcher.exe"}));
    EXPECT_EQ(std::u16string(PlatGetCommandLine()), u"\"launcher.exe\"");
    PosixSetCommandLine(u"x y");
    EXPECT_EQ(std::u16string(PlatGetCommandLine()), u"x y");
}

// ---- the other controls ------------------------------------------------------------------

TEST_F(PosixTest, ControlsAnswerInPlaceOfWindows) {
    char16_t small[8];
    EXPECT_EQ(PlatGetModuleFileName(small, 8), 0u);
    EXPECT_EQ(PlatGetLastError(), ERROR_FILE_NOT_FOUND);
    PosixSetModulePath(u"Z:\\a\\b.exe");  // 10 characters
    char16_t fits[11];
    EXPECT_EQ(PlatGetModuleFileName(fits, 11), 10u);
    EXPECT_EQ(std::u16string(fits), u"Z:\\a\\b.exe");
    EXPECT_EQ(PlatGetModuleFileName(small, 8), 8u);
    EXPECT_EQ(PlatGetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), u"Z:\\a\\b.");

    char16_t folder[16];
    EXPECT_LT(PlatGetLocalAppDataFolder(folder, 16), 0);
    PosixSetLocalAppData(u"Z:\\home\\u");
    EXPECT_EQ(PlatGetLocalAppDataFolder(folder, 16), 0);
    EXPECT_EQ(std::u16string(folder), u"Z:\\home\\u");
    EXPECT_LT(PlatGetLocalAppDataFolder(folder, 9), 0);  // does not fit: no cut path
    PosixSetLocalAppData(u"Z:\\home\\u", -5);
    EXPECT_EQ(PlatGetLocalAppDataFolder(folder, 16), -5);

    char16_t text[4];
    EXPECT_EQ(PlatLoadString(nullptr, 4, text, 4), 0);
    PosixSetString(4, u"FALSE");
    EXPECT_EQ(PlatLoadString(nullptr, 4, text, 4), 3);
    EXPECT_EQ(std::u16string(text), u"FAL");
    PosixSetString(4, nullptr);
    EXPECT_EQ(PlatLoadString(nullptr, 4, text, 4), 0);

    EXPECT_EQ(PlatMessageBox(u"Cannot resolve own module path", u"Error", MB_ICONERROR), 1);
    ASSERT_EQ(PosixMessageBoxes().size(), 1u);
    EXPECT_EQ(PosixMessageBoxes()[0].text, u"Cannot resolve own module path");
    EXPECT_EQ(PosixMessageBoxes()[0].style, MB_ICONERROR);

    ASSERT_TRUE(dir.WriteFile("lib.dll", "x"));
    PlatTrustAnswer answer;
    PlatVerifyTrust(PLAT_INVALID_HANDLE, W("lib.dll").c_str(), &answer);
    EXPECT_EQ(answer.result, PLAT_TRUST_OK);
    EXPECT_EQ(std::u16string(answer.signer), u"Vorlane");
    PosixSetTrust(PLAT_TRUST_UNTRUSTED_ROOT, std::u16string(u"Oth\0er", 6), PLAT_CHAIN_REVOCATION_UNKNOWN);
    PlatVerifyTrust(PLAT_INVALID_HANDLE, W("lib.dll").c_str(), &answer);
    EXPECT_EQ(answer.result, PLAT_TRUST_UNTRUSTED_ROOT);
    EXPECT_EQ(std::u16string(answer.signer, answer.signerLength), std::u16string(u"Oth\0er", 6));
    EXPECT_EQ(answer.chainErrors, PLAT_CHAIN_REVOCATION_UNKNOWN);
    PlatVerifyTrust(PLAT_INVALID_HANDLE, W("none.dll").c_str(), &answer);
    EXPECT_EQ(answer.result, ERROR_FILE_NOT_FOUND);

    // Two handles of one file have one identity; another file has another.
    ASSERT_TRUE(dir.WriteFile("lib2.dll", "x"));
    PlatFile a = PlatCreateFile(W("lib.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    PlatFile b = PlatCreateFile(W("lib.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    PlatFile c = PlatCreateFile(W("lib2.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    PlatFileId ids[3];
    EXPECT_TRUE(PlatGetFileId(a, &ids[0]) && PlatGetFileId(b, &ids[1]) && PlatGetFileId(c, &ids[2]));
    EXPECT_EQ(std::memcmp(&ids[0], &ids[1], sizeof(PlatFileId)), 0);
    EXPECT_NE(std::memcmp(&ids[0], &ids[2], sizeof(PlatFileId)), 0);
    for (PlatFile f : {a, b, c}) PlatCloseHandle(f);

    PosixResetControls();
    EXPECT_TRUE(PosixMessageBoxes().empty());
    EXPECT_EQ(PlatGetModuleFileName(fits, 11), 0u);
}

// ---- fault injection ------------------------------------------------------------------------

using PosixFaults = PosixTest;

TEST_F(PosixFaults, NthCallFailsWithTheChosenCode) {
    FaultPlan plan;
    plan.FailNth(PlatOp::CreateDirectory, 2, ERROR_DISK_FULL);
    EXPECT_TRUE(PlatCreateDirectory(W("one").c_str()));
    EXPECT_FALSE(PlatCreateDirectory(W("two").c_str()));
    EXPECT_EQ(PlatGetLastError(), ERROR_DISK_FULL);
    EXPECT_FALSE(dir.Exists("two"));
    EXPECT_TRUE(PlatCreateDirectory(W("three").c_str()));
    EXPECT_EQ(plan.Calls(PlatOp::CreateDirectory), 3u);
    EXPECT_EQ(plan.Fired(), 1u);
    EXPECT_EQ(PosixCallCount(PlatOp::CreateDirectory), 3u);

    plan.FailAll(PlatOp::HeapAlloc, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(PlatHeapAlloc(16), nullptr);
}

TEST_F(PosixFaults, PathFilterAppliesToHandleOperationsToo) {
    ASSERT_TRUE(dir.WriteFile("keep.bin", "abc"));
    ASSERT_TRUE(dir.WriteFile("victim.bin", "abc"));
    FaultPlan plan;
    plan.FailPath(PlatOp::ReadFile, u"victim", ERROR_READ_FAULT);
    plan.FailPath(PlatOp::Count, u"doomed", ERROR_ACCESS_DENIED);
    File keep(Open(W("keep.bin"), GENERIC_READ, FILE_SHARE_READ));
    File victim(Open(W("victim.bin"), GENERIC_READ, FILE_SHARE_READ));
    ASSERT_TRUE(keep.Valid());
    ASSERT_TRUE(victim.Valid());
    EXPECT_EQ(ReadAll(keep.h), "abc");
    char buffer[4];
    uint32_t read = 9;
    EXPECT_FALSE(PlatReadFile(victim.h, buffer, 4, &read));
    EXPECT_EQ(PlatGetLastError(), ERROR_READ_FAULT);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(Attributes(W("doomed")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(PlatGetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(PlatCreateDirectory(W("doomed").c_str()));
}

TEST_F(PosixFaults, ShortTransfersReportSuccess) {
    ASSERT_TRUE(dir.WriteFile("data.bin", "0123456789"));
    FaultPlan plan;
    plan.ShortNth(PlatOp::ReadFile, 1, 3);
    plan.ShortNth(PlatOp::ReadFile, 2, 0);
    plan.ShortNth(PlatOp::WriteFile, 1, 2);
    {
        File in(Open(W("data.bin"), GENERIC_READ, FILE_SHARE_READ));
        char buffer[16];
        uint32_t read = 0;
        EXPECT_TRUE(PlatReadFile(in.h, buffer, 16, &read));
        EXPECT_EQ(read, 3u);
        EXPECT_TRUE(PlatReadFile(in.h, buffer, 16, &read));
        EXPECT_EQ(read, 0u);  // looks like the end of the file
        EXPECT_TRUE(PlatReadFile(in.h, buffer, 16, &read));
        EXPECT_EQ(std::string(buffer, read), "3456789");
    }
    {
        File out(Open(W("out.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS));
        uint32_t written = 0;
        EXPECT_TRUE(PlatWriteFile(out.h, "abcdef", 6, &written));
        EXPECT_EQ(written, 2u);
    }
    EXPECT_EQ(dir.ReadFile("out.bin"), "ab");
}

TEST_F(PosixFaults, HookIsRemovedWithThePlan) {
    {
        FaultPlan plan;
        plan.FailAll(PlatOp::GetFileAttributes, ERROR_ACCESS_DENIED);
        EXPECT_EQ(Attributes(dir.Wide()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(Attributes(dir.Wide()), FILE_ATTRIBUTE_DIRECTORY);
}

TEST(PosixHeap, BlocksAreCountedAndZeroSizeIsNull) {
    const size_t before = PosixLiveHeapBlocks();
    void* block = PlatHeapAlloc(32);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(PosixLiveHeapBlocks(), before + 1);
    PlatHeapFree(block);
    PlatHeapFree(nullptr);
    EXPECT_EQ(PosixLiveHeapBlocks(), before);
    EXPECT_EQ(PlatHeapAlloc(0), nullptr);
    EXPECT_EQ(PosixLiveHeapBlocks(), before);
}

}  // namespace
