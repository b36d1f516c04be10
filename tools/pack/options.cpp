// vorlane-pack's options: one table for the command line and the config
// file (whose keys are the long names), the usage text, and the command line.
#include "tools/pack/options.h"

#include <cstring>

namespace {

const OptionInfo OPTIONS[] = {
    {OptionId::Launcher, "launcher", 0, ValueKind::Path, false, true},
    {OptionId::Payload, "payload", 0, ValueKind::Path, false, true},
    {OptionId::Runtime, "runtime", 0, ValueKind::Path, false, true},
    {OptionId::Output, "output", 'o', ValueKind::Path, false, true},
    {OptionId::Setting4, "setting4", 0, ValueKind::Text, false, true},
    {OptionId::Setting5, "setting5", 0, ValueKind::Text, false, true},
    {OptionId::Setting6, "setting6", 0, ValueKind::Text, false, true},
    {OptionId::Publisher, "publisher", 0, ValueKind::Text, false, true},
    {OptionId::Icon, "icon", 0, ValueKind::Path, false, true},
    {OptionId::FileVersion, "file-version", 0, ValueKind::Text, false, true},
    {OptionId::ProductName, "product-name", 0, ValueKind::Text, false, true},
    {OptionId::CompanyName, "company-name", 0, ValueKind::Text, false, true},
    {OptionId::FileDescription, "file-description", 0, ValueKind::Text, false, true},
    {OptionId::Copyright, "copyright", 0, ValueKind::Text, false, true},
    {OptionId::OriginalFilename, "original-filename", 0, ValueKind::Text, false, true},
    {OptionId::SignCommand, "sign-command", 0, ValueKind::Text, false, true},
    {OptionId::SignExe, "sign-exe", 0, ValueKind::Flag, false, true},
    {OptionId::SignRuntime, "sign-runtime", 0, ValueKind::TwoPaths, false, true},
    {OptionId::SignPkcs12, "sign-pkcs12", 0, ValueKind::Path, false, true},
    {OptionId::Timestamp, "timestamp", 0, ValueKind::Text, true, true},
    {OptionId::SignTimeout, "sign-timeout", 0, ValueKind::Seconds, false, true},
    {OptionId::Check, "check", 0, ValueKind::Flag, false, true},
    {OptionId::NoCheck, "no-check", 0, ValueKind::Flag, false, true},
    {OptionId::TrustRoot, "trust-root", 0, ValueKind::Path, true, true},
    {OptionId::NoPin, "no-pin", 0, ValueKind::Flag, false, true},
    {OptionId::Quiet, "quiet", 'q', ValueKind::Flag, false, true},
    {OptionId::UncheckedRuntime, "unchecked-runtime", 0, ValueKind::Flag, false, true},
    {OptionId::Json, "json", 0, ValueKind::Flag, false, true},
    {OptionId::Config, "config", 0, ValueKind::Path, false, false},
    {OptionId::Help, "help", 'h', ValueKind::Flag, false, false},
    {OptionId::Version, "version", 0, ValueKind::Flag, false, false},
};

const char USAGE[] =
    "usage: vorlane-pack --payload FILE --runtime DLL -o OUT.exe [options]\n"
    "       vorlane-pack --config app.json [options]\n"
    "\n"
    "Packs the prebuilt launcher, a payload and the runtime library into one\n"
    "executable, then checks it with the launcher's own code: a package the\n"
    "launcher would refuse is never written.\n"
    "\n"
    "Inputs and output:\n"
    "  --payload FILE           the application payload, stored as vorlane.bin\n"
    "  --runtime DLL            the runtime library (64-bit DLL exporting VorlaneInit)\n"
    "  -o, --output OUT.exe     the package to write (never one of the inputs)\n"
    "  --launcher EXE           the prebuilt launcher (default: VorlaneLauncher.exe\n"
    "                           next to vorlane-pack, or the checkout's build/win64)\n"
    "  --config FILE            options from a JSON object whose keys are the long\n"
    "                           options' names (\"payload\", \"no-check\": true,\n"
    "                           \"timestamp\": [...]); its relative paths are taken\n"
    "                           from its folder; the command line overrides it\n"
    "Written into the launcher's resources (not given: the launcher's value):\n"
    "  --setting4 TEXT, --setting5 TEXT   strings 4 and 5, the runtime's 3rd and 4th\n"
    "                           arguments (empty: left out)\n"
    "  --setting6 TEXT          string 6: exactly Y removes what a first run installed\n"
    "  --publisher NAME         string 7, the signer the runtime must carry (default:\n"
    "                           the runtime library's signer)\n"
    "  --icon FILE              an .ico (at most 256 images), or a .png (at most 4096\n"
    "                           px on its longer side) made into 16 to 256 px icons\n"
    "  --file-version A.B.C.D   file and product version (fewer parts: padded with 0)\n"
    "  --product-name TEXT, --company-name TEXT, --file-description TEXT,\n"
    "  --copyright TEXT, --original-filename TEXT   the version block's strings;\n"
    "                           not given: ProductName and FileDescription the\n"
    "                           output's name without .exe, OriginalFilename its\n"
    "                           file name, CompanyName the publisher\n"
    "  (string 8, the pin of the signed runtime library, is always written)\n"
    "Signing (key passwords from VORLANE_SIGN_PASSWORD, never the command line):\n"
    "  --sign-command TEMPLATE  sign the runtime library with your own signer; {in}\n"
    "                           and {out} stand for the file and the signed copy\n"
    "  --sign-runtime CERT KEY  sign it with a PEM certificate (chain) and key\n"
    "  --sign-pkcs12 PFX        sign it with a PKCS#12 file\n"
    "  --timestamp URL          timestamp server (repeatable: tried in order)\n"
    "  --sign-exe               sign the finished package too, the same way\n"
    "  --sign-timeout SECONDS   end a signer still running after this long, with\n"
    "                           every process it started, and fail (default 900)\n"
    "  The password reaches osslsigncode through a pipe, never a file (signtool\n"
    "  takes it only on its command line). A pack killed outright leaves no\n"
    "  partial package on Linux (on Windows none while it is written); each pack\n"
    "  first removes what killed ones left (.NAME.vorlane-PID-*.tmp beside the\n"
    "  output, vorlane-PID-* in the temporary folder) once process PID is gone.\n"
    "The check (on by default):\n"
    "  --trust-root CERT        also verify the runtime's chain against this root\n"
    "                           (PEM; repeatable)\n"
    "  --no-check               write the package without the check (warns, even\n"
    "                           with -q)\n"
    "  --check                  accepted: the check runs anyway\n"
    "  --no-pin                 write no pin: any build signed by the publisher runs\n"
    "  --unchecked-runtime      test packages only: the runtime's bytes as given, no\n"
    "                           check (unless --check), the launcher's publisher kept\n"
    "Output:\n"
    "  --json                   a JSON summary on stdout: output, size, sha256,\n"
    "                           payloadOffset, payloadSize, pin, publisher, checked\n"
    "  -q, --quiet              no progress, notes or warnings (but --no-check's)\n"
    "  -h, --help               this text\n"
    "  --version                the tool's version (--version A.B.C.D is the old\n"
    "                           spelling of --file-version)\n"
    "\n"
    "Exit status:\n"
    "  0        the package was written\n"
    "  1        could not pack: an input, reading or writing, signing, disk space\n"
    "  2        usage: an unknown option or key, a missing or malformed value\n"
    "  3        the check found the launcher would refuse the package; nothing written\n"
    "  128+N    interrupted by signal N (Ctrl-C 130, SIGTERM 143, SIGHUP 129);\n"
    "           nothing written\n";

const char SHORT_USAGE[] = "usage: vorlane-pack --payload FILE --runtime DLL -o OUT.exe [options] (--help: all)";

bool UsageFailure(Failure* failure, const std::string& why) {
    return Fail(failure, PACK_EXIT_USAGE, why + "\n" + SHORT_USAGE);
}

// "1", "1.2", ... : what follows --version when it means the version block.
bool LooksLikeVersion(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    for (const char c : text) {
        if ((c < '0' || c > '9') && c != '.') return false;
    }
    return true;
}

const char* MetavarOf(ValueKind kind) {
    switch (kind) {
        case ValueKind::Path: return "a file";
        case ValueKind::TwoPaths: return "two files";
        case ValueKind::Text: return "a value";
        case ValueKind::Seconds: return "a number of seconds";
        case ValueKind::Flag: break;
    }
    return "nothing";
}

// Takes an option's values off the command line at *i (past the option).
bool TakeValues(const std::vector<std::string>& args, size_t* i, const OptionInfo& info, const std::string& spelled,
                const std::string* inlineValue, GivenOption* given, Failure* failure) {
    const size_t wanted = info.kind == ValueKind::TwoPaths ? 2 : info.kind == ValueKind::Flag ? 0 : 1;
    if (inlineValue != nullptr) {
        if (wanted != 1) return UsageFailure(failure, spelled + " takes " + MetavarOf(info.kind) + ", not \"=\"");
        given->values.push_back(*inlineValue);
        return true;
    }
    for (size_t n = 0; n < wanted; ++n) {
        if (*i + 1 >= args.size()) return UsageFailure(failure, spelled + " needs " + MetavarOf(info.kind));
        given->values.push_back(args[++*i]);
    }
    return true;
}

}  // namespace

