#include "tests/support/package.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <fstream>
#include <iterator>

#include "archive/archive_reader.h"
#include "base/bytes.h"

namespace {

const uint8_t SIGNATURE[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

// The 7z variable-length number: leading one bits of the first byte count the
// extra little-endian bytes.
void PutNumber(std::vector<uint8_t>& out, uint64_t value) {
    int extra = 0;
    while (extra < 8 && value >= (uint64_t{1} << (7 * (extra + 1)))) ++extra;
    if (extra == 8) {
        out.push_back(0xFF);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return;
    }
    const uint8_t mask = static_cast<uint8_t>(0xFF00 >> extra);
    const uint8_t high = static_cast<uint8_t>(extra == 8 ? 0 : (value >> (8 * extra)));
    out.push_back(static_cast<uint8_t>(mask | high));
    for (int i = 0; i < extra; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> BitVector(const std::vector<bool>& bits) {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i]) out[i / 8] = static_cast<uint8_t>(out[i / 8] | (0x80 >> (i % 8)));
    }
    return out;
}

void PutProperty(std::vector<uint8_t>& out, uint8_t id, const std::vector<uint8_t>& data) {
    out.push_back(id);
    PutNumber(out, data.size());
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

// In one read of the whole file: the sweeps read the cache after every start.
std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::streamoff size = in.tellg();
    if (size <= 0) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return {};
    return bytes;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

uint32_t Crc32(const void* data, size_t size) {
    CrcGenerateTable();
    return size == 0 ? 0 : CrcCalc(data, size);
}

bool ForgeCrc32(std::vector<uint8_t>* bytes, size_t offset, uint32_t target) {
    if (offset + 4 > bytes->size()) return false;
    uint8_t* patch = bytes->data() + offset;
    for (int i = 0; i < 4; ++i) patch[i] = 0;
    const uint32_t base = Crc32(bytes->data(), bytes->size());
    // Column b: what flipping bit b of the patch does to the CRC.
    uint32_t column[32];
    for (int b = 0; b < 32; ++b) {
        patch[b / 8] = static_cast<uint8_t>(1u << (b % 8));
        column[b] = Crc32(bytes->data(), bytes->size()) ^ base;
        patch[b / 8] = 0;
    }
    // Gauss-Jordan over GF(2): each row tracks which patch bits make up its column.
    uint32_t made[32];
    for (int b = 0; b < 32; ++b) made[b] = 1u << b;
    uint32_t want = target ^ base, solution = 0;
    for (int bit = 0; bit < 32; ++bit) {
        int pivot = -1;
        for (int r = bit; r < 32 && pivot < 0; ++r) {
            if ((column[r] >> bit) & 1u) pivot = r;
        }
        if (pivot < 0) return false;
        std::swap(column[bit], column[pivot]);
        std::swap(made[bit], made[pivot]);
        for (int r = 0; r < 32; ++r) {
            if (r != bit && ((column[r] >> bit) & 1u)) {
                column[r] ^= column[bit];
                made[r] ^= made[bit];
            }
        }
    }
    for (int bit = 0; bit < 32; ++bit) {
        if ((want >> bit) & 1u) solution ^= made[bit];
    }
    for (int i = 0; i < 4; ++i) patch[i] = static_cast<uint8_t>(solution >> (8 * i));
    return Crc32(bytes->data(), bytes->size()) == target;
}

bool ProcessEnds(int pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z') return true;
        usleep(50 * 1000);
    }
    return false;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& workDir, std::string* output) {
    // Everything the child needs is ready before the fork.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PackToolPath(const std::string& binaryDir) { return binaryDir + "/tools/vorlane-pack"; }

int RunPackTool(const std::string& binaryDir, const std::string& launcher, const std::string& payload,
                const std::string& runtime, const std::string& out, std::string* output) {
    // Test packages carry stand-in runtime bytes (patterns, native libraries).
    return RunProgram({PackToolPath(binaryDir), "--launcher", launcher, "--payload", payload, "--runtime", runtime,
                       "-o", out, "--quiet", "--unchecked-runtime"},
                      "", output);
}

int Run7zz(const std::vector<std::string>& args, const std::string& workDir, std::string* output) {
    std::vector<std::string> argv{"7zz"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, workDir, output);
}

std::vector<uint8_t> MakeStartHeader(uint64_t nextOffset, uint64_t nextSize, uint32_t nextCrc) {
    std::vector<uint8_t> h(32, 0);
    std::memcpy(h.data(), SIGNATURE, 6);
    h[6] = 0;
    h[7] = 4;
    PutLe64(h.data() + 12, nextOffset);
    PutLe64(h.data() + 20, nextSize);
    PutLe32(h.data() + 28, nextCrc);
    PutLe32(h.data() + 8, Crc32(h.data() + 12, 20));
    return h;
}

size_t FindStartHeaderIn(const std::vector<uint8_t>& bytes, size_t from) {
    for (size_t i = from; i + 32 <= bytes.size(); ++i) {
        if (std::memcmp(bytes.data() + i, SIGNATURE, 6) != 0) continue;
        if (Crc32(bytes.data() + i + 12, 20) == Le32(bytes.data() + i + 8)) return i;
    }
    return SIZE_MAX;
}

std::vector<uint8_t> BuildStoredArchive(const std::vector<StoredEntry>& entries, const StoredArchiveOptions& options) {
    std::vector<uint8_t> packed;
    std::vector<uint64_t> sizes;
    std::vector<uint32_t> crcs;
    std::vector<bool> emptyStream;
    std::vector<bool> emptyFile;
    bool anyEmpty = false;
    for (const StoredEntry& e : entries) {
        const bool empty = e.isDir || e.data.empty();
        emptyStream.push_back(empty);
        if (empty) {
            anyEmpty = true;
            emptyFile.push_back(!e.isDir);
            continue;
        }
        packed.insert(packed.end(), e.data.begin(), e.data.end());
        sizes.push_back(e.data.size());
        crcs.push_back(Crc32(e.data.data(), e.data.size()));
    }

    std::vector<uint8_t> h;
    h.push_back(0x01);  // header
    if (!sizes.empty()) {
        h.push_back(0x04);  // main streams info
        h.push_back(0x06);  // pack info
        PutNumber(h, 0);
        PutNumber(h, sizes.size());
        h.push_back(0x09);
        for (uint64_t s : sizes) PutNumber(h, s);
        h.push_back(0x00);
        h.push_back(0x07);  // unpack info
        h.push_back(0x0B);
        PutNumber(h, sizes.size());
        h.push_back(0x00);  // not external
        for (size_t i = 0; i < sizes.size(); ++i) {
            h.push_back(0x01);  // one coder
            h.push_back(0x01);  // id of one byte, simple, no properties
            h.push_back(0x00);  // Copy
        }
        h.push_back(0x0C);
        for (uint64_t s : sizes) PutNumber(h, s);
        h.push_back(0x00);
        if (options.crcs) {
            h.push_back(0x08);  // substreams info: one stream per folder, CRCs
            h.push_back(0x0A);
            h.push_back(0x01);  // all defined
            for (uint32_t c : crcs) {
                uint8_t b[4];
                PutLe32(b, c);
                h.insert(h.end(), b, b + 4);
            }
            h.push_back(0x00);
        }
        h.push_back(0x00);
    }
    if (!entries.empty()) {
        h.push_back(0x05);  // files info
        PutNumber(h, entries.size());
        if (anyEmpty) {
            PutProperty(h, 0x0E, BitVector(emptyStream));
            PutProperty(h, 0x0F, BitVector(emptyFile));
        }
        if (options.names) {
            std::vector<uint8_t> names{0x00};  // not external
            for (const StoredEntry& e : entries) {
                for (char16_t c : e.name) {
                    names.push_back(static_cast<uint8_t>(c));
                    names.push_back(static_cast<uint8_t>(c >> 8));
                }
                names.push_back(0);
                names.push_back(0);
            }
            PutProperty(h, 0x11, names);
        }
        h.push_back(0x00);
    }
    h.push_back(0x00);

    std::vector<uint8_t> archive = MakeStartHeader(packed.size(), h.size(), Crc32(h.data(), h.size()));
    archive.insert(archive.end(), packed.begin(), packed.end());
    archive.insert(archive.end(), h.begin(), h.end());
    return archive;
}

bool FixHeaderCrcs(std::vector<uint8_t>& bytes, size_t archiveStart) {
    if (archiveStart + 32 > bytes.size()) return false;
    uint8_t* start = bytes.data() + archiveStart;
    if (std::memcmp(start, SIGNATURE, 6) != 0) return false;
    const uint64_t nextOffset = Le64(start + 12);
    const uint64_t nextSize = Le64(start + 20);
    const uint64_t from = archiveStart + 32 + nextOffset;
    if (from > bytes.size() || nextSize > bytes.size() - from) return false;
    PutLe32(start + 28, Crc32(bytes.data() + from, static_cast<size_t>(nextSize)));
    PutLe32(start + 8, Crc32(start + 12, 20));
    return true;
}

bool RenameInHeader(std::vector<uint8_t>& bytes, size_t archiveStart, const std::u16string& from,
                    const std::u16string& to) {
    if (from.size() != to.size() || archiveStart + 32 > bytes.size()) return false;
    const uint64_t nextOffset = Le64(bytes.data() + archiveStart + 12);
    std::vector<uint8_t> pattern;
    std::vector<uint8_t> replacement;
    for (size_t i = 0; i <= from.size(); ++i) {
        const char16_t a = i < from.size() ? from[i] : u'\0';
        const char16_t b = i < to.size() ? to[i] : u'\0';
        pattern.push_back(static_cast<uint8_t>(a));
        pattern.push_back(static_cast<uint8_t>(a >> 8));
        replacement.push_back(static_cast<uint8_t>(b));
        replacement.push_back(static_cast<uint8_t>(b >> 8));
    }
    const size_t headerStart = static_cast<size_t>(archiveStart + 32 + nextOffset);
    for (size_t i = headerStart; i + pattern.size() <= bytes.size(); ++i) {
        if (std::memcmp(bytes.data() + i, pattern.data(), pattern.size()) != 0) continue;
        std::memcpy(bytes.data() + i, replacement.data(), replacement.size());
        return FixHeaderCrcs(bytes, archiveStart);
    }
    return false;
}
