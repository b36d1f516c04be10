// The inspection: the launcher's stages 1 to 9 with its own functions, then
// the installation's decode of every install-list entry, without writing anything.
#include "tools/inspect/inspect.h"

#include <cstdio>
#include <cstring>

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/payload.h"
#include "base/long_path.h"
#include "cache/runtime_dir.h"
#include "launcher/build_config.h"
#include "base/error_box.h"
#include "launcher/handoff.h"
#include "launcher/integrity.h"
#include "launcher/launch.h"
#include "base/text.h"

namespace {

const char16_t PAYLOAD_NAME[] = u"vorlane.bin";
const char16_t RUNTIME_NAME[] = u"VorlaneStub.dll";
constexpr size_t HEADER_BLOCK = 4096;
// Launcher images are a few hundred KB; a larger one is read this far for its resources.
constexpr size_t IMAGE_READ_LIMIT = 64u << 20;
constexpr uint16_t FORCE_INTEGRITY = 0x0080;

struct ReaderGuard {
    ArchiveReader* reader = nullptr;
    ~ReaderGuard() {
        if (reader != nullptr) ArchiveReaderRelease(reader);
    }
};

struct DecodeGuard {
    ArchiveReader* reader;
    DecodedEntry entry{};
    explicit DecodeGuard(ArchiveReader* owner) : reader(owner) {}
    DecodeGuard(const DecodeGuard&) = delete;
    DecodeGuard& operator=(const DecodeGuard&) = delete;
    ~DecodeGuard() { ReleaseDecodedEntry(reader, &entry); }
};

struct NameGuard {
    char16_t* text = nullptr;
    NameGuard() = default;
    NameGuard(const NameGuard&) = delete;
    NameGuard& operator=(const NameGuard&) = delete;
    ~NameGuard() {
        if (text != nullptr) PlatHeapFree(text);
    }
};

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

std::u16string U16(const char* ascii) {
    std::u16string out;
    for (; *ascii != 0; ++ascii) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*ascii)));
    return out;
}

std::string Decimal(uint64_t value) { return std::to_string(value); }

void Refuse(InspectReport* report, int stage, const std::u16string& message, int code, const std::string& why) {
    report->verdict.ok = false;
    report->verdict.stage = stage;
    report->verdict.message = message;
    report->verdict.code = code;
    report->verdict.explanation = why;
}

const char* SdkCodeMeaning(int code) {
    switch (code) {
        case SZ_ERROR_DATA: return "SZ_ERROR_DATA: compressed data is corrupt";
        case SZ_ERROR_MEM: return "SZ_ERROR_MEM: out of memory";
        case SZ_ERROR_CRC: return "SZ_ERROR_CRC: a CRC does not match";
        case SZ_ERROR_UNSUPPORTED: return "SZ_ERROR_UNSUPPORTED: unsupported version, record or method";
        case SZ_ERROR_PARAM: return "SZ_ERROR_PARAM: inconsistent sizes";
        case SZ_ERROR_INPUT_EOF: return "SZ_ERROR_INPUT_EOF: the file ends before the archive does";
        case SZ_ERROR_READ: return "SZ_ERROR_READ: a read or seek failed";
        case SZ_ERROR_FAIL: return "SZ_ERROR_FAIL: a description disagrees with its sizes";
        case SZ_ERROR_ARCHIVE: return "SZ_ERROR_ARCHIVE: the header is damaged or malformed";
        case SZ_ERROR_NO_ARCHIVE: return "SZ_ERROR_NO_ARCHIVE: no archive at the start header";
        default: return "an error of the decoder";
    }
}

