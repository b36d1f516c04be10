// Signing the runtime library and the package (see signing.h).
#include "tools/pack/signing.h"

#include <cstring>

#include "archive/pe_view.h"
#include "tools/host/host.h"
#include "tools/host/text.h"

namespace {

#ifdef _WIN32
constexpr bool ON_WINDOWS = true;
#else
constexpr bool ON_WINDOWS = false;
#endif

// The PE headers are read from the file's first bytes; SizeOfHeaders is
// rarely over one page, and never this.
constexpr size_t HEAD_LIMIT = 64 * 1024;
constexpr size_t COPY_BLOCK = 1 << 20;
constexpr size_t WORDS_SHOWN = 4;
// Given for a PEM key when VORLANE_SIGN_PASSWORD is not set: an unencrypted
// key ignores it, an encrypted one is refused at once instead of a prompt
// appearing on the terminal behind the tool's back.
const char* const NO_PASSWORD = "vorlane: no VORLANE_SIGN_PASSWORD given";

bool Contains(const std::string& lowered, const char* what) { return lowered.find(what) != std::string::npos; }

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) {
        if (!text.empty()) text += separator;
        text += item;
    }
    return text;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool IsRegularFile(const std::string& path) { return ToolExists(path) && !ToolIsFolder(path); }

// A signer program: the environment variable's value when set (a path, or a
// name on PATH), else the name on PATH.
bool FindSigner(const char* variable, const std::string& name, std::string* program, std::string* why) {
    std::string value;
    if (ToolGetEnv(variable, &value) && !value.empty()) {
        if (ToolFindProgram(value, program)) return true;
        *why = std::string(variable) + "=" + value + " is not an executable program";
        return false;
    }
    if (ToolFindProgram(name, program)) return true;
    *why = name + " not found on PATH (set " + variable + ")";
    return false;
}

bool FindOsslsigncode(std::string* program, std::string* why) {
    return FindSigner("VORLANE_OSSLSIGNCODE", "osslsigncode", program, why);
}

bool FindSigntool(std::string* program, std::string* why) {
    if (FindSigner("VORLANE_SIGNTOOL", "signtool", program, why)) return true;
    *why += "; it comes with the Windows SDK, or sign with --sign-command";
    return false;
}

// Where the conveniences run on Windows: --sign-pkcs12 through signtool,
// --sign-runtime through osslsigncode.exe only.
bool FindKeySigner(const SignSettings& settings, std::string* program, bool* signtool, std::string* why) {
    *signtool = ON_WINDOWS && !settings.pkcs12.empty();
    if (*signtool) return FindSigntool(program, why);
    if (FindOsslsigncode(program, why)) return true;
    if (ON_WINDOWS) {
        *why = "--sign-runtime needs osslsigncode.exe, not found on PATH (set VORLANE_OSSLSIGNCODE): or make a "
               "PKCS#12 file of the certificate and key for --sign-pkcs12, or sign with --sign-command";
    }
    return false;
}

// Copies a file to a new path under a temporary name, renamed when whole.
bool CopyFile(const std::string& from, const std::string& to, std::string* why) {
    ToolFile source;
    uint64_t size = 0;
    if (!ToolOpenRead(from, &source, &size, why)) return false;
    ToolOutput copy;
    if (!ToolCreateOutput(to, &copy, why)) return false;
    std::vector<uint8_t> block(COPY_BLOCK);
    for (;;) {
        size_t got = 0;
        if (!ToolRead(&source, block.data(), block.size(), &got, why)) break;
        if (got == 0) return ToolCommitOutput(&copy, why);
        if (!ToolWrite(&copy, block.data(), got, why)) break;
    }
    ToolDiscardOutput(&copy);
    return false;
}

// Whether the file at path carries a certificate table; false when it cannot be read.
bool FileIsSigned(const std::string& path) {
    ToolFile file;
    uint64_t size = 0;
    std::string why;
    if (!IsRegularFile(path) || !ToolOpenRead(path, &file, &size, &why)) return false;
    std::vector<uint8_t> head(HEAD_LIMIT);
    size_t have = 0;
    while (have < head.size()) {
        size_t got = 0;
        if (!ToolRead(&file, head.data() + have, head.size() - have, &got, &why)) return false;
        if (got == 0) break;
        have += got;
    }
    return HasCertificateTable(head.data(), have, size);
}

