#include "archive/pe_digest.h"

#include <Sha1.h>  // LZMA SDK
#include <Sha256.h>
#include <Sha512.h>

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "platform/platform.h"

namespace {

// One of the SDK's hashes behind one interface.
struct Hasher {
    PlatDigestKind algorithm;
    CSha1 sha1;
    CSha256 sha256;
    CSha512 sha512;

    explicit Hasher(PlatDigestKind a) : algorithm(a), sha1(), sha256(), sha512() {
        // Picks the CPU's SHA instructions where it has them; once per process.
        static const bool prepared = (Sha1Prepare(), Sha256Prepare(), Sha512Prepare(), true);
        (void)prepared;
        switch (algorithm) {
            case PlatDigestKind::Sha1: Sha1_Init(&sha1); break;
            case PlatDigestKind::Sha256: Sha256_Init(&sha256); break;
            case PlatDigestKind::Sha384: Sha512_Init(&sha512, SHA512_384_DIGEST_SIZE); break;
            case PlatDigestKind::Sha512: Sha512_Init(&sha512, SHA512_DIGEST_SIZE); break;
            case PlatDigestKind::None: break;
        }
    }
    void Update(const uint8_t* data, size_t size) {
        switch (algorithm) {
            case PlatDigestKind::Sha1: Sha1_Update(&sha1, data, size); break;
            case PlatDigestKind::Sha256: Sha256_Update(&sha256, data, size); break;
            case PlatDigestKind::Sha384:
            case PlatDigestKind::Sha512: Sha512_Update(&sha512, data, size); break;
            case PlatDigestKind::None: break;
        }
    }
    void Final(Pin* out) {
        out->kind = algorithm;
        out->size = DigestSizeOf(algorithm);
        std::memset(out->digest, 0, sizeof out->digest);
        switch (algorithm) {
            case PlatDigestKind::Sha1: Sha1_Final(&sha1, out->digest); break;
            case PlatDigestKind::Sha256: Sha256_Final(&sha256, out->digest); break;
            case PlatDigestKind::Sha384: Sha512_Final(&sha512, out->digest, SHA512_384_DIGEST_SIZE); break;
            case PlatDigestKind::Sha512: Sha512_Final(&sha512, out->digest, SHA512_DIGEST_SIZE); break;
            case PlatDigestKind::None: break;
        }
    }
};


// Where each section's raw data lies, sorted into file order.
struct RawRange {
    uint32_t pointer;
    uint32_t size;
};

struct RangeList {
    RawRange* items = nullptr;
    size_t count = 0;
    RangeList() = default;
    RangeList(const RangeList&) = delete;
    RangeList& operator=(const RangeList&) = delete;
    ~RangeList() {
        if (items != nullptr) PlatHeapFree(items);
    }
};

bool HashRange(const PeReader& reader, Hasher* hasher, CheckBuffer* buffer, uint64_t begin, uint64_t end) {
    while (begin < end) {
        const size_t piece = end - begin < buffer->size ? static_cast<size_t>(end - begin) : buffer->size;
        if (!reader.read(reader.context, begin, buffer->bytes, piece)) return false;
        hasher->Update(buffer->bytes, piece);
        begin += piece;
    }
    return true;
}

// The fields the digest depends on, from the headers.
struct Layout {
    uint64_t checksumAt;
    uint64_t certificateEntryAt;
    uint64_t headersEnd;  // SizeOfHeaders
    uint64_t sectionTable;
    uint32_t sectionCount;
    uint32_t certificateOffset;
    uint32_t certificateSize;
};

PeDigestResult ResultOf(PeRead read) {
    switch (read) {
        case PeRead::Ok: return PeDigestResult::Ok;
        case PeRead::NotPe: return PeDigestResult::NotPe;
        case PeRead::Damaged: return PeDigestResult::Damaged;
        case PeRead::ReadFailed: break;
    }
    return PeDigestResult::ReadFailed;
}

PeDigestResult ReadLayout(const PeReader& reader, Layout* layout) {
    PeView view;
    const PeRead read = ReadPeView(reader, &view);
    if (read != PeRead::Ok && read != PeRead::Damaged) return ResultOf(read);
    if (view.magic != PE32_MAGIC && view.magic != PE32_PLUS_MAGIC) return PeDigestResult::NotPe;
    // An image without a certificate table entry cannot carry a signature.
    if (read == PeRead::Damaged || view.directoryCount <= DIRECTORY_CERTIFICATES) return PeDigestResult::Damaged;
    PeRead field = ReadPeDirectory(reader, view, DIRECTORY_CERTIFICATES, &layout->certificateOffset, &layout->certificateSize);
    if (field != PeRead::Ok) return ResultOf(field);
    uint32_t headersEnd = 0;
    field = ReadPeField32(reader, view, OPT_SIZE_OF_HEADERS, &headersEnd);
    if (field != PeRead::Ok) return ResultOf(field);
    layout->checksumAt = view.optional + OPT_CHECKSUM;
    layout->certificateEntryAt = view.directories + DIRECTORY_CERTIFICATES * 8;
    layout->headersEnd = headersEnd;
    layout->sectionTable = view.sectionTable;
    layout->sectionCount = view.sectionCount;

    const uint64_t tableEnd = layout->sectionTable + uint64_t{layout->sectionCount} * PE_SECTION_HEADER_SIZE;
    if (layout->headersEnd > reader.size || tableEnd > layout->headersEnd ||
        layout->certificateEntryAt + 8 > layout->headersEnd) {
        return PeDigestResult::Damaged;
    }
    const bool noTable = layout->certificateOffset == 0 && layout->certificateSize == 0;
    if (!noTable && (layout->certificateOffset == 0 || layout->certificateSize == 0 ||
                     !Has(reader.size, layout->certificateOffset, layout->certificateSize))) {
        return PeDigestResult::Damaged;
    }
    return PeDigestResult::Ok;
}

PeDigestResult ReadSections(const PeReader& reader, const Layout& layout, CheckBuffer* buffer, RangeList* list) {
    if (layout.sectionCount == 0) return PeDigestResult::Ok;
    list->items = static_cast<RawRange*>(PlatHeapAlloc(sizeof(RawRange) * layout.sectionCount));
    if (list->items == nullptr) return PeDigestResult::OutOfMemory;
    const size_t perPiece = buffer->size / PE_SECTION_HEADER_SIZE;
    for (uint32_t first = 0; first < layout.sectionCount;) {
        const size_t count = layout.sectionCount - first < perPiece ? layout.sectionCount - first : perPiece;
        const uint64_t at = layout.sectionTable + uint64_t{first} * PE_SECTION_HEADER_SIZE;
        if (!reader.read(reader.context, at, buffer->bytes, count * PE_SECTION_HEADER_SIZE)) {
            return PeDigestResult::ReadFailed;
        }
        for (size_t i = 0; i < count; ++i) {
            const PeSectionEntry section = PeSectionFrom(buffer->bytes + i * PE_SECTION_HEADER_SIZE);
            const RawRange range{section.rawPointer, section.rawSize};
            if (range.size == 0) continue;  // nothing in the file
            if (!Has(reader.size, range.pointer, range.size)) return PeDigestResult::Damaged;
            list->items[list->count++] = range;
        }
        first += static_cast<uint32_t>(count);
    }
    std::stable_sort(list->items, list->items + list->count,
                     [](const RawRange& a, const RawRange& b) { return a.pointer < b.pointer; });
    return PeDigestResult::Ok;
}

}  // namespace


