// The Authenticode digest of a PE image: what a signature over the image
// signs and the trust services recompute, and so what a pin names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/file_crc.h"
#include "archive/pe_view.h"
#include "archive/pin.h"

enum class PeDigestResult {
    Ok,
    NotPe,        // no MZ or PE signature, or an optional header of neither 32- nor 64-bit kind
    Damaged,      // the headers name ranges the file does not hold: fields or sections past its end, a
                  // section table outside the headers, a certificate table over the image or past the end
    ReadFailed,   // the reader failed
    OutOfMemory,  // no buffer for the section table or the reads
};

// The Authenticode digest with the given algorithm: the headers up to
// SizeOfHeaders without the CheckSum field and the certificate table's
// directory entry, each section's raw data in file order, then what follows
// the last section except the certificate table. An image with no certificate
// table is hashed as if zero-padded to a multiple of 8 bytes, as signing pads
// it, so its digest is the one a signature made with that algorithm will carry.
// Reads through buffer as the CRC checks do (one of its own when null).
PeDigestResult AuthenticodeDigest(const PeReader& reader, PlatDigestKind algorithm, Pin* digest,
                                  CheckBuffer* buffer = nullptr);
