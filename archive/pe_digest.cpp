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

PeDigestResult ReadLayout(const PeReader& reader, Layout* layout) {
    uint8_t dos[64];
    if (reader.size < sizeof dos) return PeDigestResult::NotPe;
    if (!reader.read(reader.context, 0, dos, sizeof dos)) return PeDigestResult::ReadFailed;
    if (Le16(dos) != 0x5A4D) return PeDigestResult::NotPe;
    const uint64_t pe = Le32(dos + 60);
    // Signature, file header, and the optional header up to the certificate table's entry.
    uint8_t head[24 + 152];
    if (!Has(reader.size, pe, 26)) return PeDigestResult::NotPe;
    const size_t available = Has(reader.size, pe, sizeof head) ? sizeof head : static_cast<size_t>(reader.size - pe);
    std::memset(head, 0, sizeof head);
    if (!reader.read(reader.context, pe, head, available)) return PeDigestResult::ReadFailed;
    const uint16_t magic = Le16(head + 24);
    if (Le32(head) != 0x00004550 || (magic != 0x10B && magic != 0x20B)) return PeDigestResult::NotPe;

    const uint32_t optionalSize = Le16(head + 20);
    const uint32_t directories = magic == 0x20B ? 112 : 96;
    const uint32_t entryEnd = directories + 5 * 8;
    // An image without a certificate table entry cannot carry a signature.
    if (optionalSize < entryEnd || available < 24 + entryEnd || Le32(head + 24 + directories - 4) < 5) {
        return PeDigestResult::Damaged;
    }
    const uint8_t* optional = head + 24;
    layout->checksumAt = pe + 24 + 64;
    layout->certificateEntryAt = pe + 24 + directories + 4 * 8;
    layout->headersEnd = Le32(optional + 60);
    layout->sectionTable = pe + 24 + optionalSize;
    layout->sectionCount = Le16(head + 6);
    layout->certificateOffset = Le32(optional + directories + 32);
    layout->certificateSize = Le32(optional + directories + 36);

    const uint64_t tableEnd = layout->sectionTable + static_cast<uint64_t>(layout->sectionCount) * 40;
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
    const size_t perPiece = buffer->size / 40;
    for (uint32_t first = 0; first < layout.sectionCount;) {
        const size_t count = layout.sectionCount - first < perPiece ? layout.sectionCount - first : perPiece;
        if (!reader.read(reader.context, layout.sectionTable + static_cast<uint64_t>(first) * 40, buffer->bytes,
                         count * 40)) {
            return PeDigestResult::ReadFailed;
        }
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* header = buffer->bytes + i * 40;
            const RawRange range{Le32(header + 20), Le32(header + 16)};
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
