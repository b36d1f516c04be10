// The packaged executable opened for the launch: the executable held, its
// headers probed, the appended archive found and opened, the payload located
// and checked in place (stages 2 to 9). The launcher, the tools, the benchmark
// and the fuzz harness all open a package through this one function.
#pragma once

#include <cstdint>

#include "archive/archive_reader.h"
#include "archive/file_layer.h"
#include "archive/host_image.h"
#include "archive/payload.h"

// Where the opening stopped; None when every stage passed.
enum class PackageStop : uint8_t {
    None,
    ExeOpen,       // stage 2: the executable cannot be opened (error)
    Probe,         // stage 3: the PE headers fail the probe
    NoArchive,     // stage 5: no valid start header in the search window
    Seek,          // stage 6: the file cannot be positioned at the archive start
    ReaderMemory,  // stage 7: the reader's buffers cannot be allocated
    ArchiveOpen,   // stage 8: the archive does not open (openResult)
    Payload,       // stage 9: the payload is missing, out of range or damaged (payload)
};

struct PackageResult {
    PackageStop stop;
    uint32_t error;         // the platform's code, for ExeOpen
    SRes openResult;        // the decoder's answer, once stage 8 ran
    PayloadResult payload;  // stage 9's answer, once it ran
};

// What the stages found, as far as they got; owns the executable's handle and
// the reader. image.modulePath is the caller's to fill before opening.
struct Package {
    HostImage image{};
    OwnedFile exe;
    uint64_t archiveStart = 0;
    ArchiveReader reader{};
    PayloadLocation payload{};
    bool readerSetUp = false;

    Package() = default;
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;
    ~Package() {
        if (readerSetUp) ArchiveReaderClose(&reader);
    }
};

// Runs stages 2 to 9 on package->image.modulePath (the CRC tables are set up
// here, before the first check needs them); stage 9 only when checkPayload
// (readers of the archive alone, such as the benchmark's, leave it out). The
// executable stays open, read sharing only, for as long as the package lives.
// Shows nothing.
PackageResult OpenPackage(Package* package, bool checkPayload = true);

// The ending the launcher stops with where the opening stopped (Ok for None):
// the one mapping, which vorlane-inspect reports by too.
Ending StopEnding(const PackageResult& opened);
