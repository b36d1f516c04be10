// What the launcher and the packager's tools must agree on, named once: the
// archive's entry names, the cache folder's name, the runtime's export and
// the launcher's string ids. Messages may still spell a name out.
#pragma once

#include <cstddef>
#include <cstdint>

// The archive's entries, compared exactly: the payload and the runtime library.
constexpr const char16_t* PAYLOAD_NAME = u"vorlane.bin";
constexpr const char16_t* LIBRARY_NAME = u"VorlaneStub.dll";
// The per-user cache folder inside the local app data folder.
constexpr const char16_t* RUNTIME_ROOT_NAME = u"Vorlane Runtime";
// The runtime library's one export the launcher calls.
constexpr const char* INIT_EXPORT = "VorlaneInit";

// The launcher's string table, written by the build (cmake/string_table.cmake
// repeats 4 to 7, CMake cannot read this) and rewritten by vorlane-pack.
enum StringId : uint32_t {
    SETTING_THIRD_ARGUMENT = 4,   // passed as the runtime's third argument
    SETTING_FOURTH_ARGUMENT = 5,  // passed as the runtime's fourth argument
    SETTING_REMOVE_AFTER = 6,     // exactly "Y": remove what this run installed
    PUBLISHER_STRING_ID = 7,      // the signer's display name the runtime library must carry
    PIN_STRING_ID = 8,            // the digest of the one runtime build it runs
};
constexpr uint32_t FIRST_STRING_ID = SETTING_THIRD_ARGUMENT;
constexpr uint32_t LAST_STRING_ID = PIN_STRING_ID;
constexpr size_t STRING_ID_COUNT = LAST_STRING_ID - FIRST_STRING_ID + 1;