bool Fail(Failure* failure, int status, const std::string& message) {
    failure->status = status;
    failure->message = message;
    return false;
}

bool Interrupted(Failure* failure) {
    const int signal = ToolInterruption();
    if (signal == 0) return false;
    failure->status = PACK_EXIT_SIGNAL_BASE + signal;
    failure->message = "interrupted (signal " + std::to_string(signal) + "): nothing was written";
    return true;
}

std::string UsageText() { return USAGE; }

const OptionInfo* FindOption(const std::string& name) {
    for (const OptionInfo& info : OPTIONS) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

void ApplyOption(PackOptions* options, OptionId id, const std::vector<std::string>& values) {
    const std::string first = values.empty() ? std::string() : values[0];
    auto text = [&](GivenText* target) {
        target->given = true;
        target->text = first;
    };
    switch (id) {
        case OptionId::Launcher: options->launcher = first; break;
        case OptionId::Payload: options->payload = first; break;
        case OptionId::Runtime: options->runtime = first; break;
        case OptionId::Output: options->output = first; break;
        case OptionId::Setting4: text(&options->setting4); break;
        case OptionId::Setting5: text(&options->setting5); break;
        case OptionId::Setting6: text(&options->setting6); break;
        case OptionId::Publisher: text(&options->publisher); break;
        case OptionId::Icon: options->icon = first; break;
        case OptionId::FileVersion: text(&options->fileVersion); break;
        case OptionId::ProductName: text(&options->productName); break;
        case OptionId::CompanyName: text(&options->companyName); break;
        case OptionId::FileDescription: text(&options->fileDescription); break;
        case OptionId::Copyright: text(&options->copyright); break;
        case OptionId::OriginalFilename: text(&options->originalFilename); break;
        case OptionId::SignCommand: options->sign.command = first; break;
        case OptionId::SignExe: options->sign.signExe = true; break;
        case OptionId::SignRuntime:
            options->sign.certificate = first;
            options->sign.key = values.size() > 1 ? values[1] : std::string();
            break;
        case OptionId::SignPkcs12: options->sign.pkcs12 = first; break;
        case OptionId::Timestamp:
            options->sign.timestamps.insert(options->sign.timestamps.end(), values.begin(), values.end());
            break;
        case OptionId::SignTimeout: text(&options->signTimeout); break;
        case OptionId::Check: options->check = true; break;
        case OptionId::NoCheck: options->noCheck = true; break;
        case OptionId::TrustRoot:
            options->trustRoots.insert(options->trustRoots.end(), values.begin(), values.end());
            break;
        case OptionId::NoPin: options->noPin = true; break;
        case OptionId::Quiet: options->quiet = true; break;
        case OptionId::UncheckedRuntime: options->uncheckedRuntime = true; break;
        case OptionId::Json: options->json = true; break;
        case OptionId::Config: options->config = first; break;
        case OptionId::Help: options->help = true; break;
        case OptionId::Version: options->showVersion = true; break;
        case OptionId::Count: break;
    }
}

void ClearList(PackOptions* options, OptionId id) {
    if (id == OptionId::Timestamp) options->sign.timestamps.clear();
    if (id == OptionId::TrustRoot) options->trustRoots.clear();
}

bool ParseCommandLine(const std::vector<std::string>& args, std::vector<GivenOption>* given, Failure* failure) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const OptionInfo* info = nullptr;
        std::string spelled = arg;
        std::string inlineValue;
        bool hasInline = false;
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            const size_t equals = arg.find('=');
            std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            if (equals != std::string::npos) {
                hasInline = true;
                inlineValue = arg.substr(equals + 1);
                spelled = "--" + name;
            }
            info = FindOption(name);
        } else if (arg.size() == 2 && arg[0] == '-') {
            for (const OptionInfo& candidate : OPTIONS) {
                if (candidate.letter != 0 && candidate.letter == arg[1]) info = &candidate;
            }
        }
        if (info == nullptr) {
            if (arg.size() > 1 && arg[0] == '-') return UsageFailure(failure, "unknown option " + spelled);
            return UsageFailure(failure, "unexpected argument \"" + arg + "\" (every input is named by an option)");
        }
        GivenOption option{info->id, {}};
        if (info->id == OptionId::Version && (hasInline || (i + 1 < args.size() && LooksLikeVersion(args[i + 1])))) {
            // The version block's old spelling: kept working, with the new one named.
            option.id = OptionId::FileVersion;
            option.values.push_back(hasInline ? inlineValue : args[++i]);
            given->push_back(option);
            given->back().oldSpelling = true;
            continue;
        }
        if (!TakeValues(args, &i, *info, spelled, hasInline ? &inlineValue : nullptr, &option, failure)) return false;
        given->push_back(option);
    }
    return true;
}

bool ReadOptions(const std::vector<std::string>& args, PackOptions* options, Failure* failure) {
    std::vector<GivenOption> given;
    if (!ParseCommandLine(args, &given, failure)) return false;
    for (const GivenOption& option : given) {
        if (option.id == OptionId::Help) {
            options->help = true;
            return true;
        }
        if (option.id == OptionId::Version) {
            options->showVersion = true;
            return true;
        }
        if (option.id == OptionId::Config) options->config = option.values[0];
    }
    if (!options->config.empty() && !LoadConfig(options->config, options, failure)) return false;
    // The command line over the config: a repeatable option given here replaces the file's list.
    bool cleared[static_cast<int>(OptionId::Count)] = {};
    for (const GivenOption& option : given) {
        const int index = static_cast<int>(option.id);
        if (!cleared[index]) {
            ClearList(options, option.id);
            cleared[index] = true;
        }
        ApplyOption(options, option.id, option.values);
        if (option.oldSpelling) {
            options->warnings.push_back("--version " + option.values[0] + " is the old spelling of --file-version " +
                                        option.values[0] + "; use --file-version");
        }
    }
    return true;
}

const char* ShortUsage() { return SHORT_USAGE; }
