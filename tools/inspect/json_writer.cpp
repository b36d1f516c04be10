// The JSON writer of the report: containers, keys and values, with
// separators and indentation in one place.
#include "tools/inspect/json_writer.h"

#include <cstdio>

#include "tools/inspect/inspect.h"

namespace {

void Indent(Json& j) {
    j.text += '\n';
    j.text.append(j.first.size() * 2, ' ');
}

void Item(Json& j) {
    if (j.afterKey) {
        j.afterKey = false;
        return;
    }
    if (j.first.empty()) return;
    if (!j.first.back()) j.text += ',';
    j.first.back() = false;
    Indent(j);
}

void Quoted(std::string& out, const std::string& utf8) {
    out += '"';
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace

void Open(Json& j, char bracket) {
    Item(j);
    j.text += bracket;
    j.first.push_back(true);
}

void Close(Json& j, char bracket) {
    const bool empty = j.first.back();
    j.first.pop_back();
    if (!empty) Indent(j);
    j.text += bracket;
}

void Key(Json& j, const char* key) {
    Item(j);
    Quoted(j.text, key);
    j.text += ": ";
    j.afterKey = true;
}

void Str(Json& j, const std::string& value) {
    Item(j);
    Quoted(j.text, value);
}
void Num(Json& j, uint64_t value) {
    Item(j);
    j.text += Dec(value);
}
void Int(Json& j, int64_t value) {
    Item(j);
    j.text += std::to_string(value);
}
void Bool(Json& j, bool value) {
    Item(j);
    j.text += value ? "true" : "false";
}
void Null(Json& j) {
    Item(j);
    j.text += "null";
}
void Maybe(Json& j, const MaybeU64& value) {
    if (value.known) {
        Num(j, value.value);
    } else {
        Null(j);
    }
}
