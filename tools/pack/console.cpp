// What vorlane-pack tells on stderr: progress lines, notes and warnings (none
// with -q, but the warning that nothing checked the package), errors, and a
// step's progress: redrawn in place on a terminal, a plain line at every
// tenth elsewhere (a CI log), and only for a step that has taken a second.
#include <chrono>

#include "tools/pack/pack_tool.h"

namespace {

constexpr int64_t QUIET_START_MS = 1000;  // a step shorter than this shows no progress

bool quiet = false;
bool lineOpen = false;  // a redrawn progress line is on the terminal

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Line(const std::string& text) {
    // A redrawn line is ended first, so no message lands in its middle.
    ToolWriteErr((lineOpen ? "\n" : "") + std::string("vorlane-pack: ") + text + "\n");
    lineOpen = false;
}

}  // namespace

void SetQuiet(bool value) { quiet = value; }

void Say(const std::string& text) {
    if (!quiet) Line(text);
}

void Warn(const std::string& text) {
    if (!quiet) Line("warning: " + text);
}

void WarnLoudly(const std::string& text) { Line("warning: " + text); }

void Complain(const std::string& text) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        Line(text.substr(at, end - at));
        at = end + 1;
    }
}

void ProgressBegin(ProgressLine* line, const char* what, uint64_t total) {
    *line = ProgressLine{};
    line->what = what;
    line->total = total;
    line->startedMs = NowMs();
}

void ProgressAdvance(ProgressLine* line, uint64_t done) {
    if (quiet || line->total == 0 || NowMs() - line->startedMs < QUIET_START_MS) return;
    const int percent = static_cast<int>(done >= line->total ? 100 : done * 100 / line->total);
    if (ToolStderrIsTerminal()) {
        if (percent == line->shownPercent) return;
        ToolWriteErr("\rvorlane-pack: " + std::string(line->what) + " " + std::to_string(percent) + "%");
        lineOpen = true;
        line->open = true;
    } else {
        const int tenth = percent / 10 * 10;
        if (tenth <= line->shownPercent || tenth == 0) return;
        Line(std::string(line->what) + ": " + std::to_string(tenth) + "%");
        line->shownPercent = tenth;
        return;
    }
    line->shownPercent = percent;
}

void ProgressEnd(ProgressLine* line) {
    if (line->shownPercent < 0 || quiet) return;
    if (line->shownPercent < 100) ProgressAdvance(line, line->total);
    if (line->open && lineOpen) {
        ToolWriteErr("\n");
        lineOpen = false;
    }
    line->open = false;
}
