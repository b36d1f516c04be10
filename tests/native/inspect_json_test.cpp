// vorlane-inspect's JSON document, whose shape scripts rely on: keys, their
// order and nesting, number forms and formatVersion, for a report where
// everything is known and for ones where most is not; and texts from a
// package (controls, unpaired surrogates, bytes that are not UTF-8) always
// leave a document a JSON parser accepts, holding no raw control character.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "tools/inspect/inspect.h"

namespace {

MaybeText& At(LauncherFacts& facts, StringId id) { return facts.strings[id - FIRST_STRING_ID]; }

EntryFacts Entry(uint32_t index, const std::u16string& name, EntryRole role) {
    EntryFacts e;
    e.index = index;
    e.hasName = true;
    e.name = name;
    e.role = role;
    return e;
}

// Every figure known, every branch of the document taken.
InspectReport FullReport() {
    InspectReport r;
    r.path = u"Z:\\pkg\\app.exe";
    r.probed = true;
    r.searchStart = 4096;
    r.fileSize = 90000;
    r.host.hasCertificateTable = true;
    r.host.certificateOffset = 88000;
    r.host.certificateSize = 2000;

    LauncherFacts& l = r.launcher;
    l.read = true;
    At(l, SETTING_THIRD_ARGUMENT) = MaybeText{true, u"FALSE"};
    At(l, SETTING_FOURTH_ARGUMENT) = MaybeText{true, u"NO"};
    At(l, PUBLISHER_STRING_ID) = MaybeText{true, u"Maker"};
    At(l, PIN_STRING_ID) = MaybeText{true, u"sha256:00ff"};
    l.hasVersion = true;
    const uint16_t file[4] = {1, 2, 3, 4};
    const uint16_t product[4] = {5, 6, 7, 8};
    std::copy(file, file + 4, l.fileVersion);
    std::copy(product, product + 4, l.productVersion);
    l.versionStrings = {{"ProductName", u"App"}, {"CompanyName", u"Maker"}};
    l.iconSizes = {16, 0};

    r.archiveFound = true;
    r.archiveStart = 4100;
    r.majorVersion = 0;
    r.minorVersion = 4;
    r.nextHeaderOffset = 80000;
    r.nextHeaderSize = 120;
    r.archiveEnd = MaybeU64{true, 84252};
    r.openTried = true;
    r.openResult = 0;
    r.dataPos = 4132;
    r.folderCount = 2;

    EntryFacts payload = Entry(0, u"vorlane.bin", EntryRole::Payload);
    payload.size = 70001;
    payload.folder = 0;
    payload.packOffset = MaybeU64{true, 4132};
    payload.coders = {{0, "Copy"}};
    payload.crcDefined = true;
    payload.crc = 0xCAFE;
    r.entries.push_back(payload);

    EntryFacts runtime = Entry(1, u"VorlaneStub.dll", EntryRole::Runtime);
    runtime.size = 300000;
    runtime.folder = 1;
    runtime.packOffset = MaybeU64{true, 74133};
    runtime.coders = {{0x30101, "LZMA"}, {0x30101, "LZMA"}, {0x30101, "LZMA"}, {0x303011B, "BCJ2"}};
    runtime.crcDefined = true;
    runtime.crc = 0xBEEF;
    runtime.decode = DecodeFacts{true, 0, true, true, MaybeU64{true, 0xBEEF}};
    PeFacts& pe = runtime.runtimePe;
    pe.valid = true;
    pe.machine = 0x8664;
    pe.magic = 0x20B;
    pe.dll = true;
    pe.exportsInit = true;
    pe.hasCertificateTable = true;
    pe.signerKnown = true;
    pe.signer = u"Maker";
    pe.signerCodeSigning = true;
    pe.characteristics = 0x2022;
    pe.dllCharacteristics = 0x160;
    pe.imports = {"KERNEL32.dll", "USER32.dll"};
    pe.delayImports = {"VERSION.dll"};
    r.entries.push_back(runtime);

    EntryFacts folder;
    folder.index = 2;
    folder.directory = true;
    r.entries.push_back(folder);

    EntryFacts damaged = Entry(3, u"VorlaneStub.dll", EntryRole::Runtime);
    damaged.size = 10;
    damaged.folder = 1;
    damaged.decode = DecodeFacts{true, 3, true, false, MaybeU64{true, 7}};
    r.entries.push_back(damaged);

    r.payload.checked = true;
    r.payload.result = PayloadResult::Ok;
    r.payload.hasEntry = true;
    r.payload.entry = 0;
    r.payload.offset = MaybeU64{true, 4132};
    r.payload.size = MaybeU64{true, 70001};
    r.payload.crcDefined = true;
    r.payload.crc = 0xCAFE;
    r.runtimeChecked = true;
    r.runtimeInstallable = true;
    r.runtimeEntry = 1;
    r.trust = TrustFacts{true, false, false, 0x800B0109u, "unable to get local issuer certificate"};
    r.notes = {"first note", "second note"};
    r.verdict.ok = false;
    r.verdict.stage = 14;
    r.verdict.message = u"VorlaneStub.dll is not signed.";
    r.verdict.code = 5;
    r.verdict.explanation = "why";
    return r;
}

const char FULL_JSON[] = R"({
  "formatVersion": 2,
  "file": "Z:\\pkg\\app.exe",
  "hostImage": {
    "searchStart": 4096,
    "fileSize": 90000,
    "certificateTable": {
      "offset": 88000,
      "size": 2000
    }
  },
  "launcher": {
    "strings": {
      "4": "FALSE",
      "5": "NO",
      "6": null,
      "7": "Maker",
      "8": "sha256:00ff"
    },
    "fileVersion": "1.2.3.4",
    "productVersion": "5.6.7.8",
    "versionStrings": {
      "ProductName": "App",
      "CompanyName": "Maker"
    },
    "icons": [
      16,
      256
    ]
  },
  "archive": {
    "start": 4100,
    "gap": 4,
    "majorVersion": 0,
    "minorVersion": 4,
    "nextHeaderOffset": 80000,
    "nextHeaderSize": 120,
    "end": 84252,
    "bytesAfter": 5748,
    "bytesMissing": 0,
    "certificateTableAfter": true,
    "openResult": 0,
    "dataPos": 4132,
    "folders": 2
  },
  "entries": [
    {
      "index": 0,
      "name": "vorlane.bin",
      "size": 70001,
      "directory": false,
      "folder": 0,
      "packOffset": 4132,
      "coders": [
        "Copy"
      ],
      "crc": 51966,
      "role": "payload",
      "decode": null
    },
    {
      "index": 1,
      "name": "VorlaneStub.dll",
      "size": 300000,
      "directory": false,
      "folder": 1,
      "packOffset": 74133,
      "coders": [
        "LZMA",
        "LZMA",
        "LZMA",
        "BCJ2"
      ],
      "crc": 48879,
      "role": "runtime",
      "decode": {
        "result": 0,
        "decodes": true,
        "crcMatches": true,
        "decodedCrc": 48879,
        "image": {
          "pe": true,
          "machine": "0x8664",
          "is64Bit": true,
          "dll": true,
          "exportsInit": true,
          "signed": true,
          "signer": "Maker",
          "signerCodeSigning": true,
          "characteristics": 8226,
          "dllCharacteristics": 352,
          "imports": [
            "KERNEL32.dll",
            "USER32.dll"
          ],
          "delayImports": [
            "VERSION.dll"
          ]
        }
      }
    },
    {
      "index": 2,
      "name": null,
      "size": 0,
      "directory": true,
      "folder": null,
      "packOffset": null,
      "coders": [],
      "crc": null,
      "role": null,
      "decode": null
    },
    {
      "index": 3,
      "name": "VorlaneStub.dll",
      "size": 10,
      "directory": false,
      "folder": 1,
      "packOffset": null,
      "coders": [],
      "crc": null,
      "role": "runtime",
      "decode": {
        "result": 3,
        "decodes": true,
        "crcMatches": false,
        "decodedCrc": 7,
        "image": null
      }
    }
  ],
  "payload": {
    "result": "ok",
    "entry": 0,
    "offset": 4132,
    "size": 70001,
    "crc": 51966
  },
  "runtime": {
    "entry": 1,
    "installable": true
  },
  "trust": {
    "checkedBy": "trust roots",
    "verified": false,
    "result": 2148204809,
    "detail": "unable to get local issuer certificate"
  },
  "notes": [
    "first note",
    "second note"
  ],
  "verdict": {
    "ok": false,
    "stage": 14,
    "message": "VorlaneStub.dll is not signed.",
    "exitCode": 5,
    "exitStatus": 5,
    "endedBy": "launcher",
    "chainAssumed": false,
    "explanation": "why"
  }
}
)";

