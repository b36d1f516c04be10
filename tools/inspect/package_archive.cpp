// The package's archive, read with the launcher's own reader: the start
// header, the entries and their coders, the payload's in-place check and the
// decode of the runtime entries, without writing anything.
#include "tools/inspect/package_archive.h"

#include "archive/file_crc.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/payload.h"
#include "base/owned.h"
#include "base/names.h"
#include "tools/inspect/inspect.h"
#include "tools/inspect/pe_layout.h"

namespace {

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

}  // namespace

std::string MethodName(uint32_t methodId) {
    switch (methodId) {
        case 0x00: return "Copy";
        case 0x03: return "Delta";
        case 0x0A: return "ARM64";
        case 0x0B: return "RISCV";
        case 0x21: return "LZMA2";
        case 0x030101: return "LZMA";
        case 0x030401: return "PPMD";
        case 0x03030103: return "BCJ";
        case 0x0303011B: return "BCJ2";
        case 0x03030205: return "PPC";
        case 0x03030401: return "IA64";
        case 0x03030501: return "ARM";
        case 0x03030701: return "ARMT";
        case 0x03030805: return "SPARC";
        case 0x040108: return "Deflate";
        case 0x040109: return "Deflate64";
        case 0x040202: return "BZip2";
        case 0x06F10701: return "AES";
        default: break;
    }
    return "0x" + HexNumber(methodId, 1, true);
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

bool ReadStartHeader(PlatFile exe, InspectReport* report) {
    uint8_t header[START_HEADER_SIZE];
    int64_t position = static_cast<int64_t>(report->archiveStart);
    size_t got = 0;
    if (!FileSeek(exe, &position, FILE_BEGIN, nullptr) || !FileRead(exe, header, sizeof header, &got, nullptr) ||
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

void ListEntries(const CSzArEx* db, InspectReport* report) {
    for (uint32_t i = 0; i < db->NumFiles; ++i) {
        EntryFacts entry;
        entry.index = i;
        char16_t* copied = nullptr;
        // Out of memory here is the launcher's stage 9 failure, found again by LocateAndCheckPayload.
        const bool copiedOk = CopyEntryName(db, i, &copied);
        const OwnedText name(copied);
        if (copiedOk && name.Valid()) {
            entry.hasName = true;
            entry.name = name.Get();
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
        if (entry.hasName && entry.name == LIBRARY_NAME) entry.role = EntryRole::Runtime;
        report->entries.push_back(entry);
    }
}

// Names the launcher compares exactly: a near miss is the likeliest packaging slip.
void NoteNearNames(InspectReport* report) {
    for (const EntryFacts& entry : report->entries) {
        if (!entry.hasName || entry.role != EntryRole::None) continue;
        for (const char16_t* wanted : {PAYLOAD_NAME, LIBRARY_NAME}) {
            if (SameIgnoringAsciiCase(entry.name, wanted)) {
                report->notes.push_back("entry #" + Dec(entry.index) + " \"" + Utf8Of(entry.name) +
                                        "\" differs from \"" + Utf8Of(wanted) +
                                        "\" only in letter case; the launcher compares names exactly.");
            }
        }
    }
}

// The entry a payload result is about: the launcher accepts the last candidate
// and stops at the first that fails, so the same walk finds it.
void DescribePayload(const CSzArEx* db, PlatFile exe, uint64_t fileSize, const PayloadLocation& location,
                     PayloadResult result, InspectReport* report) {
    PayloadFacts& facts = report->payload;
    facts.checked = true;
    facts.result = result;
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
        DecodeEntryFolder(reader, entry.index, &decoded.entry, &facts.result);
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