std::vector<CoderFacts> FolderCoders(const CSzArEx* db, uint32_t folder) {
    std::vector<CoderFacts> coders;
    if (db->db.FoCodersOffsets == nullptr || db->db.CodersData == nullptr || folder >= db->db.NumFolders) {
        return coders;
    }
    const size_t start = db->db.FoCodersOffsets[folder];
    const size_t end = db->db.FoCodersOffsets[folder + 1];
    if (end < start) return coders;
    CSzData data{db->db.CodersData + start, end - start};
    CSzFolder parsed;
    if (SzGetNextFolderItem(&parsed, &data) != SZ_OK) return coders;
    // Listed as 7-Zip lists them, from the coder that yields the unpacked bytes
    // back to the packed streams: the reverse of the recorded order.
    const uint32_t count = parsed.NumCoders < SZ_NUM_CODERS_IN_FOLDER_MAX ? parsed.NumCoders
                                                                          : SZ_NUM_CODERS_IN_FOLDER_MAX;
    for (uint32_t i = count; i > 0; --i) {
        const uint32_t id = parsed.Coders[i - 1].MethodID;
        coders.push_back(CoderFacts{id, MethodName(id)});
    }
    return coders;
}

void ListEntries(const CSzArEx* db, InspectReport* report) {
    for (uint32_t i = 0; i < db->NumFiles; ++i) {
        EntryFacts entry;
        entry.index = i;
        NameGuard name;
        // Out of memory here is the launcher's stage 9 failure, found again by LocatePayload.
        if (CopyEntryName(db, i, &name.text) && name.text != nullptr) {
            entry.hasName = true;
            entry.name = name.text;
        }
        entry.size = EntrySize(db, i);
        entry.directory = EntryIsDir(db, i);
        entry.folder = db->FileToFolder[i];
        if (entry.folder != NO_FOLDER && entry.folder < db->db.NumFolders) {
            if (db->db.PackPositions != nullptr) {
                const uint32_t pack = db->db.FoStartPackStreamIndex[entry.folder];
                entry.packOffset = MaybeU64{true, db->dataPos + db->db.PackPositions[pack]};
            }
            entry.coders = FolderCoders(db, entry.folder);
        }
        entry.crc = EntryCrc(db, i, &entry.crcDefined);
        if (entry.hasName && entry.name == PAYLOAD_NAME) entry.role = EntryRole::Payload;
        if (entry.hasName && entry.name == RUNTIME_NAME) entry.role = EntryRole::Runtime;
        report->entries.push_back(entry);
    }
}

// The entry a payload result is about: the launcher accepts the last candidate
// and stops at the first that fails, so the same walk finds it.
void DescribePayload(const CSzArEx* db, PlatFile exe, uint64_t fileSize, const PayloadLocation& location,
                     PayloadResult result, InspectReport* report) {
    PayloadFacts& facts = report->payload;
    switch (result) {
        case PayloadResult::Ok: facts.result = PayloadVerdict::Ok; break;
        case PayloadResult::NotFound: facts.result = PayloadVerdict::NotFound; break;
        case PayloadResult::OutOfRange: facts.result = PayloadVerdict::OutOfRange; break;
        case PayloadResult::CrcError: facts.result = PayloadVerdict::CrcError; break;
        case PayloadResult::OutOfMemory: facts.result = PayloadVerdict::OutOfMemory; break;
    }
    for (const EntryFacts& entry : report->entries) {
        if (entry.role != EntryRole::Payload || entry.directory || entry.size == 0 || !entry.packOffset.known) {
            continue;
        }
        const uint64_t offset = entry.packOffset.value;
        const bool inRange = offset >= db->dataPos && offset < fileSize && entry.size <= fileSize - offset;
        const bool failed = !inRange || !RegionCrcMatches(exe, offset, entry.size, entry.crc);
        facts.hasEntry = true;
        facts.entry = entry.index;
        facts.offset = MaybeU64{true, offset};
        facts.size = MaybeU64{true, entry.size};
        facts.crcDefined = entry.crcDefined;
        facts.crc = entry.crc;
        if (failed && result != PayloadResult::Ok) break;
    }
    if (result == PayloadResult::Ok) {
        facts.offset = MaybeU64{true, location.offset};
        facts.size = MaybeU64{true, location.size};
    }
}

