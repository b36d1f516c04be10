// The option table behind the command line and the config file (options.cpp,
// options_config.cpp): only for the files that read options.
#pragma once

#include <string>
#include <vector>

#include "tools/pack/pack_tool.h"

enum class OptionId {
    Launcher, Payload, Runtime, Output, Setting4, Setting5, Setting6, Publisher, Icon, FileVersion, ProductName,
    CompanyName, FileDescription, Copyright, OriginalFilename, SignCommand, SignExe, SignRuntime, SignPkcs12,
    Timestamp, SignTimeout, Check, NoCheck, TrustRoot, NoPin, Quiet, UncheckedRuntime, Json, Config, Help, Version,
    Count
};

enum class ValueKind {
    Flag,      // no value; true in a config file
    Text,      // one value, taken as it is
    Path,      // one file; relative paths in a config file are taken from its folder
    TwoPaths,  // two files (--sign-runtime CERT KEY); an array of two in a config file
    Seconds,   // one whole number; a number (or its digits as a string) in a config file
};

struct OptionInfo {
    OptionId id;
    const char* name;  // the long option without its dashes, and the config file's key
    char letter;       // the short option, 0 for none
    ValueKind kind;
    bool repeatable;   // each use adds a value; an array in a config file
    bool inConfig;     // may be a config file's key
};

// One option as the command line gave it.
struct GivenOption {
    OptionId id;
    std::vector<std::string> values;
    bool oldSpelling = false;  // --version A.B.C.D for --file-version
};

// The option with this long name; null for none.
const OptionInfo* FindOption(const std::string& name);
// Sets the option's values in options (a repeatable one adds to its list).
void ApplyOption(PackOptions* options, OptionId id, const std::vector<std::string>& values);
// Empties a repeatable option's list.
void ClearList(PackOptions* options, OptionId id);
// The command line into the options it gives, in order; usage failures.
bool ParseCommandLine(const std::vector<std::string>& args, std::vector<GivenOption>* given, Failure* failure);
const char* ShortUsage();
