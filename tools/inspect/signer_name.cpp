// The signer of an Authenticode signature, named as the platform's trust
// services name it for the launcher: the PKCS#7 SignedData in the certificate
// table names its signer by issuer and serial number (or key identifier); that
// certificate's simple display name is the first common name of its subject,
// else its first organizational unit, organization or e-mail address, else its
// first attribute. Its code-signing use is read as the trust services read it
// for the launcher: the extended key usage extension present and naming code
// signing (a certificate without the extension names no use). Only DER is
// read, every length is checked against what is left: the input is any file.
#include <cstring>

#include "base/bytes.h"
#include "tools/host/text.h"
#include "tools/inspect/inspect.h"

namespace {

struct Der {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// One element: its tag, its contents, and everything it spans.
struct Element {
    uint8_t tag = 0;
    Der body;
    Der whole;
};

// Reads the element at the start of in and moves in past it; false when it does not fit.
bool Next(Der* in, Element* out) {
    if (in->size < 2) return false;
    const uint8_t tag = in->data[0];
    if ((tag & 0x1F) == 0x1F) return false;  // high tag numbers never occur here
    size_t at = 2;
    size_t length = in->data[1];
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || in->size < 2 + bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) length = (length << 8) | in->data[2 + i];
        at += bytes;
    }
    if (length > in->size - at) return false;
    out->tag = tag;
    out->body = Der{in->data + at, length};
    out->whole = Der{in->data, at + length};
    in->data += at + length;
    in->size -= at + length;
    return true;
}

bool Expect(Der* in, uint8_t tag, Element* out) { return Next(in, out) && out->tag == tag; }

bool Same(const Der& a, const Der& b) { return a.size == b.size && std::memcmp(a.data, b.data, a.size) == 0; }

bool IsOid(const Der& body, const uint8_t* oid, size_t length) {
    return body.size == length && std::memcmp(body.data, oid, length) == 0;
}

