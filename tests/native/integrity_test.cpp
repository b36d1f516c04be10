// The runtime library's integrity check over the posix backend: what it
// refuses and how it says so, and that an accepted library cannot be replaced
// between its check and its load.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/build_config.h"
#include "launcher/handoff.h"
#include "launcher/integrity.h"
#include "launcher/launch.h"
#include "platform/platform.h"
#include "platform/posix_control.h"
#include "tests/support/temp_dir.h"

namespace {

const std::u16string PUBLISHER = VORLANE_PUBLISHER;

class RuntimeIntegrity : public ::testing::Test {
protected:
    void SetUp() override {
        PosixResetControls();
        ASSERT_TRUE(dir.Valid());
        ASSERT_TRUE(dir.WriteFile("rt/VorlaneStub.dll", "signed library bytes"));
        library = dir.Wide("rt/VorlaneStub.dll");
        PosixSetTrust(PLAT_TRUST_OK, PUBLISHER.c_str());
        heapBefore = PosixLiveHeapBlocks();
    }
    void TearDown() override {
        EXPECT_EQ(PosixOpenHandleCount(), 0u) << "a handle was left open";
        EXPECT_EQ(PosixLiveHeapBlocks(), heapBefore);
        PosixResetControls();
    }

    // Runs the check; expects a refusal with exactly this one box.
    void ExpectRefused(const std::u16string& message) {
        PosixClearMessageBoxes();
        PlatFile held = PLAT_INVALID_HANDLE;
        EXPECT_FALSE(CheckRuntimeIntegrity(library.c_str(), &held));
        EXPECT_EQ(held, PLAT_INVALID_HANDLE);
        const auto& boxes = PosixMessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(Utf16ToUtf8(boxes[0].text), Utf16ToUtf8(message));
        EXPECT_EQ(Utf16ToUtf8(boxes[0].caption), "Error");
        EXPECT_EQ(boxes[0].style, MB_ICONERROR);
        EXPECT_EQ(PosixOpenHandleCount(), 0u) << "the refused library is still held";
    }

    TempDir dir;
    std::u16string library;
    size_t heapBefore = 0;
};

PlatFile Open(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition) {
    return PlatCreateFile(path.c_str(), access, share, disposition, FILE_ATTRIBUTE_NORMAL);
}

TEST_F(RuntimeIntegrity, AcceptedLibraryIsHeldAgainstWritersAndDeletionUntilReleased) {
    PlatFile held = PLAT_INVALID_HANDLE;
    ASSERT_TRUE(CheckRuntimeIntegrity(library.c_str(), &held));
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    EXPECT_TRUE(PosixMessageBoxes().empty());

    // Nobody can overwrite, truncate or delete it while it is held.
    for (uint32_t disposition : {CREATE_ALWAYS, OPEN_EXISTING}) {
        EXPECT_EQ(Open(library, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition),
                  PLAT_INVALID_HANDLE);
        EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
    }
    EXPECT_FALSE(PlatDeleteFile(library.c_str()));
    EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(dir.ReadFile("rt/VorlaneStub.dll"), "signed library bytes");

    // Readers, the loader among them, still get in.
    PlatFile reader = Open(library, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(reader, PLAT_INVALID_HANDLE);
    if (reader != PLAT_INVALID_HANDLE) PlatCloseHandle(reader);

    PlatCloseHandle(held);
    EXPECT_TRUE(PlatDeleteFile(library.c_str()));
}

TEST_F(RuntimeIntegrity, RefusalsNameTheLibraryAndTheReason) {
    std::u16string flipped = PUBLISHER;
    for (char16_t& c : flipped) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        else if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    }
    struct Case {
        uint32_t result;
        std::u16string signer;
        std::u16string message;
    };
    const std::vector<Case> cases = {
        {PLAT_TRUST_NOSIGNATURE, u"", u"VorlaneStub.dll is not signed."},
        {PLAT_TRUST_SUBJECT_FORM, u"", u"VorlaneStub.dll is not signed."},
        {PLAT_TRUST_BAD_DIGEST, PUBLISHER, u"VorlaneStub.dll has an invalid signature (0x80096010)."},
        // An untrusted chain is refused before its name is looked at, even the right name.
        {PLAT_TRUST_UNTRUSTED_ROOT, PUBLISHER,
         u"VorlaneStub.dll is signed by " + PUBLISHER + u", whose certificate is not trusted (0x800B0109)."},
        {PLAT_TRUST_UNTRUSTED_ROOT, u"",
         u"VorlaneStub.dll is signed by an unknown signer, whose certificate is not trusted (0x800B0109)."},
        {0x800B0101u, u"Mallory Software",
         u"VorlaneStub.dll is signed by Mallory Software, whose certificate is not trusted (0x800B0101)."},
        {ERROR_FILE_NOT_FOUND, u"", u"VorlaneStub.dll has an invalid signature (0x00000002)."},
        // A trusted chain with another name: the publisher must match exactly.
        {PLAT_TRUST_OK, u"Mallory Software", u"VorlaneStub.dll is signed by Mallory Software, expected " + PUBLISHER + u"."},
        {PLAT_TRUST_OK, PUBLISHER + u" ", u"VorlaneStub.dll is signed by " + PUBLISHER + u" , expected " + PUBLISHER + u"."},
        {PLAT_TRUST_OK, u"", u"VorlaneStub.dll is signed by (no name), expected " + PUBLISHER + u"."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.message));
        PosixSetTrust(c.result, c.signer.c_str());
        ExpectRefused(c.message);
    }
    if (flipped != PUBLISHER) {
        PosixSetTrust(PLAT_TRUST_OK, flipped.c_str());
        ExpectRefused(u"VorlaneStub.dll is signed by " + flipped + u", expected " + PUBLISHER + u".");
    }
    // Refusals leave the file free for the next installation to replace.
    EXPECT_TRUE(PlatDeleteFile(library.c_str()));
}

