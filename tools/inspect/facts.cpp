// Facts read from bytes: 7z method names and the PE header fields a packager
// cares about. Everything read is bounds-checked: the input is any file.
#include <cctype>
#include <cstring>

#include "tools/inspect/inspect.h"

namespace {

bool Has(size_t size, size_t at, size_t length) { return at <= size && length <= size - at; }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// The file offset of an RVA through the section table; false when no section's raw data holds it.
bool OffsetOfRva(const uint8_t* bytes, size_t size, size_t table, uint32_t sections, uint32_t rva, size_t* offset) {
    for (uint32_t i = 0; i < sections; ++i) {
        const size_t at = table + static_cast<size_t>(i) * 40;
        if (!Has(size, at, 40)) return false;
        const uint32_t virtualSize = Le32(bytes + at + 8);
        const uint32_t virtualAddress = Le32(bytes + at + 12);
        const uint32_t rawSize = Le32(bytes + at + 16);
        const uint32_t rawPointer = Le32(bytes + at + 20);
        const uint32_t span = virtualSize > rawSize ? virtualSize : rawSize;
        if (rva < virtualAddress || rva - virtualAddress >= span) continue;
        if (rva - virtualAddress >= rawSize) return false;
        *offset = static_cast<size_t>(rawPointer) + (rva - virtualAddress);
        return *offset < size;
    }
    return false;
}

bool ExportsName(const uint8_t* bytes, size_t size, size_t table, uint32_t sections, uint32_t exportRva,
                 const char* wanted) {
    size_t directory = 0;
    if (exportRva == 0 || !OffsetOfRva(bytes, size, table, sections, exportRva, &directory)) return false;
    if (!Has(size, directory, 40)) return false;
    const uint32_t count = Le32(bytes + directory + 24);
    size_t names = 0;
    if (!OffsetOfRva(bytes, size, table, sections, Le32(bytes + directory + 32), &names)) return false;
    const size_t wantedLength = std::strlen(wanted);
    for (uint32_t i = 0; i < count; ++i) {
        if (!Has(size, names + static_cast<size_t>(i) * 4, 4)) return false;
        size_t name = 0;
        if (!OffsetOfRva(bytes, size, table, sections, Le32(bytes + names + static_cast<size_t>(i) * 4), &name)) {
            continue;
        }
        if (Has(size, name, wantedLength + 1) && std::memcmp(bytes + name, wanted, wantedLength + 1) == 0) {
            return true;
        }
    }
    return false;
}

// The sections of an image, to map RVAs to file offsets.
struct Sections {
    size_t table = 0;
    uint32_t count = 0;
};

bool Headers(const uint8_t* bytes, size_t size, size_t* optional, size_t* directories, uint32_t* directoryCount,
             Sections* sections) {
    if (!Has(size, 0, 64) || Le16(bytes) != 0x5A4D) return false;
    const size_t lfanew = Le32(bytes + 60);
    if (!Has(size, lfanew, 24) || Le32(bytes + lfanew) != 0x00004550) return false;
    const size_t optionalSize = Le16(bytes + lfanew + 20);
    *optional = lfanew + 24;
    if (!Has(size, *optional, 2)) return false;
    const uint16_t magic = Le16(bytes + *optional);
    const size_t countAt = *optional + (magic == 0x20B ? 108 : 92);
    *directories = countAt + 4;
    if ((magic != 0x20B && magic != 0x10B) || !Has(size, countAt, 4) || *directories > *optional + optionalSize) {
        return false;
    }
    uint32_t count = Le32(bytes + countAt);
    const size_t room = (*optional + optionalSize - *directories) / 8;
    *directoryCount = count > room ? static_cast<uint32_t>(room) : count;
    sections->table = *optional + optionalSize;
    sections->count = Le16(bytes + lfanew + 6);
    return true;
}

bool Directory(const uint8_t* bytes, size_t size, size_t directories, uint32_t count, uint32_t index, uint32_t* rva,
               uint32_t* length) {
    const size_t at = directories + static_cast<size_t>(index) * 8;
    if (index >= count || !Has(size, at, 8)) return false;
    *rva = Le32(bytes + at);
    *length = Le32(bytes + at + 4);
    return *rva != 0;
}

// A NUL-terminated ASCII name at an RVA (at most 256 characters).
bool NameAt(const uint8_t* bytes, size_t size, const Sections& s, uint32_t rva, std::string* name) {
    size_t at = 0;
    if (!OffsetOfRva(bytes, size, s.table, s.count, rva, &at)) return false;
    name->clear();
    for (; at < size && bytes[at] != 0; ++at) {
        if (name->size() == 256) return false;
        name->push_back(static_cast<char>(bytes[at]));
    }
    return at < size;
}

void ReadImports(const uint8_t* bytes, size_t size, const Sections& s, uint32_t rva, PeFacts* facts) {
    size_t at = 0;
    if (!OffsetOfRva(bytes, size, s.table, s.count, rva, &at)) {
        facts->importsReadable = false;
        return;
    }
    for (int i = 0; i < 4096; ++i, at += 20) {
        if (!Has(size, at, 20)) break;
        const uint32_t lookup = Le32(bytes + at);
        const uint32_t nameRva = Le32(bytes + at + 12);
        const uint32_t thunks = Le32(bytes + at + 16);
        if (lookup == 0 && nameRva == 0 && thunks == 0) return;
        std::string name;
        if (!NameAt(bytes, size, s, nameRva, &name)) break;
        facts->imports.push_back(name);
    }
    facts->importsReadable = false;
}

// ---- resources ---------------------------------------------------------------------

struct ResourceTree {
    const uint8_t* bytes;
    size_t size;
    Sections sections;
    size_t base;  // file offset of the root directory
};

// The entries of the directory at offset (relative to the root): calls visit
// with each entry's id (or, for a named entry, -1 and its name) and its target.
template <typename Visit>
void Entries(const ResourceTree& t, size_t directory, Visit visit) {
    const size_t at = t.base + directory;
    if (!Has(t.size, at, 16)) return;
    const uint32_t total = static_cast<uint32_t>(Le16(t.bytes + at + 12)) + Le16(t.bytes + at + 14);
    for (uint32_t i = 0; i < total && i < 4096; ++i) {
        const size_t entry = at + 16 + static_cast<size_t>(i) * 8;
        if (!Has(t.size, entry, 8)) return;
        const uint32_t name = Le32(t.bytes + entry);
        const uint32_t target = Le32(t.bytes + entry + 4);
        std::u16string text;
        if (name & 0x80000000u) {
            const size_t n = t.base + (name & 0x7FFFFFFFu);
            if (!Has(t.size, n, 2)) continue;
            const size_t length = Le16(t.bytes + n);
            if (!Has(t.size, n + 2, length * 2)) continue;
            for (size_t c = 0; c < length; ++c) text.push_back(static_cast<char16_t>(Le16(t.bytes + n + 2 + c * 2)));
        }
        if (!visit(name & 0x80000000u ? -1 : static_cast<int64_t>(name), text, target)) return;
    }
}

// The data of the first language of type/name: its file offset and size.
bool Leaf(const ResourceTree& t, uint32_t type, int64_t id, const char16_t* name, size_t* offset, size_t* length) {
    bool found = false;
    Entries(t, 0, [&](int64_t typeId, const std::u16string&, uint32_t typeTarget) {
        if (typeId != type || !(typeTarget & 0x80000000u)) return true;
        Entries(t, typeTarget & 0x7FFFFFFFu, [&](int64_t nameId, const std::u16string& text, uint32_t nameTarget) {
            const bool wanted = name != nullptr ? nameId < 0 && text == name : nameId == id;
            if (!wanted || !(nameTarget & 0x80000000u)) return true;
            Entries(t, nameTarget & 0x7FFFFFFFu, [&](int64_t, const std::u16string&, uint32_t langTarget) {
                const size_t data = t.base + (langTarget & 0x7FFFFFFFu);
                if ((langTarget & 0x80000000u) || !Has(t.size, data, 16)) return false;
                const uint32_t size = Le32(t.bytes + data + 4);
                found = OffsetOfRva(t.bytes, t.size, t.sections.table, t.sections.count, Le32(t.bytes + data), offset) &&
                        Has(t.size, *offset, size);
                *length = size;
                return false;
            });
            return false;
        });
        return false;
    });
    return found;
}

void ReadStrings(const ResourceTree& t, LauncherFacts* facts) {
    size_t at = 0;
    size_t length = 0;
    if (!Leaf(t, 6, 1, nullptr, &at, &length)) return;  // block 1: ids 0 to 15
    const size_t end = at + length;
    for (int id = 0; id < 16; ++id) {
        if (at + 2 > end) return;
        const size_t count = Le16(t.bytes + at);
        at += 2;
        if (count * 2 > end - at) return;
        if (id >= 4 && id <= 7 && count > 0) {
            MaybeText& text = facts->strings[id - 4];
            text.present = true;
            for (size_t c = 0; c < count; ++c) text.text.push_back(static_cast<char16_t>(Le16(t.bytes + at + c * 2)));
        }
        at += count * 2;
    }
}

// One node of a version block: its extent, key, value and children.
struct VersionNode {
    size_t end = 0;
    size_t valueLength = 0;
    uint16_t type = 0;
    std::u16string key;
    size_t value = 0;  // offset of the value, 4-aligned after the key
};

size_t Align4(size_t at, size_t origin) { return origin + ((at - origin + 3) & ~static_cast<size_t>(3)); }

bool ReadNode(const uint8_t* bytes, size_t at, size_t limit, size_t origin, VersionNode* node) {
    if (at + 6 > limit) return false;
    const size_t length = Le16(bytes + at);
    if (length < 6 || length > limit - at) return false;
    node->end = at + length;
    node->valueLength = Le16(bytes + at + 2);
    node->type = Le16(bytes + at + 4);
    node->key.clear();
    size_t p = at + 6;
    while (p + 2 <= node->end && Le16(bytes + p) != 0) {
        node->key.push_back(static_cast<char16_t>(Le16(bytes + p)));
        p += 2;
    }
    node->value = Align4(p + 2, origin);
    return p + 2 <= node->end;
}

void ReadVersion(const ResourceTree& t, LauncherFacts* facts) {
    size_t at = 0;
    size_t length = 0;
    if (!Leaf(t, 16, 1, nullptr, &at, &length)) return;
    const uint8_t* b = t.bytes;
    const size_t origin = at;
    VersionNode root;
    if (!ReadNode(b, at, at + length, origin, &root) || root.key != u"VS_VERSION_INFO") return;
    if (root.valueLength >= 52 && root.value + 52 <= root.end && Le32(b + root.value) == 0xFEEF04BDu) {
        facts->hasVersion = true;
        const uint32_t parts[4] = {Le32(b + root.value + 8), Le32(b + root.value + 12), Le32(b + root.value + 16),
                                   Le32(b + root.value + 20)};
        for (int i = 0; i < 2; ++i) {
            facts->fileVersion[2 * i] = static_cast<uint16_t>(parts[i] >> 16);
            facts->fileVersion[2 * i + 1] = static_cast<uint16_t>(parts[i]);
            facts->productVersion[2 * i] = static_cast<uint16_t>(parts[2 + i] >> 16);
            facts->productVersion[2 * i + 1] = static_cast<uint16_t>(parts[2 + i]);
        }
    }
    for (size_t child = Align4(root.value + root.valueLength, origin); child < root.end;) {
        VersionNode info;
        if (!ReadNode(b, child, root.end, origin, &info)) return;
        if (info.key == u"StringFileInfo") {
            VersionNode table;
            if (!ReadNode(b, info.value, info.end, origin, &table)) return;
            for (size_t s = table.value; s < table.end;) {
                VersionNode entry;
                if (!ReadNode(b, s, table.end, origin, &entry)) return;
                std::u16string value;
                for (size_t p = entry.value; p + 2 <= entry.end && Le16(b + p) != 0; p += 2) {
                    value.push_back(static_cast<char16_t>(Le16(b + p)));
                }
                facts->versionStrings.emplace_back(Utf8Of(entry.key), value);
                s = Align4(entry.end, origin);
            }
            return;
        }
        child = Align4(info.end, origin);
    }
}

void ReadIcons(const ResourceTree& t, LauncherFacts* facts) {
    size_t at = 0;
    size_t length = 0;
    if (!Leaf(t, 14, 0, u"MAIN", &at, &length) || length < 6) return;
    const size_t count = Le16(t.bytes + at + 4);
    for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= length; ++i) facts->iconSizes.push_back(t.bytes[at + 6 + i * 14]);
}