void DecodeRuntimeEntries(ArchiveReader* reader, InspectReport* report, std::vector<uint8_t>* installed) {
    const CSzArEx* db = &reader->db;
    for (EntryFacts& entry : report->entries) {
        if (entry.role != EntryRole::Runtime) continue;
        DecodeGuard decoded(reader);
        DecodeFacts& facts = entry.decode;
        facts.tried = true;
        facts.result = DecodeEntryFolder(reader, entry.index, &decoded.entry);
        const uint8_t* bytes = nullptr;
        size_t size = 0;
        if (facts.result == SZ_OK) {
            facts.decodes = true;
            facts.crcMatches = true;
            bytes = decoded.entry.buffer != nullptr ? decoded.entry.buffer + decoded.entry.offset : nullptr;
            size = decoded.entry.size;
        } else if (facts.result == SZ_ERROR_CRC && decoded.entry.buffer != nullptr && entry.folder != NO_FOLDER) {
            // The folder decoded; a CRC refused it. Its bytes still tell what was packed.
            facts.decodes = true;
            const uint64_t folderStart = db->UnpackPositions[db->FolderToFile[entry.folder]];
            const uint64_t offset = db->UnpackPositions[entry.index] - folderStart;
            if (offset <= decoded.entry.bufferSize && entry.size <= decoded.entry.bufferSize - offset) {
                bytes = decoded.entry.buffer + offset;
                size = static_cast<size_t>(entry.size);
            }
        }
        if (facts.decodes && (bytes != nullptr || size == 0)) {
            facts.decodedCrc = MaybeU64{true, size == 0 ? 0u : CrcCalc(bytes, size)};
        }
        if (facts.crcMatches && bytes != nullptr) entry.runtimePe = ReadPeFacts(bytes, size, true);

        // The launcher writes every entry that decodes; the last one written stays.
        if (facts.crcMatches) {
            installed->assign(bytes, bytes + (bytes != nullptr ? size : 0));
            report->runtimeInstallable = true;
            report->runtimeEntry = static_cast<int>(entry.index);
        } else if (!report->runtimeInstallable && report->runtimeEntry < 0) {
            report->runtimeEntry = static_cast<int>(entry.index);
        }
    }
    report->runtimeChecked = true;
}

// What the launcher does after the installation when no library was written.
void RefuseMissingRuntime(InspectReport* report, const std::string& cause) {
    const std::string why = cause +
                            ": the launcher passes it over without a message and ends without a library. On a "
                            "machine whose cache holds no VorlaneStub.dll of runtime " +
                            Decimal(static_cast<uint64_t>(RUNTIME_VERSION)) +
                            ", the check cannot open the library and the run ends with this message. (Where an "
                            "earlier run left a library, it is not this archive's copy and is refused: \"The "
                            "installed VorlaneStub.dll is not this application's copy.\", exit 5.)";
    Refuse(report, 14, u"Cannot check VorlaneStub.dll: the file cannot be opened (error 2).", EXIT_INTEGRITY, why);
}

std::u16string Formatted(const char16_t* format, const char16_t* a, const char16_t* b = nullptr) {
    // The launcher's own formatting into its message buffer, cut where it cuts.
    char16_t message[MESSAGE_CAPACITY];
    TextFormat(message, MESSAGE_CAPACITY, format, a, b);
    return message;
}

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string Quoted(const std::u16string& text) { return "\"" + Utf8Of(text) + "\""; }

