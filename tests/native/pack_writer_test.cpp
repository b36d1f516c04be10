// The package writer against independent readers: the launcher's own package
// opener and decoder, 7zz, and the PE checksum by its definition.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/host_image.h"
#include "archive/package.h"
#include "platform/posix_common.h"
#include "platform/sim_control.h"
#include "tests/support/package.h"
#include "tests/support/pe_image.h"
#include "tests/support/temp_dir.h"
#include "tools/pack/package_writer.h"

namespace {

constexpr size_t CHECKSUM_AT = 0x80 + 24 + 64;  // MakePeImage's lfanew

struct MemoryOutput {
    std::vector<uint8_t> bytes;
    size_t failAt = SIZE_MAX;  // the write that fails, counted from 0
    size_t writes = 0;
};

bool OutputWrite(void* context, const uint8_t* data, size_t size) {
    MemoryOutput* out = static_cast<MemoryOutput*>(context);
    if (out->writes++ == out->failAt) return false;
    out->bytes.insert(out->bytes.end(), data, data + size);
    return true;
}

bool OutputRewrite(void* context, uint64_t offset, const uint8_t* data, size_t size) {
    MemoryOutput* out = static_cast<MemoryOutput*>(context);
    if (offset > out->bytes.size() || size > out->bytes.size() - offset) return false;
    std::memcpy(out->bytes.data() + offset, data, size);
    return true;
}

// Gives data in odd-sized pieces (so the sums cross odd offsets), claiming declared bytes.
struct MemorySource {
    const std::vector<uint8_t>* data;
    size_t at = 0;
    bool failRead = false;
};

bool SourceRead(void* context, uint8_t* buffer, size_t capacity, size_t* got) {
    MemorySource* source = static_cast<MemorySource*>(context);
    if (source->failRead) return false;
    size_t n = std::min({capacity, source->data->size() - source->at, static_cast<size_t>(65537)});
    std::memcpy(buffer, source->data->data() + source->at, n);
    source->at += n;
    *got = n;
    return true;
}

struct Progress {
    size_t calls = 0;
    size_t cancelAt = SIZE_MAX;  // the call that answers false
    size_t callsAfterCancel = 0;
    uint64_t lastDone = 0;
    uint64_t total = 0;
};

bool ProgressReport(void* context, uint64_t done, uint64_t total) {
    Progress* p = static_cast<Progress*>(context);
    if (p->calls > p->cancelAt) ++p->callsAfterCancel;
    p->lastDone = done;
    p->total = total;
    return p->calls++ != p->cancelAt;
}

struct Packed {
    PackResult result;
    PackReport report;
    MemoryOutput out;
};

Packed Pack(const std::vector<uint8_t>& image, const std::vector<uint8_t>& runtime,
            const std::vector<uint8_t>& payload, uint64_t declared, Progress* progress = nullptr,
            size_t failWrite = SIZE_MAX, bool failRead = false) {
    Packed p;
    p.out.failAt = failWrite;
    MemorySource source{&payload, 0, failRead};
    PackInputs inputs{image.data(), image.size(), runtime.data(), runtime.size(), {&source, declared, SourceRead}};
    const PackOutput output{&p.out, OutputWrite, OutputRewrite};
    const PackProgress reporting{progress, progress != nullptr ? ProgressReport : nullptr};
    p.result = WritePackage(inputs, output, reporting, &p.report);
    return p;
}

Packed Pack(const std::vector<uint8_t>& image, const std::vector<uint8_t>& runtime,
            const std::vector<uint8_t>& payload) {
    return Pack(image, runtime, payload, payload.size());
}

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}


// A real x86-64 library: mingw's own libgcc DLL, full of calls and jumps.
std::vector<uint8_t> RealLibrary() {
    std::string path;
    EXPECT_EQ(RunProgram({"x86_64-w64-mingw32-gcc-posix", "-print-file-name=libgcc_s_seh-1.dll"}, "", &path), 0);
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    std::vector<uint8_t> bytes = ReadBytes(path);
    EXPECT_GT(bytes.size(), 100000u) << path;
    return bytes;
}

