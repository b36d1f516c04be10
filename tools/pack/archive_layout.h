// The 7z archive's own records as the package writes them: the start header
// and the plain (uncompressed) header naming the payload's stored folder and
// the runtime library's folder.
#pragma once

#include <cstdint>

#include "tools/pack/byte_buffer.h"
#include "tools/pack/runtime_folder.h"

constexpr size_t ARCHIVE_START_HEADER_SIZE = 32;

// The header: the payload's Copy folder first (pack position 0, so its bytes
// follow the start header), then the runtime's; names, CRCs for both entries,
// attributes FILE_ATTRIBUTE_ARCHIVE for both whatever the packing machine's
// file modes, and no times. False when out of memory.
bool BuildArchiveHeader(uint64_t payloadSize, uint32_t payloadCrc, const RuntimeFolder& runtime, uint32_t runtimeCrc,
                        ByteBuffer* header);

// The start header for a header of headerSize bytes with CRC headerCrc that
// lies nextOffset bytes after the start header's end.
void BuildStartHeader(uint64_t nextOffset, uint64_t headerSize, uint32_t headerCrc,
                      uint8_t out[ARCHIVE_START_HEADER_SIZE]);

// The 7z format's variable-length number.
bool AppendNumber(ByteBuffer* buffer, uint64_t value);