std::string Listed(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

// Stage 14, the signature: what the launcher's check would answer on a
// machine that trusts the chain (or, with roots given, that trusts just those).
bool JudgeSignature(const PeFacts& pe, const std::vector<uint8_t>& image, const InspectOptions& options,
                    InspectReport* report) {
    const MaybeText& publisherText = report->launcher.strings[3];
    if (!publisherText.present) {
        Refuse(report, 14, u"Cannot check VorlaneStub.dll: this application names no publisher.", EXIT_INTEGRITY,
               "string 7 of the launcher's string table is missing or empty: the launcher refuses every runtime "
               "library. Write the signer's name with vorlane-pack --publisher NAME.");
        return false;
    }
    // LoadString fills a 256-character buffer: a longer publisher is cut.
    const std::u16string publisher = publisherText.text.substr(0, PUBLISHER_CAPACITY - 1);
    if (!pe.valid || !pe.hasCertificateTable) {
        Refuse(report, 14, u"VorlaneStub.dll is not signed.", EXIT_INTEGRITY,
               "the runtime library carries no Authenticode signature. Sign it with a certificate whose name is " +
                   Quoted(publisher) + " (vorlane-pack --sign-runtime or --sign-pkcs12).");
        return false;
    }
    // A name that does not fit the trust services' buffer is no name.
    const std::u16string signer = pe.signerKnown && pe.signer.size() < PLAT_SIGNER_CAPACITY ? pe.signer : u"";
    if (!options.trustRoots.empty()) {
        TrustFacts& trust = report->trust;
        trust.checked = true;
        std::string output;
        const int verified = options.verify != nullptr
                                 ? options.verify(image.data(), image.size(), options.trustRoots, &output)
                                 : -1;
        trust.detail = output;
        if (verified < 0) {
            report->notes.push_back("the signature's chain was not checked: " + output);
        } else if (verified == 0) {
            trust.verified = true;
        } else {
            const bool broken = output.find("digest mismatch") != std::string::npos ||
                                output.find("MISMATCH") != std::string::npos;
            trust.result = broken ? 0x80096010u : PLAT_TRUST_UNTRUSTED_ROOT;
            if (broken) {
                Refuse(report, 14, u"VorlaneStub.dll has an invalid signature (0x80096010).", EXIT_INTEGRITY,
                       "the runtime library was changed after it was signed: " + output);
            } else {
                Refuse(report, 14,
                       Formatted(u"VorlaneStub.dll is signed by %s, whose certificate is not trusted (0x800B0109).",
                                 signer.empty() ? u"an unknown signer" : signer.c_str()),
                       EXIT_INTEGRITY, "its chain does not lead to a root given with --trust-root: " + output);
            }
            return false;
        }
    }
    if (!pe.signerKnown) {
        report->notes.push_back("the signer's name cannot be read from VorlaneStub.dll's signature: whether it is " +
                                Quoted(publisher) + " is not checked.");
        return true;
    }
    if (signer != publisher) {
        Refuse(report, 14,
               Formatted(u"VorlaneStub.dll is signed by %s, expected %s.", signer.empty() ? u"(no name)" : signer.c_str(),
                         publisher.c_str()),
               EXIT_INTEGRITY,
               "the launcher requires the signer's display name to equal its publisher (string 7) character for "
               "character. Sign with the publisher's certificate, or write its name with vorlane-pack --publisher.");
        return false;
    }
    if (options.trustRoots.empty()) {
        report->notes.push_back("the signature's chain was not checked: the launcher also needs it to lead to a root "
                                "your users' machines trust (vorlane-inspect --trust-root ROOT checks it).");
    }
    return true;
}

// Stage 15: the load, the export and the two settings the runtime receives.
void JudgeLoad(const PeFacts& pe, InspectReport* report) {
    const char16_t* failed = u"Failed to load VorlaneStub DLL";
    if (!pe.valid) {
        Refuse(report, 15, failed, EXIT_RUNTIME_LOAD, "VorlaneStub.dll is not a PE image.");
        return;
    }
    if (pe.machine != 0x8664 || pe.magic != 0x20B) {
        Refuse(report, 15, failed, EXIT_RUNTIME_LOAD,
               "VorlaneStub.dll is not a 64-bit x86-64 image (machine " + Hex16(pe.machine) + "): the 64-bit launcher cannot load it.");
        return;
    }
    if (!pe.importsReadable) {
        Refuse(report, 15, failed, EXIT_RUNTIME_LOAD, "VorlaneStub.dll's import table is damaged.");
        return;
    }
    std::vector<std::string> foreign;
    for (const std::string& name : pe.imports) {
        if (!IsSystemLibrary(name)) foreign.push_back(name);
    }
    if (!foreign.empty()) {
        Refuse(report, 15, failed, EXIT_RUNTIME_LOAD,
               "VorlaneStub.dll imports " + Listed(foreign) +
                   ", which Windows does not provide: the launcher takes the runtime's dependencies from the system "
                   "folder only. Link them into it statically (mingw: -static -static-libgcc -static-libstdc++; "
                   "MSVC: /MT).");
        return;
    }
    if (!pe.dll) report->notes.push_back("VorlaneStub.dll is an executable, not a DLL.");
    if (pe.dllCharacteristics & FORCE_INTEGRITY) {
        report->notes.push_back("VorlaneStub.dll asks for forced integrity checks (/INTEGRITYCHECK): Windows loads it "
                                "only when its signature carries page hashes it accepts.");
    }
    if (!pe.exportsInit) {
        Refuse(report, 15, failed, EXIT_RUNTIME_LOAD,
               "VorlaneStub.dll does not export VorlaneInit under its plain name (extern \"C\" "
               "__declspec(dllexport) on x64).");
        return;
    }
    if (!report->launcher.strings[0].present || !report->launcher.strings[1].present) {
        Refuse(report, 15, u"", EXIT_SETTING_MISSING,
               std::string("setting ") + (report->launcher.strings[0].present ? "5" : "4") +
                   " is missing from the launcher's string table: the launcher loads the runtime but does not call "
                   "it. Give it a value (vorlane-pack --setting4 / --setting5).");
    }
}

void JudgeRuntime(const std::vector<uint8_t>& installed, const InspectOptions& options, InspectReport* report) {
    if (report->runtimeInstallable) {
        const EntryFacts& entry = report->entries[static_cast<size_t>(report->runtimeEntry)];
#if VORLANE_VERIFY_SIGNATURE
        if (!JudgeSignature(entry.runtimePe, installed, options, report)) return;
#else
        (void)installed;
        (void)options;
#endif
        JudgeLoad(entry.runtimePe, report);
        return;
    }
    if (report->runtimeEntry < 0) {
        RefuseMissingRuntime(report, "the archive holds no entry named exactly \"VorlaneStub.dll\"");
        return;
    }
    const EntryFacts& entry = report->entries[static_cast<size_t>(report->runtimeEntry)];
    std::string cause = "entry #" + Decimal(entry.index) + " \"VorlaneStub.dll\" ";
    cause += entry.decode.decodes ? "decodes but fails its CRC check" : "does not decode";
    cause += " (" + std::string(SdkCodeMeaning(entry.decode.result)) + ")";
    RefuseMissingRuntime(report, cause);
}

bool SameIgnoringAsciiCase(const std::u16string& a, const char16_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i) {
        char16_t x = a[i];
        char16_t y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return i == a.size() && b[i] == 0;
}

// Names the launcher compares exactly: a near miss is the likeliest packaging slip.
void NoteNearNames(InspectReport* report) {
    for (const EntryFacts& entry : report->entries) {
        if (!entry.hasName || entry.role != EntryRole::None) continue;
        for (const char16_t* wanted : {PAYLOAD_NAME, RUNTIME_NAME}) {
            if (SameIgnoringAsciiCase(entry.name, wanted)) {
                report->notes.push_back("entry #" + Decimal(entry.index) + " \"" + Utf8Of(entry.name) +
                                        "\" differs from \"" + Utf8Of(wanted) +
                                        "\" only in letter case; the launcher compares names exactly.");
            }
        }
    }
}

void ReadHostFacts(PlatFile exe, InspectReport* report) {
    uint8_t block[HEADER_BLOCK];
    int64_t position = 0;
    size_t got = 0;
    if (FileSeek(exe, &position, FILE_BEGIN) != 0 || FileRead(exe, block, sizeof block, &got) != 0) return;
    report->host = ReadPeFacts(block, got, false);
}

// The launcher's resources, from its image (the file up to the search start).
void ReadLauncherResources(PlatFile exe, uint64_t imageEnd, InspectReport* report) {
    std::vector<uint8_t> image(static_cast<size_t>(imageEnd < IMAGE_READ_LIMIT ? imageEnd : IMAGE_READ_LIMIT));
    int64_t position = 0;
    size_t got = 0;
    if (image.empty() || FileSeek(exe, &position, FILE_BEGIN) != 0 || FileRead(exe, image.data(), image.size(), &got) != 0) {
        return;
    }
    report->launcher = ReadLauncherFacts(image.data(), got);
}

bool ReadStartHeader(PlatFile exe, InspectReport* report) {
    uint8_t header[START_HEADER_SIZE];
    int64_t position = static_cast<int64_t>(report->archiveStart);
    size_t got = 0;
    if (FileSeek(exe, &position, FILE_BEGIN) != 0 || FileRead(exe, header, sizeof header, &got) != 0 ||
        got != sizeof header) {
        return false;
    }
    report->majorVersion = header[6];
    report->minorVersion = header[7];
    report->nextHeaderOffset = Le64(header + 12);
    report->nextHeaderSize = Le64(header + 20);
    const uint64_t base = report->archiveStart + START_HEADER_SIZE;
    const uint64_t end = base + report->nextHeaderOffset;
    if (end >= base && end + report->nextHeaderSize >= end) {
        report->archiveEnd = MaybeU64{true, end + report->nextHeaderSize};
    }
    return true;
}

const char* PayloadExplanation(PayloadResult result) {
    switch (result) {
        case PayloadResult::NotFound:
            return "no entry named exactly \"vorlane.bin\" with data (a file of at least one byte) in the archive";
        case PayloadResult::OutOfRange:
            return "the payload's bytes would reach past the end of the file: the payload must be stored (Copy) "
                   "and lie inside the executable";
        case PayloadResult::CrcError:
            return "the payload's bytes in the executable do not match its recorded CRC-32: the file was changed "
                   "after packing, or the payload is not stored";
        case PayloadResult::OutOfMemory: return "an entry name could not be allocated";
        case PayloadResult::Ok: break;
    }
    return "";
}

const char16_t* PayloadMessage(PayloadResult result) {
    switch (result) {
        case PayloadResult::NotFound: return u"Vorlane.Bin not found";
        case PayloadResult::OutOfRange: return u"Vorlane.Bin offset out of range";
        case PayloadResult::CrcError: return u"Vorlane.Bin CRC error";
        case PayloadResult::OutOfMemory: return u"Memory allocation error";
        case PayloadResult::Ok: break;
    }
    return u"";
}

}  // namespace