// Nothing read at all: every section null, the verdict ok.
const char EMPTY_JSON[] = R"({
  "formatVersion": 2,
  "file": "",
  "hostImage": null,
  "launcher": null,
  "archive": null,
  "entries": [],
  "payload": null,
  "runtime": null,
  "trust": null,
  "notes": [],
  "verdict": {
    "ok": true,
    "stage": null,
    "message": null,
    "exitCode": 0,
    "exitStatus": 0,
    "endedBy": null,
    "chainAssumed": false,
    "explanation": null
  }
}
)";

TEST(InspectJson, DocumentKeepsItsKeysOrderNestingAndNumberForms) {
    EXPECT_EQ(ReportJson(FullReport()), FULL_JSON);
    InspectReport empty;
    empty.verdict.ok = true;
    EXPECT_EQ(ReportJson(empty), EMPTY_JSON);

    // The partial forms: an archive that did not open and ends beyond any
    // size, a launcher without a version block, damaged import tables, no
    // runtime entry, the machine's trust check, and the other two enders.
    InspectReport partial = FullReport();
    partial.archiveEnd = MaybeU64{};
    partial.openResult = 17;
    partial.launcher.hasVersion = false;
    partial.launcher.versionStrings.clear();
    partial.launcher.iconSizes.clear();
    partial.entries[1].runtimePe.importsReadable = false;
    partial.entries[1].runtimePe.delayImportsReadable = false;
    partial.entries[1].runtimePe.signerKnown = false;
    partial.payload = PayloadFacts{};
    partial.payload.checked = true;
    partial.payload.result = PayloadResult::NotFound;
    partial.runtimeEntry = -1;
    partial.trust = TrustFacts{true, true, true, 0, ""};
    const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(ReportJson(partial), nullptr, false);
    ASSERT_FALSE(doc.is_discarded());
    const nlohmann::ordered_json& archive = doc["archive"];
    EXPECT_TRUE(archive["end"].is_null());
    EXPECT_EQ(archive["openResult"], 17);
    EXPECT_TRUE(archive["dataPos"].is_null());
    EXPECT_TRUE(archive["folders"].is_null());
    EXPECT_TRUE(doc["launcher"]["fileVersion"].is_null());
    EXPECT_TRUE(doc["launcher"]["productVersion"].is_null());
    EXPECT_EQ(doc["launcher"]["versionStrings"].dump(), "{}");
    EXPECT_EQ(doc["launcher"]["icons"].dump(), "[]");
    const nlohmann::ordered_json& image = doc["entries"][1]["decode"]["image"];
    EXPECT_TRUE(image["imports"].is_null());
    EXPECT_TRUE(image["delayImports"].is_null());
    EXPECT_TRUE(image["signer"].is_null());
    EXPECT_EQ(doc["payload"].dump(), R"({"result":"not found","entry":null,"offset":null,"size":null,"crc":null})");
    EXPECT_EQ(doc["runtime"].dump(), R"({"entry":null,"installable":true})");
    EXPECT_EQ(doc["trust"].dump(), R"({"checkedBy":"this machine","verified":true,"result":null,"detail":null})");

    for (const auto& ender : {std::make_pair(Ender::Windows, "windows"), std::make_pair(Ender::Runtime, "runtime")}) {
        partial.verdict.by = ender.first;
        partial.verdict.message.clear();
        partial.verdict.code = -1073741819;
            const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(ReportJson(partial), nullptr, false);
        ASSERT_FALSE(doc.is_discarded());
        const nlohmann::ordered_json& verdict = doc["verdict"];
        EXPECT_EQ(verdict["endedBy"], ender.second);
        EXPECT_TRUE(verdict["message"].is_null());
        EXPECT_EQ(verdict["exitCode"], -1073741819);
        EXPECT_EQ(verdict["exitStatus"], 5);
    }
}