std::string ProgramName(const std::string& program) { return ToolNameOf(program); }

// The message for a signer that did not end by itself: it could not be
// started, was interrupted, ran past the time limit or asked the terminal.
std::string NotRun(const SignSettings& settings, const std::string& program, int stop, const std::string& output) {
    const std::string name = ProgramName(program);
    if (stop == TOOL_RUN_INTERRUPTED || ToolInterruption() != 0) return "interrupted while " + name + " was signing";
    if (stop == TOOL_RUN_TIMED_OUT) {
        return "the signer " + name + " was still running after " + std::to_string(settings.timeoutSeconds) +
               " seconds (--sign-timeout): it was ended with every process it started";
    }
    if (stop == TOOL_RUN_WANTS_TERMINAL) {
        return "the signer " + name + " stopped to read from the terminal (a password or PIN prompt?): it was "
               "ended; signers run without one, so give the password through VORLANE_SIGN_PASSWORD or the "
               "signer's own option";
    }
    return "the signer " + name + " could not be started: " + output;
}

// Runs a signer within the time limit, with the secret when there is one;
// false as ToolRunProgram is.
bool RunSigner(const SignSettings& settings, const std::vector<std::string>& arguments, const std::string* secret,
               int* status, std::string* output) {
    ToolRunOptions options;
    options.secret = secret;
    options.timeoutSeconds = settings.timeoutSeconds;
    return ToolRunProgram(arguments, status, output, options);
}

std::string KeyFileName(const SignSettings& settings) {
    return settings.pkcs12.empty() ? "signing key " + settings.key : "PKCS#12 file " + settings.pkcs12;
}

std::string PasswordMessage(const SignSettings& settings, bool given) {
    if (!given) {
        return "the " + KeyFileName(settings) + " is protected by a password, or is not one the signer can read: "
               "set VORLANE_SIGN_PASSWORD to its password";
    }
    return "VORLANE_SIGN_PASSWORD does not open the " + KeyFileName(settings) + " (or it is damaged)";
}

std::string TimestampMessage(const std::vector<std::string>& urls) {
    return "no timestamp server gave a timestamp (tried: " + Joined(urls, ", ") +
           "): check the URL and the network, or give another --timestamp";
}

bool SignWithCommand(const SignSettings& settings, const std::string& in, const std::string& out,
                     const std::string& what, std::string* why) {
    std::vector<std::string> words;
    if (!SplitSignTemplate(settings.command, &words, why)) return false;
    // A template without {out} signs in place: the copy, never the original.
    const bool inPlace = !TemplateNames(words, "{out}");
    if (inPlace && !CopyFile(in, out, why)) {
        *why = "could not copy " + what + " for the signer: " + *why;
        return false;
    }
    const std::vector<std::string> arguments = FillSignTemplate(words, inPlace ? out : in, out);
    std::string output;
    int status = 0;
    const bool ran = RunSigner(settings, arguments, nullptr, &status, &output);
    const std::string name = ProgramName(arguments[0]);
    if (!ran) {
        *why = NotRun(settings, arguments[0], status, output);
        return false;
    }
    if (status != 0) {
        const std::string said = SignerWords(output, WORDS_SHOWN);
        *why = "the signer " + name + " failed with exit status " + std::to_string(status) + " on " + what +
               (said.empty() ? ", saying nothing" : ": " + said);
        return false;
    }
    if (!IsRegularFile(out)) {
        *why = "the signer " + name + " wrote no signature: it exited with 0 but wrote no " + out +
               " ({out} in the template)";
        return false;
    }
    if (!FileIsSigned(out)) {
        *why = "the signer " + name + " wrote no signature: it exited with 0 but " + out +
               " carries no certificate table" + (inPlace ? " (with no {out}, it must sign {in} in place)" : "");
        return false;
    }
    return true;
}

