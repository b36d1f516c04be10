// Packaged files and 7z archives for tests: runs vorlane-pack and 7zz, writes
// small stored archives by hand (for layouts the real tools never produce) and
// edits archive bytes while keeping their CRCs consistent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);
// The SDK's CRC-32 (generates its tables first).
uint32_t Crc32(const void* data, size_t size);
// Sets the four bytes at offset so that the whole buffer's CRC-32 becomes
// target, as anyone can: CRC-32 is linear, so four free bytes reach any value.
bool ForgeCrc32(std::vector<uint8_t>* bytes, size_t offset, uint32_t target);

// Runs a program without a shell; its exit status, -1 when it could not run.
// Output (stdout and stderr together) goes to *output when given.
int RunProgram(const std::vector<std::string>& argv, const std::string& workDir = "", std::string* output = nullptr);

// Whether the process of that id ends within seconds (a zombie counts as
// ended: only its parent can still reap it).
bool ProcessEnds(int pid, int seconds = 3);

// vorlane-pack as the build installs it.
std::string PackToolPath(const std::string& binaryDir);
int RunPackTool(const std::string& binaryDir, const std::string& launcher, const std::string& payload,
                const std::string& runtime, const std::string& out, std::string* output = nullptr);

// 7zz in workDir with the given arguments ("a", switches, archive, names...).
int Run7zz(const std::vector<std::string>& args, const std::string& workDir, std::string* output = nullptr);

// A 32-byte 7z start header with a correct start header CRC.
std::vector<uint8_t> MakeStartHeader(uint64_t nextOffset, uint64_t nextSize, uint32_t nextCrc);
// The offset of the first 7z signature with a valid start header CRC, or SIZE_MAX.
size_t FindStartHeaderIn(const std::vector<uint8_t>& bytes, size_t from = 0);

// One entry of a hand-written archive. Entries with data each get a folder of
// their own, stored (Copy), in entry order.
struct StoredEntry {
    std::u16string name;
    std::vector<uint8_t> data;
    bool isDir = false;
};
struct StoredArchiveOptions {
    bool names = true;   // record a names property
    bool crcs = true;    // record entry CRCs
};
std::vector<uint8_t> BuildStoredArchive(const std::vector<StoredEntry>& entries,
                                        const StoredArchiveOptions& options = {});

// After bytes of the next header (at archiveStart) were edited: recompute the
// next header CRC and the start header CRC. False when no header is there.
bool FixHeaderCrcs(std::vector<uint8_t>& bytes, size_t archiveStart);
// Replaces an entry name of the same length inside an uncompressed header and
// fixes the CRCs. False when the name is not found.
bool RenameInHeader(std::vector<uint8_t>& bytes, size_t archiveStart, const std::u16string& from,
                    const std::u16string& to);
