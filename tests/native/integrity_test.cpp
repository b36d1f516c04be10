// The runtime library's integrity check over the simulator: what it
// refuses and how it says so, and that an accepted library cannot be replaced
// between its check and its load.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <algorithm>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/pin.h"
#include "launcher/build_config.h"
#include "launcher/handoff.h"
#include "launcher/integrity.h"
#include "launcher/launch.h"
#include "platform/platform.h"
#include "platform/sim_control.h"
#include "tests/support/fault.h"
#include "tests/support/package.h"
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
        folder.Reset(PlatCreateFile(dir.Wide("rt").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
        ASSERT_TRUE(folder.Valid());
        handlesBefore = PosixOpenHandleCount();
        PosixSetTrust(PLAT_TRUST_OK, PUBLISHER);
        PosixSetString(PUBLISHER_STRING_ID, PUBLISHER.c_str());
        heapBefore = PosixLiveHeapBlocks();
    }
    void TearDown() override {
        folder.Reset();
        EXPECT_EQ(PosixOpenHandleCount(), 0u) << "a handle was left open";
        EXPECT_EQ(PosixLiveHeapBlocks(), heapBefore);
        PosixResetControls();
    }

    // What the installation reports for the library as it stands now.
    InstalledLibrary Installed() {
        const std::string bytes = dir.ReadFile("rt/VorlaneStub.dll");
        return InstalledLibrary{true, false, Crc32(bytes.data(), bytes.size())};
    }
    // The pin as a start reads it, from the string table the test set up.
    LibraryCheck Input(const InstalledLibrary& installed, bool searchRestricted = true) {
        return LibraryCheck{nullptr, folder.Get(), library.c_str(), installed, searchRestricted, nullptr,
                            ReadLauncherPin(nullptr)};
    }
    bool Check(CheckedLibrary* checked, bool searchRestricted = true) {
        Ending ending{};
        return CheckRuntimeIntegrity(Input(Installed(), searchRestricted), checked, &ending) == CheckVerdict::Passed;
    }
    // The pin of the library as it stands now, or of other bytes.
    static std::u16string PinOf(const std::string& bytes) {
        const std::vector<uint8_t> digest = PosixDigestOf(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        Pin pin{PlatDigestKind::Sha256, 32, {}};
        std::copy(digest.begin(), digest.end(), pin.digest);
        char16_t text[128];
        EXPECT_TRUE(FormatPin(pin, text, 128));
        return text;
    }
    // Deletes the library by handle, as a later installation would replace it.
    bool DeleteLibrary() {
        OwnedFile file;
        file.Reset(PlatCreateFile(library.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT));
        return file.Valid() && PlatDeleteByHandle(file.Get());
    }

    // Runs the check; expects it to end with this verdict and message, and to show nothing itself.
    void ExpectRefused(const std::u16string& message, const InstalledLibrary* installed = nullptr,
                       bool searchRestricted = true, CheckVerdict verdict = CheckVerdict::Refused) {
        PosixClearMessageBoxes();
        CheckedLibrary checked;
        Ending ending{};
        const CheckVerdict result = CheckRuntimeIntegrity(
            Input(installed != nullptr ? *installed : Installed(), searchRestricted), &checked, &ending);
        EXPECT_EQ(static_cast<int>(result), static_cast<int>(verdict));
        EXPECT_EQ(Utf16ToUtf8(ending.message), Utf16ToUtf8(message));
        EXPECT_FALSE(checked.held.Valid());
        EXPECT_TRUE(PosixMessageBoxes().empty());
        EXPECT_EQ(PosixOpenHandleCount(), handlesBefore) << "the refused library is still held";
    }
    void ExpectFailed(const std::u16string& message, const InstalledLibrary* installed = nullptr,
                      bool searchRestricted = true) {
        ExpectRefused(message, installed, searchRestricted, CheckVerdict::Failed);
    }

    TempDir dir;
    std::u16string library;
    OwnedFile folder;  // "rt", held as a start holds the runtime folder
    size_t handlesBefore = 0;
    size_t heapBefore = 0;
};

PlatFile Open(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition) {
    return PlatCreateFile(path.c_str(), access, share, disposition, FILE_ATTRIBUTE_NORMAL);
}

TEST_F(RuntimeIntegrity, AcceptedLibraryIsHeldAgainstWritersAndDeletionUntilReleased) {
    CheckedLibrary checked;
    ASSERT_TRUE(Check(&checked));
    ASSERT_TRUE(checked.held.Valid());
    EXPECT_TRUE(PosixMessageBoxes().empty());

    // Nobody can overwrite, truncate or delete it while it is held.
    for (uint32_t disposition : {CREATE_ALWAYS, OPEN_EXISTING}) {
        EXPECT_EQ(Open(library, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition),
                  PLAT_INVALID_HANDLE);
        EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
    }
    EXPECT_FALSE(DeleteLibrary());
    EXPECT_EQ(PlatGetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(dir.ReadFile("rt/VorlaneStub.dll"), "signed library bytes");

    // Readers, the loader among them, still get in.
    PlatFile reader = Open(library, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(reader, PLAT_INVALID_HANDLE);
    if (reader != PLAT_INVALID_HANDLE) PlatCloseHandle(reader);

    checked.Close();
    EXPECT_TRUE(DeleteLibrary());
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
        // The whole name counts: what follows a NUL inside it too.
        {PLAT_TRUST_OK, PUBLISHER + std::u16string(1, u'\0') + u"x",
         u"VorlaneStub.dll is signed by " + PUBLISHER + u", expected " + PUBLISHER + u"."},
        {PLAT_TRUST_REVOKED, PUBLISHER,
         u"VorlaneStub.dll is signed by " + PUBLISHER + u", whose certificate has been revoked (0x800B010C)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.message));
        PosixSetTrust(c.result, c.signer);
        ExpectRefused(c.message);
    }
    // The publisher is the launcher's string 7, whole: missing, it refuses any signer.
    PosixSetTrust(PLAT_TRUST_OK, u"Example Software Ltd");
    PosixSetString(PUBLISHER_STRING_ID, u"Example Software Ltd");
    CheckedLibrary accepted;
    EXPECT_TRUE(Check(&accepted));
    accepted.Close();
    PosixSetString(PUBLISHER_STRING_ID, nullptr);
    ExpectFailed(u"Cannot check VorlaneStub.dll: this application names no publisher.");
    PosixSetString(PUBLISHER_STRING_ID, PUBLISHER.c_str());
    if (flipped != PUBLISHER) {
        PosixSetTrust(PLAT_TRUST_OK, flipped);
        ExpectRefused(u"VorlaneStub.dll is signed by " + flipped + u", expected " + PUBLISHER + u".");
    }
    // Refusals leave the file free for the next installation to replace.
    EXPECT_TRUE(DeleteLibrary());
}

TEST_F(RuntimeIntegrity, LibraryThatCannotBeOpenedIsNeitherCheckedNorAccepted) {
    PosixResetCallCounts();
    const InstalledLibrary installed = Installed();
    ASSERT_TRUE(dir.Rename("rt/VorlaneStub.dll", "rt/away.dll"));
    // Gone: the archive still holds it, so the start may put it back.
    ExpectRefused(u"Cannot check VorlaneStub.dll: the file cannot be opened (error 2).", &installed);
    ASSERT_TRUE(dir.Rename("rt/away.dll", "rt/VorlaneStub.dll"));

    // Someone writing to it keeps the check out as well.
    PlatFile writer = Open(library, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(writer, PLAT_INVALID_HANDLE);
    ++handlesBefore;
    ExpectFailed(u"Cannot check VorlaneStub.dll: the file cannot be opened (error 32).");
    PlatCloseHandle(writer);
    --handlesBefore;
    EXPECT_EQ(PosixCallCount(PlatOp::VerifyTrust), 0u);
}

// Refused before any signature is looked at: another build of the publisher's,
// a library nobody installed from this archive, a system that cannot keep
// planted dependencies out, and trust services that cannot be loaded.
TEST_F(RuntimeIntegrity, OnlyTheArchivesCopyIsCheckedAndOnlyWhereItCanBeLoadedSafely) {
    const std::u16string notOurs = u"The installed VorlaneStub.dll is not this application's copy.";
    InstalledLibrary other = Installed();
    other.crc ^= 1;
    ExpectRefused(notOurs, &other);
    const InstalledLibrary unknown{false, false, Installed().crc};
    ExpectRefused(notOurs, &unknown);
    ExpectFailed(u"VorlaneStub.dll cannot be loaded safely on this system: install the Windows update KB2533623.",
                 nullptr, false);
    // A second name of a file elsewhere is no copy of ours: what is checked
    // could be changed through the other name.
    ASSERT_EQ(link(dir.Native("rt/VorlaneStub.dll").c_str(), dir.Native("elsewhere.dll").c_str()), 0);
    ExpectRefused(notOurs);
    ASSERT_EQ(unlink(dir.Native("elsewhere.dll").c_str()), 0);
    EXPECT_EQ(PosixCallCount(PlatOp::VerifyTrust), 0u);

    {
        FaultPlan plan;
        plan.FailAll(PlatOp::LoadTrustServices, ERROR_MOD_NOT_FOUND);
        ExpectFailed(u"Cannot check VorlaneStub.dll: the system's trust services cannot be loaded (error 126).");
    }
    // A revocation status the local cache cannot tell passes, but only when
    // nothing else is wrong with the chain.
    PosixSetTrust(PLAT_TRUST_REVOCATION_FAILURE, PUBLISHER, PLAT_CHAIN_REVOCATION_UNKNOWN | PLAT_CHAIN_OFFLINE_REVOCATION);
    CheckedLibrary checked;
    EXPECT_TRUE(Check(&checked));
    checked.Close();
    PosixSetTrust(PLAT_TRUST_REVOCATION_FAILURE, PUBLISHER, PLAT_CHAIN_REVOCATION_UNKNOWN | 0x20u);
    ExpectRefused(u"VorlaneStub.dll has an invalid signature (0x800B010E).");
}

// The pin names the one build that was packed: with it, neither the CRC nor
// the signer's name can let another build through.
TEST_F(RuntimeIntegrity, PinnedLaunchersRunOnlyThePinnedBuild) {
    const std::string ours = dir.ReadFile("rt/VorlaneStub.dll");
    PosixSetString(PIN_STRING_ID, PinOf(ours).c_str());
    CheckedLibrary checked;
    EXPECT_TRUE(Check(&checked));
    checked.Close();
    // The installation's CRC no longer decides: the pin does.
    InstalledLibrary forged = Installed();
    forged.crc ^= 1;
    Ending ending{};
    EXPECT_EQ(CheckRuntimeIntegrity(Input(forged), &checked, &ending), CheckVerdict::Passed);
    checked.Close();

    // Another genuinely signed build, whatever its CRC or signer's name.
    ASSERT_TRUE(dir.WriteFile("rt/VorlaneStub.dll", "another signed build"));
    const std::u16string theirs = PinOf("another signed build");
    ExpectRefused(u"VorlaneStub.dll is not the runtime this application was packed with (digest " + theirs + u").");
    PosixSetTrust(PLAT_TRUST_OK, u"Someone Else");
    ExpectRefused(u"VorlaneStub.dll is not the runtime this application was packed with (digest " + theirs + u").");

    // A pin that cannot be read refuses everything; no pin keeps the CRC check.
    ASSERT_TRUE(dir.WriteFile("rt/VorlaneStub.dll", ours));
    PosixSetTrust(PLAT_TRUST_OK, PUBLISHER);
    for (const char16_t* bad : {u"sha256:00", u"md5:00112233445566778899aabbccddeeff", u"sha256",
                                u"sha256:zz9da4dd1f9dd3a08e0da6e56da1e6c5f9d51b9d1dbd01b3c95b3d1bcb31de9a"}) {
        PosixSetString(PIN_STRING_ID, bad);
        ExpectFailed(u"Cannot check VorlaneStub.dll: this application's pin cannot be read.");
    }
    PosixSetString(PIN_STRING_ID, nullptr);
    EXPECT_TRUE(Check(&checked));
    checked.Close();
}

TEST_F(RuntimeIntegrity, SignerMustBeMeantForCodeSigning) {
    PosixSetCodeSigning(false);
    ExpectRefused(u"VorlaneStub.dll is signed by " + PUBLISHER + u", whose certificate is not for code signing.");
}

// The loader is handed the path the held file resolves to: no link on it.
TEST_F(RuntimeIntegrity, LoadPathIsTheHeldFilesFinalPath) {
    ASSERT_EQ(symlink(dir.Native("rt").c_str(), dir.Native("link").c_str()), 0);
    folder.Reset();
    folder.Reset(PlatCreateFile(dir.Wide("link").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    ASSERT_TRUE(folder.Valid());
    CheckedLibrary checked;
    ASSERT_TRUE(Check(&checked));
    char16_t path[LONG_PATH_CAPACITY];
    Ending ending{};
    ASSERT_TRUE(ResolveLoadPath(checked, path, &ending));
    EXPECT_EQ(PosixNativePath(path), dir.Native("rt/VorlaneStub.dll"));
    checked.Close();
}

// The hand-off loads the held library and only then lets go of it, whether the
// load worked or not.
TEST_F(RuntimeIntegrity, HandOffReleasesTheHeldLibraryOnceTheLoadReturned) {
    const std::string built = std::string(VORLANE_BINARY_DIR) + "/tests/runtimes/libnative_runtime.so";
    const std::vector<uint8_t> bytes = ReadBytes(built);
    if (bytes.empty()) GTEST_SKIP() << "no native stand-in runtime at " << built;
    const std::string image(bytes.begin(), bytes.end());

    PosixSetString(SETTING_THIRD_ARGUMENT, u"FALSE");
    PosixSetString(SETTING_FOURTH_ARGUMENT, u"NO");
    PosixSetCommandLine(u"app.exe one");
    const std::string record = dir.Native("record.txt");
    setenv("VORLANE_TEST_RECORD", record.c_str(), 1);

    struct Case {
        std::string content;
        int exitCode;
    };
    for (const Case& c : {Case{image, EXIT_OK}, Case{"MZ not a library", EXIT_RUNTIME_LOAD}}) {
        ASSERT_TRUE(dir.WriteFile("rt/VorlaneStub.dll", c.content));
        std::remove(record.c_str());
        PosixClearMessageBoxes();
        CheckedLibrary checked;
        ASSERT_TRUE(Check(&checked));

        const HandOffInput input{nullptr, u"Z:\\app.exe", PayloadLocation{32, 10}};
        RuntimeCache cache;
        cache.libraryExisted = true;
        EXPECT_EQ(InfoOf(HandOff(input, &checked, &cache).outcome).exitCode, c.exitCode);
        EXPECT_FALSE(checked.held.Valid());
        EXPECT_EQ(PosixOpenHandleCount(), handlesBefore);
        EXPECT_EQ(dir.Exists("record.txt"), c.exitCode == EXIT_OK) << "runtime call";
        // Released and unloaded: the next installation may replace it.
        EXPECT_TRUE(DeleteLibrary());
    }
    unsetenv("VORLANE_TEST_RECORD");
}

}  // namespace