// Calls and jumps to targets inside the file, enough to fill several of the
// branch streams' growth steps, with a short pattern between them.
std::vector<uint8_t> BranchHeavy(size_t size) {
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; bytes.size() < size; ++i) {
        const uint8_t op[] = {0xE8, 0xE9, 0x0F};
        bytes.push_back(op[i % 3]);
        if (i % 3 == 2) bytes.push_back(0x84);  // a conditional jump
        const uint32_t back = i * 7 % 4096;
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>((0u - back) >> (8 * b)));
        bytes.push_back(static_cast<uint8_t>(i));
    }
    bytes.resize(size);
    return bytes;
}

class PackWriter : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override { PosixResetControls(); }
    void TearDown() override { PosixResetControls(); }

    // Opens the written package as the launcher does, checks the payload in
    // place and decodes the runtime entry.
    void ExpectOpensWith(const Packed& p, const std::vector<uint8_t>& payload, const std::vector<uint8_t>& runtime,
                         bool branchStreams) {
        ASSERT_EQ(p.result, PackResult::Ok) << PackResultName(p.result);
        ASSERT_TRUE(WriteBytes(dir.Native("package.exe"), p.out.bytes));
        Package package;
        const std::u16string wide = PosixWidePath(dir.Native("package.exe"));
        std::copy(wide.begin(), wide.end(), package.image.modulePath);
        const PackageResult opened = OpenPackage(&package);
        ASSERT_EQ(opened.stop, PackageStop::None) << static_cast<int>(opened.stop) << " " << opened.openResult;
        EXPECT_EQ(package.archiveStart, p.report.searchStart);
        EXPECT_EQ(package.payload.offset, p.report.searchStart + 32u);
        EXPECT_EQ(package.payload.size, payload.size());
        EXPECT_EQ(p.report.packageSize, p.out.bytes.size());

        const CSzArEx& db = package.reader.db;
        ASSERT_EQ(db.NumFiles, 2u);
        char16_t* name = nullptr;
        ASSERT_TRUE(CopyEntryName(&db, 1, &name));
        EXPECT_EQ(std::u16string(name), u"VorlaneStub.dll");
        PlatHeapFree(name);
        DecodeGuard decoded(&package.reader);
        ASSERT_TRUE(DecodeEntryFolder(&package.reader, 1, &decoded.entry, nullptr));
        ASSERT_EQ(decoded.entry.size, runtime.size());
        EXPECT_EQ(std::memcmp(decoded.entry.buffer + decoded.entry.offset, runtime.data(), runtime.size()), 0);
        // The jump and call streams' sizes: the first two coders of the runtime's folder.
        const UInt64* sizes = db.db.CoderUnpackSizes + db.db.FoToCoderUnpackSizes[1];
        EXPECT_EQ(sizes[0] > 0 && sizes[1] > 0, branchStreams) << sizes[0] << " " << sizes[1];

        EXPECT_EQ(Le32At(p.out.bytes, CHECKSUM_AT), p.report.checksum);
        EXPECT_EQ(p.report.checksum, DefinedPeChecksum(p.out.bytes, CHECKSUM_AT));
    }
};

TEST_F(PackWriter, PackagesOpenWithTheLaunchersOpenerAndTheRuntimeDecodesExactly) {
    // An odd cut and odd payload sizes: the checksum's pieces start at odd offsets.
    const std::vector<uint8_t> image = MakeLauncherImage(0x1201, 0x600);
    const std::vector<uint8_t> payload = PatternBytes(300001, 1);
    {
        SCOPED_TRACE("a real library");
        const std::vector<uint8_t> runtime = RealLibrary();
        ExpectOpensWith(Pack(image, runtime, payload), payload, runtime, true);
    }
    {
        // Megabytes of branches: the call and jump streams grow many times over.
        SCOPED_TRACE("branches only");
        const std::vector<uint8_t> runtime = BranchHeavy(3 << 20);
        ExpectOpensWith(Pack(image, runtime, payload), payload, runtime, true);
    }
    // Below and at BCJ2's 5-byte instruction: nothing to convert, empty branch streams.
    for (size_t size : {1, 4, 5}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> runtime(size, 0xE8);
        const std::vector<uint8_t> small = PatternBytes(7, 2);
        ExpectOpensWith(Pack(image, runtime, small), small, runtime, false);
    }
}