// The failure of a key-file signer run, in the packager's terms.
std::string KeySignerFailure(const SignSettings& settings, const std::string& program, const std::string& output,
                             bool passwordGiven, const std::string& what) {
    switch (SignerTroubleIn(output)) {
    case SignerTrouble::Password:
        return PasswordMessage(settings, passwordGiven);
    case SignerTrouble::Timestamp:
        if (!settings.timestamps.empty()) return TimestampMessage(settings.timestamps);
        break;
    case SignerTrouble::Other:
        break;
    }
    const std::string words = SignerWords(output, WORDS_SHOWN);
    return ProgramName(program) + " could not sign " + what + ": " + (words.empty() ? "no reason given" : words);
}

bool SignWithOsslsigncode(const SignSettings& settings, const std::string& program, const std::string& in,
                          const std::string& out, const std::string& what, std::string* why) {
    KeySigning job;
    job.program = program;
    job.certificate = settings.certificate;
    job.key = settings.key;
    job.pkcs12 = settings.pkcs12;
    job.timestamps = settings.timestamps;
    if (ToolGetEnv("SOURCE_DATE_EPOCH", &job.epoch) && !job.epoch.empty() && !AllDigits(job.epoch)) {
        *why = "SOURCE_DATE_EPOCH must be a number of seconds, not " + job.epoch;
        return false;
    }
    // The password goes through a pipe, never a file: see signing.h.
    job.hasPassword = ToolGetEnv("VORLANE_SIGN_PASSWORD", &job.password) && !job.password.empty();
    const bool given = job.hasPassword;
    if (given || settings.pkcs12.empty()) {
        if (!given) job.password = NO_PASSWORD;
        job.passwordSource = ToolSecretName();
    }
    std::string output;
    int status = 0;
    if (!RunSigner(settings, OsslsigncodeArguments(job, in, out), job.passwordSource.empty() ? nullptr : &job.password,
                   &status, &output)) {
        *why = NotRun(settings, program, status, output);
        return false;
    }
    if (status != 0) {
        *why = KeySignerFailure(settings, program, output, given, what);
        return false;
    }
    if (!FileIsSigned(out)) {
        *why = ProgramName(program) + " wrote no signature into " + what + " (" + out + ")";
        return false;
    }
    return true;
}

bool SignWithSigntool(const SignSettings& settings, const std::string& program, const std::string& in,
                      const std::string& out, const std::string& what, std::string* why) {
    KeySigning job;
    job.program = program;
    job.pkcs12 = settings.pkcs12;
    job.hasPassword = ToolGetEnv("VORLANE_SIGN_PASSWORD", &job.password) && !job.password.empty();
    // signtool takes one timestamp server: each is tried on a fresh copy.
    std::vector<std::string> urls = settings.timestamps;
    if (urls.empty()) urls.push_back("");
    for (const std::string& url : urls) {
        if (!CopyFile(in, out, why)) {
            *why = "could not copy " + what + " for signtool: " + *why;
            return false;
        }
        std::string output;
        int status = 0;
        if (!RunSigner(settings, SigntoolArguments(job, url, out), nullptr, &status, &output)) {
            *why = NotRun(settings, program, status, output);
            return false;
        }
        if (status == 0) {
            if (FileIsSigned(out)) return true;
            *why = ProgramName(program) + " wrote no signature into " + what + " (" + out + ")";
            return false;
        }
        if (url.empty() || SignerTroubleIn(output) != SignerTrouble::Timestamp) {
            *why = KeySignerFailure(settings, program, output, job.hasPassword, what);
            return false;
        }
    }
    *why = TimestampMessage(settings.timestamps);
    return false;
}

}  // namespace

bool SigningAsked(const SignSettings& settings) {
    return !settings.command.empty() || !settings.certificate.empty() || !settings.key.empty() ||
           !settings.pkcs12.empty();
}