// Libraries of the system folder on every Windows the launcher supports (7 and
// later), which its restricted search finds; API sets resolve there too.
const char* const SYSTEM_LIBRARIES[] = {
    "advapi32.dll", "advpack.dll", "avrt.dll", "bcrypt.dll", "cabinet.dll", "cfgmgr32.dll", "clusapi.dll",
    "comctl32.dll", "comdlg32.dll", "credui.dll", "crypt32.dll", "cryptbase.dll", "cryptnet.dll", "cryptsp.dll",
    "cryptui.dll", "d2d1.dll", "d3d10.dll", "d3d10_1.dll", "d3d11.dll", "d3d9.dll", "d3dcompiler_47.dll",
    "dbghelp.dll", "dcomp.dll", "ddraw.dll", "devobj.dll", "dhcpcsvc.dll", "dinput8.dll", "dnsapi.dll",
    "dpapi.dll", "dsound.dll", "dwmapi.dll", "dwrite.dll", "dxgi.dll", "dxva2.dll", "esent.dll", "evr.dll",
    "fltlib.dll", "gdi32.dll", "gdiplus.dll", "glu32.dll", "hid.dll", "hlink.dll", "httpapi.dll", "icmp.dll",
    "imagehlp.dll", "imm32.dll", "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "ksuser.dll", "ktmw32.dll",
    "logoncli.dll", "lz32.dll", "mf.dll", "mfplat.dll", "mfreadwrite.dll", "mgmtapi.dll", "mlang.dll",
    "mmdevapi.dll", "mpr.dll", "msacm32.dll", "mscms.dll", "msctf.dll", "msi.dll", "msimg32.dll", "msvcrt.dll",
    "mswsock.dll", "msxml3.dll", "msxml6.dll", "ncrypt.dll", "netapi32.dll", "newdev.dll", "normaliz.dll",
    "ntdll.dll", "ntdsapi.dll", "odbc32.dll", "ole32.dll", "oleacc.dll", "oleaut32.dll", "oledlg.dll",
    "opengl32.dll", "pdh.dll", "powrprof.dll", "propsys.dll", "psapi.dll", "quartz.dll", "rasapi32.dll",
    "riched20.dll", "rpcrt4.dll", "rstrtmgr.dll", "samcli.dll", "secur32.dll", "sensapi.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shfolder.dll", "shlwapi.dll", "slc.dll", "srvcli.dll", "sspicli.dll",
    "t2embed.dll", "tapi32.dll", "tdh.dll", "ucrtbase.dll", "urlmon.dll", "user32.dll", "userenv.dll",
    "usp10.dll", "uxtheme.dll", "version.dll", "virtdisk.dll", "winhttp.dll", "wininet.dll", "winmm.dll",
    "winscard.dll", "winspool.drv", "wintrust.dll", "winusb.dll", "wkscli.dll", "wldap32.dll", "wlanapi.dll",
    "ws2_32.dll", "wsock32.dll", "wtsapi32.dll", "xinput1_4.dll", "xinput9_1_0.dll", "xmllite.dll",
};

}  // namespace