TEST_F(PackWriter, SevenZipAcceptsThePackageAndTheSameInputsGiveTheSameBytes) {
    const std::vector<uint8_t> image = MakeLauncherImage();
    const std::vector<uint8_t> payload = PatternBytes(1 << 20, 3);
    const std::vector<uint8_t> runtime = RealLibrary();
    const Packed first = Pack(image, runtime, payload);
    ASSERT_EQ(first.result, PackResult::Ok);
    ASSERT_TRUE(WriteBytes(dir.Native("package.exe"), first.out.bytes));

    std::string output;
    EXPECT_EQ(Run7zz({"t", "package.exe"}, dir.Native(), &output), 0) << output;
    ASSERT_EQ(Run7zz({"x", "-bd", "-oout", "package.exe"}, dir.Native(), &output), 0) << output;
    EXPECT_EQ(ReadBytes(dir.Native("out/vorlane.bin")), payload);
    EXPECT_EQ(ReadBytes(dir.Native("out/VorlaneStub.dll")), runtime);

    // The runtime's streams are byte for byte those 7zz writes with the
    // switches packing used before (the same SDK encoders, the same choices).
    ASSERT_TRUE(WriteBytes(dir.Native("VorlaneStub.dll"), runtime));
    ASSERT_EQ(Run7zz({"a", "-bd", "-m0=BCJ2", "-m1=LZMA:d25", "-m2=LZMA:d19", "-m3=LZMA:d19", "-mb0:1", "-mb0s1:2",
                      "-mb0s2:3", "-ms=off", "-mhc=off", "reference.7z", "VorlaneStub.dll"},
                     dir.Native(), &output),
              0)
        << output;
    const std::vector<uint8_t> reference = ReadBytes(dir.Native("reference.7z"));
    const size_t streams = first.report.searchStart + 32 + payload.size();
    ASSERT_GE(reference.size(), 32 + first.report.runtimePacked);
    const long packed = static_cast<long>(first.report.runtimePacked);
    EXPECT_TRUE(std::equal(reference.begin() + 32, reference.begin() + 32 + packed,
                           first.out.bytes.begin() + static_cast<long>(streams)));

    // Twice, the match finder on its own thread each time.
    const Packed second = Pack(image, runtime, payload);
    ASSERT_EQ(second.result, PackResult::Ok);
    EXPECT_TRUE(second.out.bytes == first.out.bytes);
}

TEST_F(PackWriter, CancellingAWrongSizeOrAFailedReadOrWriteEndsTheWrite) {
    const std::vector<uint8_t> image = MakeLauncherImage();
    const std::vector<uint8_t> payload = PatternBytes(1 << 20, 4);
    const std::vector<uint8_t> runtime = BranchHeavy(600000);

    Progress counted;
    ASSERT_EQ(Pack(image, runtime, payload, payload.size(), &counted).result, PackResult::Ok);
    EXPECT_EQ(counted.lastDone, counted.total);
    EXPECT_EQ(counted.total, runtime.size() + payload.size());
    ASSERT_GT(counted.calls, 4u);
    // The first call, one inside the runtime's encoding, one inside the copy, the last.
    for (size_t at : {size_t{0}, size_t{1}, counted.calls - 2, counted.calls - 1}) {
        SCOPED_TRACE(at);
        Progress cancelling;
        cancelling.cancelAt = at;
        EXPECT_EQ(Pack(image, runtime, payload, payload.size(), &cancelling).result, PackResult::Cancelled);
        EXPECT_EQ(cancelling.callsAfterCancel, 0u);
    }

    EXPECT_EQ(Pack(image, runtime, payload, payload.size() + 1).result, PackResult::PayloadSizeChanged);
    EXPECT_EQ(Pack(image, runtime, payload, payload.size() - 1).result, PackResult::PayloadSizeChanged);
    EXPECT_EQ(Pack(image, runtime, payload, payload.size(), nullptr, SIZE_MAX, true).result, PackResult::ReadFailed);
    for (size_t write : {0, 1, 5}) {
        EXPECT_EQ(Pack(image, runtime, payload, payload.size(), nullptr, write).result, PackResult::WriteFailed);
    }
    EXPECT_EQ(Pack(image, {}, payload).result, PackResult::EmptyRuntime);
    EXPECT_EQ(Pack(image, runtime, {}).result, PackResult::EmptyPayload);
    EXPECT_EQ(Pack(MakePeImage({{0x200, 0x400}}, {0x80, 0x14C}), runtime, payload).result,
              PackResult::NotLauncherImage);
}