int ExitStatusOf(int code) { return static_cast<int>(static_cast<uint32_t>(code) & 0xFFu); }

void InspectPackage(const char16_t* path, const InspectOptions& options, InspectReport* report) {
    *report = InspectReport{};
    report->path = path;

    // Stage 1: the launcher's own path must leave room for its terminator.
    HostImage image{};
    if (report->path.empty() || report->path.size() >= PATH_CAPACITY) {
        Refuse(report, 1, u"Cannot resolve own module path", EXIT_OWN_PATH,
               "the path is " + Decimal(report->path.size()) + " characters long; the launcher's own path must be "
               "shorter than " + Decimal(PATH_CAPACITY) + " characters");
        return;
    }
    std::memcpy(image.modulePath, path, (report->path.size() + 1) * sizeof(char16_t));

    // Stage 2.
    FileHandle exe;
    const uint32_t openError = OpenLongFile(&exe.file, image.modulePath, OpenMode::Read);
    if (openError != 0) {
        Refuse(report, 2, u"Error opening EXE", EXIT_EXE_OPEN,
               "the file cannot be opened for reading with read sharing (error " + Decimal(openError) + ")");
        return;
    }

    // Stage 3.
    ReadHostFacts(exe.file, report);
    if (!ProbeHostImage(&image)) {
        Refuse(report, 3, u"Cannot determine EXE size", EXIT_PROBE,
               "the PE headers fail the launcher's probe: MZ signature, e_lfanew below 3832, PE signature and the "
               "whole section table within the first 4096 bytes");
        return;
    }
    report->probed = true;
    report->searchStart = image.searchStart;
    report->fileSize = image.fileSize;
    ReadLauncherResources(exe.file, image.searchStart, report);

    // Stages 4 and 5.
    CrcGenerateTable();
    uint64_t archiveStart = 0;
    if (!FindArchiveStart(exe.file, image, &archiveStart)) {
        Refuse(report, 5, u"7z archive not found", EXIT_NO_ARCHIVE,
               "no valid 7z start header within 4 MiB after the image's raw data (search start " +
                   Decimal(image.searchStart) + ", file size " + Decimal(image.fileSize) + ")");
        return;
    }
    report->archiveFound = true;
    report->archiveStart = archiveStart;
    ReadStartHeader(exe.file, report);
    if (report->host.hasCertificateTable) {
        const uint64_t certStart = report->host.certificateOffset;
        const uint64_t certEnd = certStart + report->host.certificateSize;
        if (certEnd > image.fileSize) {
            report->notes.push_back("the certificate table the PE headers name runs past the end of the file: "
                                    "the executable's signature is broken.");
        } else if (report->archiveEnd.known && certStart < report->archiveEnd.value &&
                   certEnd > archiveStart) {
            report->notes.push_back("the certificate table the PE headers name overlaps the archive (a launcher "
                                    "signed before packing?): sign the packaged executable, never the launcher "
                                    "before packing.");
        }
    }

    // Stage 6.
    int64_t position = static_cast<int64_t>(archiveStart);
    if (FileSeek(exe.file, &position, FILE_BEGIN) != 0) {
        Refuse(report, 6, u"", EXIT_ARCHIVE_SEEK, "the file cannot be positioned at the archive start");
        return;
    }

    // Stage 7.
    ArchiveReader reader;
    ArchiveReaderSetUp(&reader, exe.file);
    ReaderGuard guard;
    guard.reader = &reader;
    if (!ArchiveReaderAllocBuffer(&reader)) {
        Refuse(report, 7, u"Memory allocation error", EXIT_READER_MEMORY, "the look-ahead buffer or the checks' read buffer");
        return;
    }

    // Stage 8.
    report->openTried = true;
    report->openResult = ArchiveReaderOpen(&reader);
    if (report->openResult != SZ_OK) {
        Refuse(report, 8, u"SzArEx_Open error: " + U16(Decimal(static_cast<uint64_t>(report->openResult)).c_str()),
               EXIT_ARCHIVE_OPEN, SdkCodeMeaning(report->openResult));
        return;
    }
    report->dataPos = reader.db.dataPos;
    report->folderCount = reader.db.db.NumFolders;
    ListEntries(&reader.db, report);
    NoteNearNames(report);

    // Stage 9.
    PayloadLocation location{};
    const PayloadResult located = LocatePayload(&reader, exe.file, image.fileSize, &location);
    DescribePayload(&reader.db, exe.file, image.fileSize, location, located, report);

    // The installation's decode runs whatever stage 9 said: the packager wants both answers.
    std::vector<uint8_t> installed;
    DecodeRuntimeEntries(&reader, report, &installed);

    if (located != PayloadResult::Ok) {
        Refuse(report, 9, PayloadMessage(located),
               located == PayloadResult::OutOfMemory ? EXIT_PAYLOAD_MEMORY : EXIT_PAYLOAD,
               PayloadExplanation(located));
        return;
    }
    report->verdict = Verdict{};
    report->verdict.ok = true;
    JudgeRuntime(installed, options, report);
}
