// --json: what was written, as one JSON document on stdout for a CI step.
// Keys keep their meaning; formatVersion changes only when one changes or goes.
#include <nlohmann/json.hpp>

#include "tools/inspect/inspect.h"
#include "tools/pack/pack_tool.h"

std::string SummaryJson(const PackSummary& summary) {
    nlohmann::ordered_json j;
    j["formatVersion"] = 1;
    j["output"] = summary.output;
    j["size"] = summary.size;
    j["sha256"] = HexOf(summary.sha256, sizeof summary.sha256);
    j["payloadOffset"] = summary.payloadOffset;
    j["payloadSize"] = summary.payloadSize;
    j["pin"] = summary.pin.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(summary.pin);
    j["publisher"] = summary.hasPublisher ? nlohmann::ordered_json(Utf8Of(summary.publisher))
                                          : nlohmann::ordered_json(nullptr);
    j["checked"] = summary.checked;
    j["signed"] = summary.signedPackage;
    // A path need not be UTF-8 on Linux: such bytes become U+FFFD instead of an exception.
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