PeDigestResult AuthenticodeDigest(const PeReader& reader, PlatDigestKind algorithm, Pin* digest,
                                  CheckBuffer* buffer) {
    Layout layout;
    const PeDigestResult read = ReadLayout(reader, &layout);
    if (read != PeDigestResult::Ok) return read;
    CheckBufferInUse pieces(buffer);
    if (pieces.use->bytes == nullptr) return PeDigestResult::OutOfMemory;
    RangeList sections;
    const PeDigestResult listed = ReadSections(reader, layout, pieces.use, &sections);
    if (listed != PeDigestResult::Ok) return listed;

    uint64_t lastEnd = layout.headersEnd;
    for (size_t i = 0; i < sections.count; ++i) {
        lastEnd = std::max<uint64_t>(lastEnd, static_cast<uint64_t>(sections.items[i].pointer) + sections.items[i].size);
    }
    const bool signedImage = layout.certificateSize != 0;
    if (signedImage && layout.certificateOffset < lastEnd) return PeDigestResult::Damaged;

    Hasher hasher(algorithm);
    CheckBuffer* b = pieces.use;
    bool ok = HashRange(reader, &hasher, b, 0, layout.checksumAt) &&
              HashRange(reader, &hasher, b, layout.checksumAt + 4, layout.certificateEntryAt) &&
              HashRange(reader, &hasher, b, layout.certificateEntryAt + 8, layout.headersEnd);
    for (size_t i = 0; ok && i < sections.count; ++i) {
        const uint64_t pointer = sections.items[i].pointer;
        ok = HashRange(reader, &hasher, b, pointer, pointer + sections.items[i].size);
    }
    if (ok && signedImage) {
        const uint64_t tableEnd = static_cast<uint64_t>(layout.certificateOffset) + layout.certificateSize;
        ok = HashRange(reader, &hasher, b, lastEnd, layout.certificateOffset) &&
             HashRange(reader, &hasher, b, tableEnd, reader.size);
    } else if (ok) {
        ok = HashRange(reader, &hasher, b, lastEnd, reader.size);
        const uint8_t zeros[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        hasher.Update(zeros, (8 - reader.size % 8) % 8);
    }
    if (!ok) return PeDigestResult::ReadFailed;
    hasher.Final(digest);
    return PeDigestResult::Ok;
}
