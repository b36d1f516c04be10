// The package's archive as the launcher's own reader sees it: its start
// header, its entries and their coders, the payload's in-place check and the
// decode of every runtime entry the installation would write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/payload.h"
#include "platform/platform.h"
#include "tools/inspect/findings.h"

// The meaning of a decoder error code, for the packager.
const char* SdkCodeMeaning(int code);

// The start header at report->archiveStart: version, next header, the archive's end.
bool ReadStartHeader(PlatFile exe, InspectReport* report);

// Every entry of an opened archive, with its role by its exact name.
void ListEntries(const CSzArEx* db, InspectReport* report);

// Notes entries whose names miss the payload's or the runtime's by letter case only.
void NoteNearNames(InspectReport* report);

// The payload facts behind LocateAndCheckPayload's result.
void DescribePayload(const CSzArEx* db, PlatFile exe, uint64_t fileSize, const PayloadLocation& location,
                     PayloadResult result, InspectReport* report);

// Decodes every runtime entry as the installation would; *installed gets the
// bytes of the one the launcher would leave installed.
void DecodeRuntimeEntries(ArchiveReader* reader, InspectReport* report, std::vector<uint8_t>* installed);