TEST(InspectJson, HostileTextsLeaveAValidDocumentWithEveryControlEscaped) {
    InspectReport r = FullReport();
    std::u16string title = u"\x1b]0;pwned\x07\r\n\t\x7f\u202e";
    title.push_back(0xD800);  // an unpaired surrogate has no UTF-8 form
    r.path = title;
    At(r.launcher, SETTING_THIRD_ARGUMENT).text = title;
    r.launcher.versionStrings = {{"Ev\x1bil", title}, {"Ev\x1bil", u"second"}};
    r.entries[1].name = title;
    r.entries[1].runtimePe.signer = title;
    const std::string bytes = "ev\x1b[1A\xff\xc0\x80il.dll";  // ESC, then bytes that are not UTF-8
    r.entries[1].runtimePe.imports = {bytes};
    r.entries[1].runtimePe.delayImports = {bytes};
    r.trust.detail = bytes;
    r.notes = {bytes};
    r.verdict.message = title;
    r.verdict.explanation = bytes;

    const std::string json = ReportJson(r);
    ASSERT_TRUE(nlohmann::json::accept(json)) << json;
    for (const char c : json) {
        const auto u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 || c == '\n') << "raw control " << static_cast<int>(u) << " in\n" << json;
    }
    const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(json, nullptr, false);
    const std::string titleRead = "\x1b]0;pwned\x07\r\n\t\x7f\u202e\uFFFD";
    EXPECT_EQ(doc["file"], titleRead);
    EXPECT_EQ(doc["launcher"]["strings"]["4"], titleRead);
    EXPECT_EQ(doc["entries"][1]["name"], titleRead);
    EXPECT_EQ(doc["entries"][1]["decode"]["image"]["signer"], titleRead);
    EXPECT_EQ(doc["verdict"]["message"], titleRead);
    // A key the version block names twice reads as a JSON reader reads it: one key, the last value.
    EXPECT_EQ(doc["launcher"]["versionStrings"].dump(), "{\"Ev\\u001bil\":\"second\"}");
    const std::string bytesRead = "ev\x1b[1A\uFFFD\uFFFD\uFFFDil.dll";
    EXPECT_EQ(doc["entries"][1]["decode"]["image"]["imports"][0], bytesRead);
    EXPECT_EQ(doc["entries"][1]["decode"]["image"]["delayImports"][0], bytesRead);
    EXPECT_EQ(doc["trust"]["detail"], bytesRead);
    EXPECT_EQ(doc["notes"][0], bytesRead);
    EXPECT_EQ(doc["verdict"]["explanation"], bytesRead);
}

}  // namespace