bool IsSystemLibrary(const std::string& name) {
    std::string lower;
    for (const char c : name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (lower.rfind("api-ms-win-", 0) == 0 || lower.rfind("ext-ms-win-", 0) == 0) return true;
    for (const char* known : SYSTEM_LIBRARIES) {
        if (lower == known) return true;
    }
    return false;
}

LauncherFacts ReadLauncherFacts(const uint8_t* bytes, size_t size) {
    LauncherFacts facts;
    size_t optional = 0;
    size_t directories = 0;
    uint32_t count = 0;
    Sections sections;
    uint32_t rva = 0;
    uint32_t length = 0;
    if (!Headers(bytes, size, &optional, &directories, &count, &sections)) return facts;
    facts.read = true;
    if (!Directory(bytes, size, directories, count, 2, &rva, &length)) return facts;
    ResourceTree tree{bytes, size, sections, 0};
    if (!OffsetOfRva(bytes, size, sections.table, sections.count, rva, &tree.base)) return facts;
    ReadStrings(tree, &facts);
    ReadVersion(tree, &facts);
    ReadIcons(tree, &facts);
    return facts;
}

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
    static const char hex[] = "0123456789ABCDEF";
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = (methodId >> shift) & 0xFu;
        if (digit != 0 || started || shift == 0) {
            text.push_back(hex[digit]);
            started = true;
        }
    }
    return text;
}