bool CheckSignSettings(const SignSettings& settings, std::string* why) {
    const bool command = !settings.command.empty();
    const bool pem = !settings.certificate.empty() || !settings.key.empty();
    const bool pkcs12 = !settings.pkcs12.empty();
    const int ways = static_cast<int>(command) + static_cast<int>(pem) + static_cast<int>(pkcs12);
    if (ways > 1) {
        *why = "choose one way to sign: --sign-command, --sign-runtime or --sign-pkcs12";
        return false;
    }
    if (ways == 0) {
        if (settings.signExe) {
            *why = "--sign-exe needs a way to sign: --sign-command, --sign-runtime or --sign-pkcs12";
            return false;
        }
        if (!settings.timestamps.empty()) {
            *why = "--timestamp needs --sign-runtime or --sign-pkcs12";
            return false;
        }
        return true;
    }
    for (const std::string& url : settings.timestamps) {
        if (url.empty()) {
            *why = "--timestamp needs a URL";
            return false;
        }
    }
    std::string program;
    if (command) {
        if (!settings.timestamps.empty()) {
            *why = "--timestamp goes with --sign-runtime or --sign-pkcs12: with --sign-command, put your signer's "
                   "own timestamp option in the template";
            return false;
        }
        std::vector<std::string> words;
        if (!SplitSignTemplate(settings.command, &words, why)) return false;
        if (!TemplateNames(words, "{in}")) {
            *why = "--sign-command names no {in}: give the signer the file to sign as {in} (and, if it writes "
                   "a new file, {out}), for example: osslsigncode sign -pkcs12 key.pfx -in {in} -out {out}";
            return false;
        }
        if (TemplateNames({words[0]}, "{in}") || TemplateNames({words[0]}, "{out}")) {
            *why = "--sign-command must start with the signer program, not {in} or {out}";
            return false;
        }
        if (!ToolFindProgram(words[0], &program)) {
            *why = "the signer " + words[0] + " named by --sign-command is not found" +
                   (ToolNameOf(words[0]) == words[0] ? " on PATH" : "");
            return false;
        }
        return true;
    }
    if (pem && (settings.certificate.empty() || settings.key.empty())) {
        *why = "--sign-runtime needs a certificate and a key";
        return false;
    }
    const struct {
        const std::string& path;
        const char* what;
    } files[] = {{settings.certificate, "signing certificate"},
                 {settings.key, "signing key"},
                 {settings.pkcs12, "signing PKCS#12 file"}};
    for (const auto& file : files) {
        if (!file.path.empty() && !IsRegularFile(file.path)) {
            *why = std::string(file.what) + " not found: " + file.path;
            return false;
        }
    }
    bool signtool = false;
    return FindKeySigner(settings, &program, &signtool, why);
}

bool SignFile(const SignSettings& settings, const std::string& in, const std::string& out, const std::string& what,
              std::string* why) {
    if (!CheckSignSettings(settings, why)) return false;
    if (!SigningAsked(settings)) {
        *why = "no way to sign was given";
        return false;
    }
    if (!settings.command.empty()) return SignWithCommand(settings, in, out, what, why);
    std::string program;
    bool signtool = false;
    if (!FindKeySigner(settings, &program, &signtool, why)) return false;
    if (signtool) return SignWithSigntool(settings, program, in, out, what, why);
    return SignWithOsslsigncode(settings, program, in, out, what, why);
}

// ---- the parts that run nothing ------------------------------------------------------

bool SplitSignTemplate(const std::string& text, std::vector<std::string>* words, std::string* why) {
    words->clear();
    std::string word;
    bool inWord = false;  // a quoted "" makes a word even when empty
    char quote = 0;
    for (char c : text) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word += c;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != 0) {
        *why = std::string("--sign-command has an unclosed ") + (quote == '"' ? "double" : "single") + " quote";
        return false;
    }
    if (inWord) words->push_back(word);
    if (words->empty() || (*words)[0].empty()) {
        *why = "--sign-command names no signer program";
        return false;
    }
    return true;
}

bool TemplateNames(const std::vector<std::string>& words, const std::string& placeholder) {
    for (const std::string& word : words) {
        if (word.find(placeholder) != std::string::npos) return true;
    }
    return false;
}