const uint8_t OID_SIGNED_DATA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t OID_SUBJECT_KEY_ID[] = {0x55, 0x1D, 0x0E};
const uint8_t OID_EXTENDED_KEY_USAGE[] = {0x55, 0x1D, 0x25};
const uint8_t OID_CODE_SIGNING[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
const uint8_t OID_COMMON_NAME[] = {0x55, 0x04, 0x03};
const uint8_t OID_UNIT[] = {0x55, 0x04, 0x0B};
const uint8_t OID_ORGANIZATION[] = {0x55, 0x04, 0x0A};
const uint8_t OID_EMAIL[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01};

// What an attribute of a name holds for the display name.
enum class Found {
    No,          // not there, or of a type that holds no text
    Text,        // read
    Unreadable,  // text that is not in its encoding: no name can be told from it
};

// A directory string as UTF-16. A UTF8String that is not UTF-8 or a
// UniversalString past U+10FFFF or holding a surrogate is unreadable: the
// tools read no name the trust services would read otherwise.
Found Text(const Element& value, std::u16string* out) {
    out->clear();
    const uint8_t* p = value.body.data;
    const size_t n = value.body.size;
    switch (value.tag) {
        case 0x0C:  // UTF8String
            return Utf16FromUtf8(std::string(reinterpret_cast<const char*>(p), n), out) ? Found::Text
                                                                                         : Found::Unreadable;
        case 0x13:  // PrintableString
        case 0x14:  // TeletexString, read as Latin-1
        case 0x16:  // IA5String
            for (size_t i = 0; i < n; ++i) out->push_back(static_cast<char16_t>(p[i]));
            return Found::Text;
        case 0x1E:  // BMPString
            for (size_t i = 0; i + 1 < n; i += 2) out->push_back(static_cast<char16_t>((p[i] << 8) | p[i + 1]));
            return Found::Text;
        case 0x1C:  // UniversalString
            for (size_t i = 0; i + 3 < n; i += 4) {
                const uint32_t c = (static_cast<uint32_t>(p[i]) << 24) | (p[i + 1] << 16) | (p[i + 2] << 8) | p[i + 3];
                if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return Found::Unreadable;
                AppendUtf16(out, c);
            }
            return Found::Text;
        default: return Found::No;
    }
}

// The first attribute of name (a Name) of the given type, or with no type the first of all.
Found FindAttribute(Der name, const uint8_t* oid, size_t oidLength, std::u16string* out) {
    Element rdn;
    while (Next(&name, &rdn)) {
        if (rdn.tag != 0x31) return Found::No;
        Der set = rdn.body;
        Element pair;
        while (Next(&set, &pair)) {
            if (pair.tag != 0x30) return Found::No;
            Der fields = pair.body;
            Element type;
            Element value;
            if (!Expect(&fields, 0x06, &type) || !Next(&fields, &value)) return Found::No;
            if (oid == nullptr || IsOid(type.body, oid, oidLength)) return Text(value, out);
        }
    }
    return Found::No;
}

// False when the subject names nothing readable, or the attribute that names
// it cannot be read (the next one is then not what the trust services show).
bool DisplayName(const Der& subject, std::u16string* out) {
    const struct {
        const uint8_t* oid;
        size_t length;
    } order[] = {{OID_COMMON_NAME, sizeof OID_COMMON_NAME},
                 {OID_UNIT, sizeof OID_UNIT},
                 {OID_ORGANIZATION, sizeof OID_ORGANIZATION},
                 {OID_EMAIL, sizeof OID_EMAIL}};
    for (const auto& attribute : order) {
        const Found found = FindAttribute(subject, attribute.oid, attribute.length, out);
        if (found == Found::No) continue;
        if (found == Found::Text) return true;
        out->clear();
        return false;
    }
    if (FindAttribute(subject, nullptr, 0, out) == Found::Text) return true;
    out->clear();
    return false;
}

struct Certificate {
    Der serial;
    Der issuer;
    Der subject;
    Der keyId;  // empty without the extension
    bool codeSigning = false;
};

// An extended key usage value (an OCTET STRING holding a SEQUENCE of OIDs)
// naming code signing; a value that does not decode names nothing.
bool NamesCodeSigning(const Element& value) {
    if (value.tag != 0x04) return false;
    Der inner = value.body;
    Element list;
    if (!Expect(&inner, 0x30, &list)) return false;
    Der usages = list.body;
    Element usage;
    while (Next(&usages, &usage)) {
        if (usage.tag != 0x06) return false;
        if (IsOid(usage.body, OID_CODE_SIGNING, sizeof OID_CODE_SIGNING)) return true;
    }
    return false;
}

bool ReadCertificate(const Element& cert, Certificate* out) {
    Der outer = cert.body;
    Element tbs;
    if (!Expect(&outer, 0x30, &tbs)) return false;
    Der fields = tbs.body;
    Element e;
    if (!Next(&fields, &e)) return false;
    if (e.tag == 0xA0 && !Next(&fields, &e)) return false;  // version
    if (e.tag != 0x02) return false;
    out->serial = e.body;
    Element algorithm, issuer, validity, subject;
    if (!Expect(&fields, 0x30, &algorithm) || !Expect(&fields, 0x30, &issuer) || !Expect(&fields, 0x30, &validity) ||
        !Expect(&fields, 0x30, &subject)) {
        return false;
    }
    out->issuer = issuer.whole;
    out->subject = subject.body;
    out->keyId = Der{};
    out->codeSigning = false;
    while (Next(&fields, &e)) {
        if (e.tag != 0xA3) continue;
        Der wrapper = e.body;
        Element list;
        if (!Expect(&wrapper, 0x30, &list)) break;
        Der extensions = list.body;
        Element extension;
        while (Expect(&extensions, 0x30, &extension)) {
            Der parts = extension.body;
            Element oid, value;
            if (!Expect(&parts, 0x06, &oid)) continue;
            const bool keyId = IsOid(oid.body, OID_SUBJECT_KEY_ID, sizeof OID_SUBJECT_KEY_ID);
            const bool usage = IsOid(oid.body, OID_EXTENDED_KEY_USAGE, sizeof OID_EXTENDED_KEY_USAGE);
            if (!keyId && !usage) continue;
            if (!Next(&parts, &value)) break;
            if (value.tag == 0x01 && !Next(&parts, &value)) break;  // critical flag
            if (usage) {
                out->codeSigning = NamesCodeSigning(value);
                continue;
            }
            Der inner = value.body;
            Element id;
            if (value.tag == 0x04 && Expect(&inner, 0x04, &id)) out->keyId = id.body;
        }
    }
    return true;
}

// The parts of the SignedData in a certificate table (WIN_CERTIFICATE: length,
// revision, type 2, then the DER) that the readers below look at.
struct SignedParts {
    Der content;  // the encapsulated ContentInfo's body: content type, then [0] content
    Der certificates;
    Der signerInfos;
};

bool OpenSignedData(const uint8_t* table, size_t size, SignedParts* parts) {
    if (size < 8) return false;
    const uint32_t length = Le32(table);
    const uint16_t type = Le16(table + 6);
    if (type != 2 || length < 8 || length > size) return false;
    Der in{table + 8, length - 8};

    Element contentInfo, oid, wrapper, signedData;
    if (!Expect(&in, 0x30, &contentInfo)) return false;
    Der ci = contentInfo.body;
    if (!Expect(&ci, 0x06, &oid) || !IsOid(oid.body, OID_SIGNED_DATA, sizeof OID_SIGNED_DATA)) return false;
    if (!Expect(&ci, 0xA0, &wrapper)) return false;
    Der w = wrapper.body;
    if (!Expect(&w, 0x30, &signedData)) return false;
    Der sd = signedData.body;
    Element version, digests, content, e;
    if (!Expect(&sd, 0x02, &version) || !Expect(&sd, 0x31, &digests) || !Expect(&sd, 0x30, &content)) return false;
    *parts = SignedParts{content.body, Der{}, Der{}};
    while (Next(&sd, &e)) {
        if (e.tag == 0xA0) parts->certificates = e.body;
        if (e.tag == 0x31) parts->signerInfos = e.body;
    }
    return true;
}

const uint8_t OID_SPC_INDIRECT_DATA[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
const uint8_t OID_SHA1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
// 2.16.840.1.101.3.4.2.n: n = 1 SHA-256, 2 SHA-384, 3 SHA-512.
const uint8_t OID_SHA2_PREFIX[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};

PlatDigestKind KindOf(const Der& oid) {
    if (IsOid(oid, OID_SHA1, sizeof OID_SHA1)) return PlatDigestKind::Sha1;
    if (oid.size != sizeof OID_SHA2_PREFIX + 1 || std::memcmp(oid.data, OID_SHA2_PREFIX, sizeof OID_SHA2_PREFIX) != 0) {
        return PlatDigestKind::None;
    }
    switch (oid.data[sizeof OID_SHA2_PREFIX]) {
        case 1: return PlatDigestKind::Sha256;
        case 2: return PlatDigestKind::Sha384;
        case 3: return PlatDigestKind::Sha512;
        default: return PlatDigestKind::None;
    }
}

}  // namespace

bool ReadSignedDigest(const uint8_t* table, size_t size, Pin* digest) {
    SignedParts parts;
    if (!OpenSignedData(table, size, &parts)) return false;
    // SpcIndirectDataContent: the image data's description, then the DigestInfo.
    Der content = parts.content;
    Element type, wrapper, indirect, data, digestInfo, algorithm, oid, value;
    if (!Expect(&content, 0x06, &type) || !IsOid(type.body, OID_SPC_INDIRECT_DATA, sizeof OID_SPC_INDIRECT_DATA) ||
        !Expect(&content, 0xA0, &wrapper)) {
        return false;
    }
    Der w = wrapper.body;
    if (!Expect(&w, 0x30, &indirect)) return false;
    Der fields = indirect.body;
    if (!Expect(&fields, 0x30, &data) || !Expect(&fields, 0x30, &digestInfo)) return false;
    Der info = digestInfo.body;
    if (!Expect(&info, 0x30, &algorithm) || !Expect(&info, 0x04, &value)) return false;
    Der identifier = algorithm.body;
    if (!Expect(&identifier, 0x06, &oid)) return false;
    Pin out{KindOf(oid.body), 0, {}};
    if (out.kind == PlatDigestKind::None || value.body.size != DigestSizeOf(out.kind)) return false;
    out.size = static_cast<uint32_t>(value.body.size);
    std::memcpy(out.digest, value.body.data, value.body.size);
    *digest = out;
    return true;
}

bool ReadSigner(const uint8_t* table, size_t size, std::u16string* signer, bool* codeSigning) {
    if (codeSigning != nullptr) *codeSigning = false;
    SignedParts parts;
    if (!OpenSignedData(table, size, &parts)) return false;
    Der signerInfos = parts.signerInfos;
    Der certificates = parts.certificates;
    Element info;
    if (!Expect(&signerInfos, 0x30, &info)) return false;
    Der fields = info.body;
    Element infoVersion, id;
    if (!Expect(&fields, 0x02, &infoVersion) || !Next(&fields, &id)) return false;
    Der issuer{};
    Der serial{};
    Der keyId{};
    if (id.tag == 0x30) {
        Der issuerAndSerial = id.body;
        Element issuerName, serialNumber;
        if (!Expect(&issuerAndSerial, 0x30, &issuerName) || !Expect(&issuerAndSerial, 0x02, &serialNumber)) {
            return false;
        }
        issuer = issuerName.whole;
        serial = serialNumber.body;
    } else if (id.tag == 0x80) {
        keyId = id.body;
    } else {
        return false;
    }
    Element cert;
    while (Next(&certificates, &cert)) {
        Certificate c;
        if (cert.tag != 0x30 || !ReadCertificate(cert, &c)) continue;
        const bool match = keyId.size != 0 ? Same(c.keyId, keyId) : Same(c.issuer, issuer) && Same(c.serial, serial);
        if (!match) continue;
        if (codeSigning != nullptr) *codeSigning = c.codeSigning;
        return DisplayName(c.subject, signer);
    }
    return false;
}
