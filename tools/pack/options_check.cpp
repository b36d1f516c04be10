// The options judged together, before any file is touched: what is required,
// texts the launcher can hold, a version block it can write, one way to sign.
#include "tools/resources/resources.h"
#include "tools/pack/options.h"

namespace {

bool Usage(Failure* failure, const std::string& why) {
    return Fail(failure, PACK_EXIT_USAGE, why + "\n" + ShortUsage());
}

struct NamedText {
    const char* option;
    const GivenText* value;
    bool launcherReads;  // read into the launcher's 256-character buffers
};

bool CheckText(const NamedText& named, Failure* failure) {
    if (!named.value->given) return true;
    std::u16string wide;
    if (!Utf16FromUtf8(named.value->text, &wide)) {
        return Usage(failure, std::string(named.option) + " is not UTF-8 text");
    }
    if (wide.find(u'\0') != std::u16string::npos) {
        return Usage(failure, std::string(named.option) + " holds a NUL character");
    }
    if (named.launcherReads && wide.size() > STRING_CAPACITY) {
        return Usage(failure, std::string(named.option) + " is " + std::to_string(wide.size()) +
                                  " characters long: the launcher reads at most " + std::to_string(STRING_CAPACITY) +
                                  " (it would cut the rest)");
    }
    return true;
}

// A signer's time limit: at least a second, at most a year.
constexpr uint32_t SECONDS_LIMIT = 366u * 24 * 3600;

bool ParseSeconds(const std::string& text, uint32_t* seconds) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > SECONDS_LIMIT) return false;
    *seconds = value;
    return true;
}

}  // namespace

bool CheckRuns(const PackOptions& options) {
    if (options.noCheck) return false;
    return !options.uncheckedRuntime || options.check;
}

bool CheckOptions(PackOptions* options, Failure* failure) {
    if (options->payload.empty()) return Usage(failure, "no payload given (--payload FILE)");
    if (options->runtime.empty()) return Usage(failure, "no runtime library given (--runtime DLL)");
    if (options->output.empty()) return Usage(failure, "no output given (-o OUT.exe)");
    const NamedText texts[] = {
        {"--setting4", &options->setting4, true},
        {"--setting5", &options->setting5, true},
        {"--setting6", &options->setting6, true},
        {"--publisher", &options->publisher, true},
        {"--product-name", &options->productName, false},
        {"--company-name", &options->companyName, false},
        {"--file-description", &options->fileDescription, false},
        {"--copyright", &options->copyright, false},
        {"--original-filename", &options->originalFilename, false},
    };
    for (const NamedText& named : texts) {
        if (!CheckText(named, failure)) return false;
    }
    if (options->publisher.given && options->publisher.text.empty()) {
        return Usage(failure, "--publisher is empty: the launcher would refuse every runtime library");
    }
    if (options->fileVersion.given && !ParseVersion(options->fileVersion.text, options->version)) {
        return Usage(failure, "--file-version " + options->fileVersion.text +
                                  ": must be one to four numbers A.B.C.D, each 0 to 65535 (a Windows version holds "
                                  "16 bits per part)");
    }
    if (options->signTimeout.given && !ParseSeconds(options->signTimeout.text, &options->sign.timeoutSeconds)) {
        return Usage(failure, "--sign-timeout " + options->signTimeout.text +
                                  ": must be a whole number of seconds, from 1 to " + std::to_string(SECONDS_LIMIT));
    }
    const SignSettings& sign = options->sign;
    const int ways = (sign.command.empty() ? 0 : 1) + (sign.certificate.empty() ? 0 : 1) +
                     (sign.pkcs12.empty() ? 0 : 1);
    if (ways > 1) {
        return Usage(failure, "--sign-command, --sign-runtime and --sign-pkcs12 are three ways to sign: give one");
    }
    if (options->check && options->noCheck) return Usage(failure, "--check and --no-check contradict each other");
    if (!options->trustRoots.empty() && !CheckRuns(*options)) {
        return Usage(failure, "--trust-root is for the check, which --no-check or --unchecked-runtime turn off");
    }
    std::string why;
    if (!CheckSignSettings(sign, &why)) return Fail(failure, PACK_EXIT_FAILED, why);
    return true;
}