std::vector<std::string> FillSignTemplate(const std::vector<std::string>& words, const std::string& in,
                                          const std::string& out) {
    std::vector<std::string> filled;
    for (const std::string& word : words) {
        std::string result;
        // Scanned once, left to right: a path that itself holds "{out}" is never replaced again.
        for (size_t i = 0; i < word.size();) {
            if (word.compare(i, 4, "{in}") == 0) {
                result += in;
                i += 4;
            } else if (word.compare(i, 5, "{out}") == 0) {
                result += out;
                i += 5;
            } else {
                result += word[i++];
            }
        }
        filled.push_back(result);
    }
    return filled;
}

std::vector<std::string> OsslsigncodeArguments(const KeySigning& job, const std::string& in, const std::string& out) {
    std::vector<std::string> arguments = {job.program, "sign"};
    if (!job.pkcs12.empty()) {
        arguments.insert(arguments.end(), {"-pkcs12", job.pkcs12});
    } else {
        arguments.insert(arguments.end(), {"-certs", job.certificate, "-key", job.key});
    }
    if (!job.passwordSource.empty()) arguments.insert(arguments.end(), {"-readpass", job.passwordSource});
    for (const std::string& url : job.timestamps) arguments.insert(arguments.end(), {"-ts", url});
    // The signing time is the one time a package records.
    if (!job.epoch.empty()) arguments.insert(arguments.end(), {"-time", job.epoch});
    arguments.insert(arguments.end(), {"-h", "sha256", "-in", in, "-out", out});
    return arguments;
}

std::vector<std::string> SigntoolArguments(const KeySigning& job, const std::string& timestamp,
                                           const std::string& file) {
    std::vector<std::string> arguments = {job.program, "sign", "/f", job.pkcs12};
    if (job.hasPassword) arguments.insert(arguments.end(), {"/p", job.password});
    arguments.insert(arguments.end(), {"/fd", "sha256"});
    if (!timestamp.empty()) arguments.insert(arguments.end(), {"/tr", timestamp, "/td", "sha256"});
    arguments.push_back(file);
    return arguments;
}

SignerTrouble SignerTroubleIn(const std::string& output) {
    const std::string text = LowerAscii(output);
    // osslsigncode over OpenSSL ("(Wrong password?)", "mac verify failure",
    // "bad decrypt"), signtool ("The specified PFX password is not correct").
    if (Contains(text, "wrong password") || Contains(text, "mac verify failure") || Contains(text, "bad decrypt") ||
        Contains(text, "password is not correct")) {
        return SignerTrouble::Password;
    }
    if (Contains(text, "timestamping failed") || Contains(text, "http failure") ||
        Contains(text, "timestamp server")) {
        return SignerTrouble::Timestamp;
    }
    return SignerTrouble::Other;
}

std::string SignerWords(const std::string& output, size_t count) {
    std::vector<std::string> lines;
    std::vector<std::string> failures;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        const size_t last = line.find_last_not_of(" \t\r");
        line = line.substr(first, last - first + 1);
        // OpenSSL's error stack ("40E0...:error:11800071:PKCS12 routines:...")
        // repeats in its own codes what the signer has just said.
        if (line.find(":error:") != std::string::npos) continue;
        const std::string lowered = LowerAscii(line);
        if (Contains(lowered, "error") || Contains(lowered, "failed") || Contains(lowered, "failure")) {
            failures.push_back(line);
        }
        lines.push_back(line);
    }
    std::vector<std::string>& shown = failures.empty() ? lines : failures;
    if (shown.size() > count) shown.erase(shown.begin(), shown.end() - static_cast<std::ptrdiff_t>(count));
    return Joined(shown, "; ");
}

bool HasCertificateTable(const uint8_t* head, size_t headSize, uint64_t fileSize) {
    const MemoryFile file{head, headSize};
    const PeReader reader = MemoryReader(&file);
    PeView view;
    uint32_t offset = 0;
    uint32_t size = 0;
    if (ReadPeView(reader, &view) != PeRead::Ok) return false;
    if (ReadPeDirectory(reader, view, DIRECTORY_CERTIFICATES, &offset, &size) != PeRead::Ok) return false;
    // A table smaller than its own 8-byte entry header holds no signature.
    return offset != 0 && size >= 8 && uint64_t{offset} + size <= fileSize;
}