TEST_F(PackWriter, APackageWindowsWouldNotStartIsRefusedBeforeAByteIsWrittenOrRead) {
    const std::vector<uint8_t> image = MakeLauncherImage();
    const std::vector<uint8_t> runtime = BranchHeavy(200000);
    const std::vector<uint8_t> none;
    // The payload's size as declared; every read would fail, so only a refusal
    // before the copy ends with TooLarge.
    auto pack = [&](uint64_t declared) { return Pack(image, runtime, none, declared, nullptr, SIZE_MAX, true); };

    const Packed whole = pack(WINDOWS_START_LIMIT);
    ASSERT_EQ(whole.result, PackResult::TooLarge) << PackResultName(whole.result);
    EXPECT_EQ(whole.out.writes, 0u);
    EXPECT_GT(whole.report.packageSize, WINDOWS_START_LIMIT + image.size());
    // The layout around the payload, as planned: a payload that leaves the
    // package exactly at the limit is refused, one byte less is copied.
    const uint64_t around = whole.report.packageSize - WINDOWS_START_LIMIT;
    const Packed atLimit = pack(WINDOWS_START_LIMIT - around);
    EXPECT_EQ(atLimit.result, PackResult::TooLarge);
    EXPECT_EQ(atLimit.report.packageSize, WINDOWS_START_LIMIT);
    EXPECT_EQ(atLimit.out.writes, 0u);
    EXPECT_EQ(pack(WINDOWS_START_LIMIT - around - 1).result, PackResult::ReadFailed);
    // A declared size near the top of the range does not wrap around.
    EXPECT_EQ(pack(UINT64_MAX - 10).result, PackResult::TooLarge);
}

TEST_F(PackWriter, ReferencesPastTheCutAreClearedAndTheRestOfTheImageKept) {
    std::vector<uint8_t> image = MakeLauncherImage();
    const size_t cut = image.size();
    image.resize(cut + 3000, 0x5A);  // a signature and a symbol table after the sections
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) image[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    const size_t pe = 0x80;
    put32(pe + 24 + 108, 16);          // NumberOfRvaAndSizes
    put32(pe + 24 + 112 + 32, cut);    // the certificate table: a file offset
    put32(pe + 24 + 112 + 36, 3000);
    put32(pe + 12, cut + 1000);        // the COFF symbol table and its count
    put32(pe + 16, 40);
    const std::vector<uint8_t> payload = PatternBytes(1000, 5);
    const Packed p = Pack(image, PatternBytes(9000, 6), payload);
    ASSERT_EQ(p.result, PackResult::Ok);
    EXPECT_TRUE(p.report.clearedSignature);
    EXPECT_TRUE(p.report.clearedSymbols);
    ASSERT_GT(p.out.bytes.size(), cut);
    for (size_t at : {pe + 12, pe + 16, pe + 24 + 112 + 32, pe + 24 + 112 + 36}) put32(at, 0);
    put32(CHECKSUM_AT, p.report.checksum);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + static_cast<long>(cut), p.out.bytes.begin()));
    EXPECT_EQ(FindStartHeaderIn(p.out.bytes), cut);
    EXPECT_EQ(p.report.checksum, DefinedPeChecksum(p.out.bytes, CHECKSUM_AT));
}

}  // namespace