PeFacts ReadPeFacts(const uint8_t* bytes, size_t size, bool wholeImage) {
    PeFacts facts;
    if (!Has(size, 0, 64) || Le16(bytes) != 0x5A4D) return facts;
    const size_t lfanew = Le32(bytes + 60);
    if (!Has(size, lfanew, 24) || Le32(bytes + lfanew) != 0x00004550) return facts;
    facts.valid = true;
    facts.machine = Le16(bytes + lfanew + 4);
    const uint32_t sections = Le16(bytes + lfanew + 6);
    const size_t optionalSize = Le16(bytes + lfanew + 20);
    facts.dll = (Le16(bytes + lfanew + 22) & 0x2000) != 0;
    const size_t optional = lfanew + 24;
    if (!Has(size, optional, 2)) return facts;
    facts.magic = Le16(bytes + optional);

    size_t directories = 0;
    size_t countAt = 0;
    if (facts.magic == 0x20B) {
        countAt = optional + 108;
        directories = optional + 112;
    } else if (facts.magic == 0x10B) {
        countAt = optional + 92;
        directories = optional + 96;
    } else {
        return facts;
    }
    if (!Has(size, countAt, 4) || directories > optional + optionalSize) return facts;
    uint32_t count = Le32(bytes + countAt);
    const size_t room = (optional + optionalSize - directories) / 8;
    if (count > room) count = static_cast<uint32_t>(room);

    // Directory 4: the certificate table, the one entry that holds a file offset.
    if (count > 4 && Has(size, directories + 32, 8)) {
        facts.certificateOffset = Le32(bytes + directories + 32);
        facts.certificateSize = Le32(bytes + directories + 36);
        facts.hasCertificateTable = facts.certificateOffset != 0 && facts.certificateSize != 0;
    }
    if (!wholeImage) return facts;
    if (count > 0 && Has(size, directories, 8)) {
        facts.exportsInit =
            ExportsName(bytes, size, optional + optionalSize, sections, Le32(bytes + directories), "VorlaneInit");
    }
    facts.characteristics = Le16(bytes + lfanew + 22);
    if (Has(size, optional + 70, 2)) facts.dllCharacteristics = Le16(bytes + optional + 70);
    if (count > 1 && Has(size, directories + 8, 8) && Le32(bytes + directories + 8) != 0) {
        ReadImports(bytes, size, Sections{optional + optionalSize, sections}, Le32(bytes + directories + 8), &facts);
    }
    if (facts.hasCertificateTable && facts.certificateOffset < size) {
        const size_t available = size - facts.certificateOffset;
        facts.signerKnown = ReadSigner(bytes + facts.certificateOffset,
                                       facts.certificateSize < available ? facts.certificateSize : available,
                                       &facts.signer);
    }
    return facts;
}
