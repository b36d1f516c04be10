// The Authenticode digest against osslsigncode, which signs and verifies real
// mingw-built DLLs here; the signed digest read back out of the signature; the
// failures of damaged headers.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "archive/pe_digest.h"
#include "tests/support/package.h"
#include "tests/support/temp_dir.h"
#include "tools/inspect/inspect.h"

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
size_t Optional(const std::vector<uint8_t>& b) { return Get32(b, 60) + 24; }

std::string Hex(const Pin& d) {
    std::string out;
    const char* digits = "0123456789abcdef";
    for (size_t i = 0; i < d.size; ++i) {
        out += digits[d.digest[i] >> 4];
        out += digits[d.digest[i] & 15];
    }
    return out;
}

PeDigestResult DigestOf(const std::vector<uint8_t>& bytes, PlatDigestKind algorithm, std::string* hex) {
    MemoryFile file{bytes.data(), bytes.size()};
    Pin digest{};
    const PeDigestResult result = AuthenticodeDigest(MemoryReader(&file), algorithm, &digest);
    *hex = result == PeDigestResult::Ok ? Hex(digest) : "";
    return result;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return s;
}

// osslsigncode's "<label> : HEX" line of a verify run, in lowercase.
std::string VerifyLine(const std::string& output, const std::string& label) {
    const size_t at = output.find(label);
    if (at == std::string::npos) return "";
    const size_t colon = output.find(':', at);
    size_t i = colon + 1;
    while (i < output.size() && output[i] == ' ') ++i;
    std::string value;
    for (; i < output.size() && std::isxdigit(static_cast<unsigned char>(output[i])); ++i) value += output[i];
    return Lower(value);
}

class PeDigest : public ::testing::Test {
protected:
    static TempDir* dir;
    static std::vector<uint8_t> unsignedDll;