// The packer cuts where the launcher's probe will search: an image the packer
// takes, the probe takes with the same search start, and what the probe
// refuses the packer refuses for the same reason.
TEST(PackImageCheck, AgreesWithTheLaunchersProbe) {
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
    };
    std::vector<Case> cases;
    cases.push_back({"two sections", MakePeImage({{0x3000, 0x400}, {0x200, 0x1000}})});
    cases.push_back({"equal starts", MakePeImage({{0x100, 0x600}, {0x300, 0x600}, {0x80, 0x400}})});
    cases.push_back({"a start of 0", MakePeImage({{0x100, 0x400}, {0x9000, 0}})});
    cases.push_back({"no raw data", MakePeImage({{0x9000, 0}})});
    PeImageOptions small;
    small.fileSize = 0x600;
    cases.push_back({"wrapping end", MakePeImage({{0x20, 0xFFFFFFF0u}}, small)});
    PeImageOptions late;
    late.fileSize = 8192;
    late.lfanew = 3831;
    cases.push_back({"last e_lfanew", MakePeImage({{0x100, 0x1000}}, late)});
    late.lfanew = 3832;
    cases.push_back({"e_lfanew past the block", MakePeImage({{0x100, 0x1000}}, late)});
    late.lfanew = 3000;  // room for 20 section headers in the block
    std::vector<PeSection> sections(20, PeSection{0x10, 0x1000});
    cases.push_back({"table filling the block", MakePeImage(sections, late)});
    sections.push_back({0x10, 0x2000});
    cases.push_back({"table past the block", MakePeImage(sections, late)});
    const std::vector<uint8_t> full = MakePeImage({{0x200, 0x400}, {0x200, 0x600}});
    for (size_t cut : {size_t{0}, size_t{63}, size_t{0x80 + 100}, size_t{0x80 + 264 + 79}}) {
        cases.push_back({"cut short", std::vector<uint8_t>(full.begin(), full.begin() + static_cast<long>(cut))});
    }
    std::vector<uint8_t> bad = full;
    bad[0] = 'X';
    cases.push_back({"no MZ", bad});
    bad = full;
    bad[0x81] = 'X';
    cases.push_back({"no PE signature", bad});

    for (const Case& c : cases) {
        uint32_t probed = 0;
        const size_t got = c.image.size() < HEADER_BLOCK_SIZE ? c.image.size() : HEADER_BLOCK_SIZE;
        const ProbeStop stop = ProbeHeaders(c.image.data(), got, &probed);
        uint32_t cut = 0;
        const ImageCheck check = CheckLauncherImage(c.image.data(), c.image.size(), &cut);
        if (check == ImageCheck::Ok) {
            EXPECT_EQ(stop, ProbeStop::None) << c.name;
            EXPECT_EQ(cut, probed) << c.name;
        }
        ImageCheck expected = ImageCheck::Ok;
        switch (stop) {
            case ProbeStop::None: continue;
            case ProbeStop::NoMz: expected = ImageCheck::NoMzHeader; break;
            case ProbeStop::LfanewTooLarge:
            case ProbeStop::HeadersPastEnd: expected = ImageCheck::HeaderOutsideBlock; break;
            case ProbeStop::NoPeSignature: expected = ImageCheck::NoPeSignature; break;
            case ProbeStop::SectionTableOutside: expected = ImageCheck::SectionTableOutside; break;
        }
        EXPECT_EQ(check, expected) << c.name;
    }

    // What only the packer refuses: images the probe would take.
    uint32_t probed = 0;
    uint32_t cut = 0;
    PeImageOptions x86;
    x86.machine = 0x14C;
    std::vector<uint8_t> image = MakePeImage({{0x200, 0x400}}, x86);
    EXPECT_EQ(ProbeHeaders(image.data(), image.size(), &probed), ProbeStop::None);
    EXPECT_EQ(CheckLauncherImage(image.data(), image.size(), &cut), ImageCheck::Not64Bit);
    PeImageOptions pe32;
    pe32.magic = 0x10B;
    image = MakePeImage({{0x200, 0x400}}, pe32);
    EXPECT_EQ(CheckLauncherImage(image.data(), image.size(), &cut), ImageCheck::Not64Bit);
    image = MakePeImage({{0x200, 0x400}});
    image[0x80 + 20] = 224;  // a 32-bit optional header's size
    EXPECT_EQ(CheckLauncherImage(image.data(), image.size(), &cut), ImageCheck::OptionalHeaderSize);
    small.fileSize = 0x5FF;  // one byte short of the section's end
    image = MakePeImage({{0x200, 0x400}}, small);
    EXPECT_EQ(ProbeHeaders(image.data(), image.size(), &probed), ProbeStop::None);
    EXPECT_EQ(CheckLauncherImage(image.data(), image.size(), &cut), ImageCheck::Truncated);
    image = MakePeImage({{0x10, 0x100}});  // ends inside its own section table
    EXPECT_EQ(CheckLauncherImage(image.data(), image.size(), &cut), ImageCheck::CutInsideHeaders);
}
