// A small JSON writer: values written in order into one indented document,
// commas and indentation kept by the writer. Strings are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/inspect/findings.h"

struct Json {
    std::string text;
    std::vector<bool> first;  // per open container: nothing written in it yet
    bool afterKey = false;
};

void Open(Json& j, char bracket);   // '{' or '['
void Close(Json& j, char bracket);  // '}' or ']'
void Key(Json& j, const char* key);
void Str(Json& j, const std::string& value);
void Num(Json& j, uint64_t value);
void Int(Json& j, int64_t value);
void Bool(Json& j, bool value);
void Null(Json& j);
void Maybe(Json& j, const MaybeU64& value);  // null when unknown