TEST_F(RuntimeIntegrity, LibraryThatCannotBeOpenedIsNeitherCheckedNorAccepted) {
    PosixResetCallCounts();
    const std::u16string missing = dir.Wide("rt/missing.dll");
    PlatFile held = PLAT_INVALID_HANDLE;
    EXPECT_FALSE(CheckRuntimeIntegrity(missing.c_str(), &held));
    EXPECT_EQ(held, PLAT_INVALID_HANDLE);

    // Someone writing to it keeps the check out as well.
    PlatFile writer = Open(library, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(writer, PLAT_INVALID_HANDLE);
    EXPECT_FALSE(CheckRuntimeIntegrity(library.c_str(), &held));
    EXPECT_EQ(held, PLAT_INVALID_HANDLE);
    PlatCloseHandle(writer);

    EXPECT_EQ(PosixCallCount(PlatOp::VerifyTrust), 0u);
    const auto& boxes = PosixMessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(Utf16ToUtf8(boxes[0].text), "Cannot check VorlaneStub.dll: the file cannot be opened (error 2).");
    EXPECT_EQ(Utf16ToUtf8(boxes[1].text), "Cannot check VorlaneStub.dll: the file cannot be opened (error 32).");
}

// The hand-off loads the held library and only then lets go of it, whether the
// load worked or not.
TEST_F(RuntimeIntegrity, HandOffReleasesTheHeldLibraryOnceTheLoadReturned) {
    const std::string built = std::string(VORLANE_BINARY_DIR) + "/tests/runtimes/libnative_runtime.so";
    std::string image;
    FILE* f = std::fopen(built.c_str(), "rb");
    if (f == nullptr) GTEST_SKIP() << "no native stand-in runtime at " << built;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), f)) > 0) image.append(buffer, got);
    std::fclose(f);

    PosixSetString(SETTING_RUNTIME_ARG_A, u"FALSE");
    PosixSetString(SETTING_RUNTIME_ARG_B, u"NO");
    PosixSetCommandLine(u"app.exe one");
    const std::string record = dir.Native("record.txt");
    setenv("VORLANE_TEST_RECORD", record.c_str(), 1);
    const std::u16string runtimeDir = dir.Wide("rt");

    struct Case {
        std::string content;
        int exitCode;
    };
    for (const Case& c : {Case{image, EXIT_OK}, Case{"MZ not a library", EXIT_RUNTIME_LOAD}}) {
        ASSERT_TRUE(dir.WriteFile("rt/VorlaneStub.dll", c.content));
        std::remove(record.c_str());
        PosixClearMessageBoxes();
        PlatFile held = PLAT_INVALID_HANDLE;
        ASSERT_TRUE(CheckRuntimeIntegrity(library.c_str(), &held));

        HandOffInput input{nullptr, u"Z:\\app.exe", library.c_str(), PayloadLocation{32, 10}, runtimeDir.c_str(),
                           true, true, held};
        EXPECT_EQ(HandOff(input), c.exitCode);
        EXPECT_EQ(input.checkedLibrary, PLAT_INVALID_HANDLE);
        EXPECT_EQ(PosixOpenHandleCount(), 0u);
        EXPECT_EQ(dir.Exists("record.txt"), c.exitCode == EXIT_OK) << "runtime call";
        EXPECT_EQ(PosixMessageBoxes().size(), c.exitCode == EXIT_OK ? 0u : 1u);
        // Released and unloaded: the next installation may replace it.
        EXPECT_TRUE(PlatDeleteFile(library.c_str()));
    }
    unsetenv("VORLANE_TEST_RECORD");
}

}  // namespace
