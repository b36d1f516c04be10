// What one inspection of a packaged executable finds: plain records that
// the launch stages fill and the text and JSON reports write out.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/payload.h"
#include "archive/pin.h"
#include "base/names.h"

constexpr uint32_t NO_FOLDER = 0xFFFFFFFFu;

// A 64-bit value that may be unknown (written as null in JSON).
struct MaybeU64 {
    bool known = false;
    uint64_t value = 0;
};

// What the PE headers in the first 4096 bytes of an image say.
struct PeFacts {
    bool valid = false;        // MZ and PE signatures in place
    uint16_t machine = 0;
    uint16_t magic = 0;        // 0x20B for a 64-bit image
    bool dll = false;
    bool hasCertificateTable = false;
    uint32_t certificateOffset = 0;  // a file offset, as the security directory records it
    uint32_t certificateSize = 0;
    bool exportsInit = false;  // VorlaneInit in the export names (read from a whole image only)
    // Read from a whole image only:
    uint16_t characteristics = 0;
    uint16_t dllCharacteristics = 0;
    std::vector<std::string> imports;  // the import table's library names, in order
    bool importsReadable = true;       // false when the import table is damaged
    std::vector<std::string> delayImports;  // the delay-import table's library names, in order
    bool delayImportsReadable = true;       // false when the delay-import table is damaged
    bool signerKnown = false;          // the certificate table names a signer this tool could read
    std::u16string signer;             // its simple display name
    bool signerCodeSigning = false;    // the signer's certificate names code signing among its uses
    bool digestKnown = false;          // the signature's signed digest could be read
    Pin digest{};                      // what a pin must name for this library to run
};

// What the launcher's own resources hold: the string table (the settings, the
// publisher and the pin, base/names.h) and the version block.
struct MaybeText {
    bool present = false;
    std::u16string text;
};

struct LauncherFacts {
    bool read = false;                   // the image's resources could be looked at
    MaybeText strings[STRING_ID_COUNT];  // ids FIRST_STRING_ID to LAST_STRING_ID (StringOf)
    bool hasVersion = false;
    uint16_t fileVersion[4] = {0, 0, 0, 0};
    uint16_t productVersion[4] = {0, 0, 0, 0};
    std::vector<std::pair<std::string, std::u16string>> versionStrings;  // StringFileInfo, first table
    std::vector<uint32_t> iconSizes;  // of the icon group MAIN (0 stands for 256)
};

inline const MaybeText& StringOf(const LauncherFacts& facts, StringId id) {
    return facts.strings[id - FIRST_STRING_ID];
}

// The runtime's signature chain judged by osslsigncode against roots the
// packager trusts, or by this machine's own trust services (the Windows build).
// Not checked: the verdict took the chain as trusted (Verdict::chainAssumed).
struct TrustFacts {
    bool checked = false;
    bool byMachine = false;  // this machine's trust services answered, not osslsigncode
    bool verified = false;
    uint32_t result = 0;  // what the launcher's trust services would answer, when not verified
    std::string detail;   // the reason, one line
};

struct CoderFacts {
    uint32_t methodId;
    std::string name;  // "LZMA", "BCJ2", ... or "0x..." for a method this tool does not know
};

// The result of decoding an install-list entry's folder.
struct DecodeFacts {
    bool tried = false;
    int result = 0;             // DecodeEntryFolder's code
    bool decodes = false;       // the folder decoded (its bytes may still fail the CRC)
    bool crcMatches = false;    // result 0: range in the folder and recorded CRC equal
    MaybeU64 decodedCrc;        // CRC-32 of the entry's decoded bytes, when they exist
};

enum class EntryRole { None, Payload, Runtime };

struct EntryFacts {
    uint32_t index = 0;
    bool hasName = false;
    std::u16string name;
    uint64_t size = 0;
    bool directory = false;
    uint32_t folder = NO_FOLDER;
    MaybeU64 packOffset;  // where the folder's first pack stream starts in the file
    std::vector<CoderFacts> coders;
    bool crcDefined = false;
    uint32_t crc = 0;
    EntryRole role = EntryRole::None;
    DecodeFacts decode;
    PeFacts runtimePe;  // for a runtime entry whose bytes decoded
};

struct PayloadFacts {
    bool checked = false;  // stage 9 ran: result holds its answer
    PayloadResult result = PayloadResult::Ok;
    bool hasEntry = false;   // the entry the result is about (the accepted or the refused one)
    uint32_t entry = 0;
    MaybeU64 offset;
    MaybeU64 size;
    bool crcDefined = false;
    uint32_t crc = 0;
};

// Who ends a start the verdict does not pass.
enum class Ender {
    Launcher,  // one of the launcher's outcomes (base/outcome.h)
    Runtime,   // the runtime, loaded and called, dies at its first call into a library it lacks
    Windows,   // Windows does not start the executable at all; code is the error its starter gets
};

// What the launcher ends with. code is the process exit code; status what a
// parent process sees (its low 8 bits).
struct Verdict {
    bool ok = false;
    int stage = 0;               // 0 when ok
    std::u16string message;      // empty when ok or when the launcher ends silently
    int code = 0;
    std::string explanation;     // why, in the packager's terms (may be empty)
    Ender by = Ender::Launcher;
    // The signature's chain was taken as trusted, not checked (no --trust-root
    // on Linux, or a machine whose trust check cannot be asked): the verdict is
    // the launcher's only on machines that trust it.
    bool chainAssumed = false;
};

struct InspectReport {
    std::u16string path;  // as the launcher would see its own path
    // Stage 3.
    bool probed = false;
    uint32_t searchStart = 0;
    uint64_t fileSize = 0;
    PeFacts host;
    // Stage 5 and the start header.
    bool archiveFound = false;
    uint64_t archiveStart = 0;
    uint8_t majorVersion = 0;
    uint8_t minorVersion = 0;
    uint64_t nextHeaderOffset = 0;
    uint64_t nextHeaderSize = 0;
    MaybeU64 archiveEnd;  // start + 32 + next header offset + size; unknown when the sum overflows
    // Stage 8.
    bool openTried = false;
    int openResult = 0;
    uint64_t dataPos = 0;
    uint32_t folderCount = 0;
    std::vector<EntryFacts> entries;
    // Stage 9 and the installation.
    PayloadFacts payload;
    bool runtimeChecked = false;
    bool runtimeInstallable = false;
    int runtimeEntry = -1;  // the entry the launcher would install last, or the first that failed
    LauncherFacts launcher;
    TrustFacts trust;
    Verdict verdict;
    std::vector<std::string> notes;  // advice beyond the verdict
};