    static void SetUpTestSuite() {
        dir = new TempDir();
        dir->WriteFile("a.c", "__declspec(dllexport) int VorlaneInit(void) { return 7; }\n"
                              "const char text[5000] = \"padding the image past one page\";\n");
        dir->WriteFile("leaf.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n");
        const std::string d = dir->Native();
        const std::vector<std::vector<std::string>> steps = {
            {"x86_64-w64-mingw32-gcc", "-shared", "-s", "-o", d + "/a.dll", d + "/a.c"},
            {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-keyout", d + "/root.key",
             "-out", d + "/root.pem", "-subj", "/CN=Digest Test Root"},
            {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/leaf.key", "-out", d + "/leaf.csr",
             "-subj", "/CN=Digest Test Signer"},
            {"openssl", "x509", "-req", "-days", "30", "-in", d + "/leaf.csr", "-CA", d + "/root.pem", "-CAkey",
             d + "/root.key", "-set_serial", "2", "-out", d + "/leaf.pem", "-extfile", d + "/leaf.ext"},
        };
        for (const auto& step : steps) {
            std::string output;
            ASSERT_EQ(RunProgram(step, d, &output), 0) << step[0] << ": " << output;
        }
        dir->WriteFile("chain.pem", dir->ReadFile("leaf.pem") + dir->ReadFile("root.pem"));
        unsignedDll = ReadBytes(d + "/a.dll");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    // a.dll signed with the hash named ("sha1", "sha256"), once.
    static std::vector<uint8_t> Signed(const std::string& hash) {
        const std::string d = dir->Native();
        const std::string out = d + "/signed-" + hash + ".dll";
        if (dir->Exists("signed-" + hash + ".dll")) return ReadBytes(out);
        std::string output;
        EXPECT_EQ(RunProgram({"osslsigncode", "sign", "-certs", d + "/chain.pem", "-key", d + "/leaf.key", "-h", hash,
                              "-in", d + "/a.dll", "-out", out},
                             "", &output),
                  0)
            << output;
        return ReadBytes(out);
    }
    // osslsigncode verify on bytes: (the signed digest, the digest it calculates).
    static std::pair<std::string, std::string> Verify(const std::vector<uint8_t>& bytes) {
        const std::string path = dir->Native("verify.dll");
        WriteBytes(path, bytes);
        std::string output;
        RunProgram({"osslsigncode", "verify", "-in", path}, "", &output);
        return {VerifyLine(output, "Current message digest"), VerifyLine(output, "Calculated message digest")};
    }
};

TempDir* PeDigest::dir = nullptr;
std::vector<uint8_t> PeDigest::unsignedDll;

TEST_F(PeDigest, EqualsWhatOsslsigncodeSignsAndCalculatesForSha1AndSha256) {
    const struct {
        const char* hash;
        PlatDigestKind algorithm;
    } cases[] = {{"sha256", PlatDigestKind::Sha256}, {"sha1", PlatDigestKind::Sha1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hash);
        std::vector<uint8_t> image = Signed(c.hash);
        ASSERT_FALSE(image.empty());
        const auto verified = Verify(image);
        ASSERT_FALSE(verified.first.empty());
        EXPECT_EQ(verified.first, verified.second);
        std::string ours;
        ASSERT_EQ(DigestOf(image, c.algorithm, &ours), PeDigestResult::Ok);
        EXPECT_EQ(ours, verified.first);

        // The signature's own DigestInfo names the same digest and its algorithm.
        const size_t entry = Optional(image) + 112 + 32;
        const uint32_t table = Get32(image, entry);
        Pin signedDigest{};
        ASSERT_TRUE(ReadSignedDigest(image.data() + table, Get32(image, entry + 4), &signedDigest));
        EXPECT_EQ(signedDigest.kind, c.algorithm);
        EXPECT_EQ(Hex(signedDigest), verified.first);

        // The unsigned library's digest is the one its signature will carry.
        std::string beforeSigning;
        ASSERT_EQ(DigestOf(unsignedDll, c.algorithm, &beforeSigning), PeDigestResult::Ok);
        EXPECT_EQ(beforeSigning, ours);

        // A code byte changed: a new digest, still the one osslsigncode calculates.
        std::vector<uint8_t> tampered = image;
        tampered[0x400 + 16] ^= 0xFF;
        std::string changed;
        ASSERT_EQ(DigestOf(tampered, c.algorithm, &changed), PeDigestResult::Ok);
        EXPECT_NE(changed, ours);
        EXPECT_EQ(changed, Verify(tampered).second);
    }
}

TEST_F(PeDigest, IgnoresTheChecksumAndTheCertificateTableAndItsPadding) {
    std::vector<uint8_t> image = Signed("sha256");
    std::string original;
    ASSERT_EQ(DigestOf(image, PlatDigestKind::Sha256, &original), PeDigestResult::Ok);

    std::vector<uint8_t> edited = image;
    Put32(edited, Optional(edited) + 64, 0x12345678);  // CheckSum
    const size_t entry = Optional(edited) + 112 + 32;
    // Eight more bytes of padding inside the table, and the padding's bytes changed.
    edited.insert(edited.end(), 8, 0xA5);
    Put32(edited, entry + 4, Get32(edited, entry + 4) + 8);
    Put32(edited, Get32(edited, entry), Get32(edited, entry + 4));
    std::string after;
    ASSERT_EQ(DigestOf(edited, PlatDigestKind::Sha256, &after), PeDigestResult::Ok);
    EXPECT_EQ(after, original);
    EXPECT_EQ(Verify(edited).second, original);

    // Bytes between the last section and the table are the image's: they count.
    std::vector<uint8_t> unsignedTail = unsignedDll;
    unsignedTail.push_back(1);
    std::string tail;
    ASSERT_EQ(DigestOf(unsignedTail, PlatDigestKind::Sha256, &tail), PeDigestResult::Ok);
    EXPECT_NE(tail, original);
}

TEST_F(PeDigest, EveryAlgorithmGivesItsOwnLengthAndThePinRoundTrips) {
    const PlatDigestKind all[] = {PlatDigestKind::Sha1, PlatDigestKind::Sha256, PlatDigestKind::Sha384,
                                  PlatDigestKind::Sha512};
    for (PlatDigestKind algorithm : all) {
        MemoryFile file{unsignedDll.data(), unsignedDll.size()};
        Pin digest{};
        ASSERT_EQ(AuthenticodeDigest(MemoryReader(&file), algorithm, &digest), PeDigestResult::Ok);
        EXPECT_EQ(digest.size, DigestSizeOf(algorithm));
        char16_t text[160];
        ASSERT_TRUE(FormatPin(digest, text, 160));
        Pin back{};
        ASSERT_TRUE(ParsePin(text, &back));
        EXPECT_EQ(back.kind, algorithm);
        EXPECT_EQ(Hex(back), Hex(digest));
    }
}

TEST_F(PeDigest, DamagedHeadersFailAsSuchAndAFailingReaderAsARead) {
    const std::vector<uint8_t> image = Signed("sha256");
    const size_t optional = Optional(image);
    const size_t entry = optional + 112 + 32;
    const size_t firstSection = optional + 240;
    std::string hex;
    struct Edit {
        const char* what;
        size_t at;
        uint32_t value;
        PeDigestResult expected;
    };
    const Edit edits[] = {
        {"certificate table over the sections", entry, 0x400, PeDigestResult::Damaged},
        {"certificate table past the end", entry + 4, 0x7FFFFFF0, PeDigestResult::Damaged},
        {"certificate table without a size", entry + 4, 0, PeDigestResult::Damaged},
        {"section past the end", firstSection + 16, 0x7FFFFFF0, PeDigestResult::Damaged},
        {"headers past the end", optional + 60, 0x7FFFFFF0, PeDigestResult::Damaged},
        {"headers end before the section table", optional + 60, 0x100, PeDigestResult::Damaged},
        {"too few data directories", optional + 108, 4, PeDigestResult::Damaged},
        {"PE header past the end", 60, 0x7FFFFFF0, PeDigestResult::NotPe},
        {"no PE signature", optional - 24, 0x00004551, PeDigestResult::NotPe},
    };
    for (const Edit& e : edits) {
        std::vector<uint8_t> bad = image;
        Put32(bad, e.at, e.value);
        EXPECT_EQ(DigestOf(bad, PlatDigestKind::Sha256, &hex), e.expected) << e.what;
    }
    std::vector<uint8_t> many = image;  // more sections than the headers hold
    many[optional - 24 + 6] = 0xFF;
    many[optional - 24 + 7] = 0xFF;
    EXPECT_EQ(DigestOf(many, PlatDigestKind::Sha256, &hex), PeDigestResult::Damaged);
    const std::vector<uint8_t> cut(image.begin(), image.begin() + 0x600);  // sections past the end
    EXPECT_EQ(DigestOf(cut, PlatDigestKind::Sha256, &hex), PeDigestResult::Damaged);
    EXPECT_EQ(DigestOf(std::vector<uint8_t>(image.begin(), image.begin() + 63), PlatDigestKind::Sha256, &hex),
              PeDigestResult::NotPe);

    // A reader that fails after the headers.
    struct Failing {
        MemoryFile file;
        uint64_t limit;
    } failing{{image.data(), image.size()}, 0x500};
    PeReader reader{[](void* context, uint64_t offset, void* buffer, size_t size) {
                        const Failing* f = static_cast<const Failing*>(context);
                        if (offset + size > f->limit) return false;
                        std::memcpy(buffer, f->file.bytes + offset, size);
                        return true;
                    },
                    &failing, image.size()};
    Pin digest{};
    EXPECT_EQ(AuthenticodeDigest(reader, PlatDigestKind::Sha256, &digest), PeDigestResult::ReadFailed);
}

}  // namespace
