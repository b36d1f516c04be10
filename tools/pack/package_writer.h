// The package writer: the launcher's image, then a 7z archive holding the
// payload stored (read in place by the launcher) and the runtime library
// compressed (BCJ2 over LZMA), with the image's PE checksum summed over the
// whole file. It writes through callbacks, so vorlane-pack can put real files
// behind them on any OS; nothing here touches the file system.
#pragma once

#include <cstddef>
#include <cstdint>

enum class PackResult {
    Ok,
    Cancelled,           // the progress callback returned false; the output is incomplete
    NotLauncherImage,    // the image fails the checks, see PackReport::image
    EmptyPayload,        // the launcher looks for a payload with data
    EmptyRuntime,        // an empty entry has no folder: nothing to install
    PayloadSizeChanged,  // the source gave more or fewer bytes than its size said
    ReadFailed,          // the payload source's read failed
    WriteFailed,         // the output's write or rewrite failed
    OutOfMemory,
    EncoderFailed,       // the LZMA SDK's encoder failed for another reason
    TooLarge,            // the package would be WINDOWS_START_LIMIT bytes or more (PackReport::packageSize)
};

// What is wrong with a launcher image, by the checks vorlane-pack has always made.
enum class ImageCheck {
    Ok,
    NoMzHeader,
    HeaderOutsideBlock,  // the PE header lies outside the image's first 4096 bytes
    NoPeSignature,
    Not64Bit,            // machine x86-64 and optional header magic PE32+ both required
    OptionalHeaderSize,  // not the 240 bytes of a 64-bit optional header
    SectionTableOutside, // the section table runs past the first 4096 bytes or the image
    NoRawData,           // no section has raw data: no search start
    Truncated,           // the sections end past the image's last byte
    CutInsideHeaders,    // the search start lies inside the headers
};

// Appends bytes to the output, and overwrites bytes written before it: the
// start header and the PE checksum, which depend on the payload's CRC and on
// every byte, are written last at their places (the payload is read only
// once). rewrite is called only after the last write. Both return false when
// not every byte was written.
struct PackOutput {
    void* context;
    bool (*write)(void* context, const uint8_t* data, size_t size);
    bool (*rewrite)(void* context, uint64_t offset, const uint8_t* data, size_t size);
};

// The payload, read once from start to end in pieces. size is what the caller
// measured (for progress and the space check); the package records what was
// read, and a different amount ends the write with PayloadSizeChanged.
// read puts up to capacity bytes at buffer and sets *got, 0 at the end;
// false on a failure.
struct PackSource {
    void* context;
    uint64_t size;
    bool (*read)(void* context, uint8_t* buffer, size_t capacity, size_t* got);
};

// Called on the writer's thread as the work advances: done of total bytes,
// where total is the runtime library's size (compressed first) plus the
// payload's (copied next). Returning false cancels: the writer stops at once
// and returns Cancelled. report may be null.
struct PackProgress {
    void* context;
    bool (*report)(void* context, uint64_t done, uint64_t total);
};

struct PackInputs {
    const uint8_t* image;  // the launcher's image; bytes past its sections' raw data are dropped
    size_t imageSize;
    const uint8_t* runtime;  // the runtime library as it will be installed
    size_t runtimeSize;
    PackSource payload;
};

// What the writer found and wrote, filled as far as it got.
struct PackReport {
    ImageCheck image;
    uint32_t searchStart;     // where the image was cut and the archive starts
    bool clearedSignature;    // the certificate table entry pointed at or past the cut
    bool clearedSymbols;      // so did the COFF symbol table pointer
    uint64_t payloadSize;
    uint32_t payloadCrc;
    uint32_t runtimeCrc;
    uint64_t runtimePacked;   // the runtime folder's packed streams together
    uint64_t packageSize;     // with TooLarge: the size it would have
    uint32_t checksum;        // the PE checksum recorded in the image
};

// The checks and the cut alone, for refusing an image before any work: the
// search start by the launcher's own rule (the raw end of the section that
// starts last in the file).
ImageCheck CheckLauncherImage(const uint8_t* image, size_t size, uint32_t* searchStart);

// Writes the whole package to output. On any result but Ok the output is
// incomplete and the caller removes it. A package Windows would not start
// (TooLarge) is refused once the runtime is compressed, before a byte is written.
PackResult WritePackage(const PackInputs& inputs, const PackOutput& output, const PackProgress& progress,
                        PackReport* report);

// Short English names for messages ("cancelled", "payload read failed", ...).
const char* PackResultName(PackResult result);
const char* ImageCheckName(ImageCheck check);
