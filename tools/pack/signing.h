// Signing for vorlane-pack: the runtime library before it is packed and, when
// asked, the finished package. Either the packager's own signer through a
// command template (signtool, osslsigncode, jsign, a cloud signing client), or
// the key-file conveniences: a PEM certificate and key, or a PKCS#12 file
// (legacy encryption included), signed with osslsigncode on Linux and with
// signtool on Windows. The key's password comes from VORLANE_SIGN_PASSWORD,
// never from the command line.
//
// The template is split into arguments here, never by a shell, and {in} and
// {out} are put in after the split, so a path holding spaces, quotes or
// "; rm -rf" stays one argument and runs nothing. When the template names
// {out}, the signer reads {in} (the file as given) and writes {out}. When it
// names only {in}, the signer signs in place: the file is first copied to the
// output path and the signer gets that copy as {in}, so the original is never
// touched. Either way the signer must exit with 0 and leave a file carrying a
// certificate table at the output path.
//
// The conveniences on Linux run osslsigncode (VORLANE_OSSLSIGNCODE, else
// osslsigncode on PATH), which opens legacy PKCS#12 files itself. The password
// never touches the disk: it reaches osslsigncode through a pipe the tool host
// hands it (-readpass /dev/fd/3 on Linux; -readpass - and its standard input
// on Windows, osslsigncode 2.9 or later). A PEM key given without a password
// gets a stand-in one, so an encrypted key fails at once with a message
// instead of a prompt on the terminal. --timestamp gives -ts once per URL (the
// first server that answers stamps); SOURCE_DATE_EPOCH gives -time, so the
// signature, and the package, come out the same on every run.
//
// On Windows, --sign-pkcs12 runs signtool (VORLANE_SIGNTOOL, else signtool.exe
// on PATH) on a copy, one timestamp URL per attempt (signtool takes one).
// signtool reads a PFX password only from its command line (/p): there, other
// processes of the same user can read it while it signs. Keys kept in the
// certificate store or on a token need no password here: use --sign-command
// with signtool's /sha1 or /n, or the vendor's client. signtool has no option
// for the signing time, so SOURCE_DATE_EPOCH does not apply there.
// --sign-runtime CERT KEY on Windows runs osslsigncode.exe when it is on PATH
// (or VORLANE_OSSLSIGNCODE names it) and is refused otherwise.
//
// Every signer run has a time limit (--sign-timeout): a signer still running
// then is ended with every process it started, and signing fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Seconds a signer may run before it is ended: 15 minutes, far more than any
// signing (timestamp servers included) takes, far less than a job's limit.
constexpr uint32_t SIGN_TIMEOUT_DEFAULT = 900;

struct SignSettings {
    std::string command;                  // --sign-command TEMPLATE ({in}, {out})
    std::string certificate;              // --sign-runtime CERT KEY
    std::string key;
    std::string pkcs12;                   // --sign-pkcs12 PFX
    std::vector<std::string> timestamps;  // --timestamp URL, in order
    bool signExe = false;                 // --sign-exe: the finished package too
    uint32_t timeoutSeconds = SIGN_TIMEOUT_DEFAULT;  // --sign-timeout
};

// Whether any signing was asked for.
bool SigningAsked(const SignSettings& settings);
// Refuses contradictory or incomplete settings before any work (a template
// without {in}, two ways to sign at once, --sign-exe or --timestamp with no
// way to sign, a key file that is not there); false with the reason.
bool CheckSignSettings(const SignSettings& settings, std::string* why);
// Signs the file at in into out, a path that does not exist yet (in is never
// changed). what names the file in messages ("the runtime library", "the
// package"). False with a reason a packager can act on: the signer's own
// words, a password that does not open the key, a timestamp server that did
// not answer, a signer that wrote nothing. After a failure out may hold what
// the signer left: keep it in a work folder the caller removes.
bool SignFile(const SignSettings& settings, const std::string& in, const std::string& out, const std::string& what,
              std::string* why);

// ---- the parts that run nothing (the tests check them directly) ------------------

// Splits a template into arguments: spaces, tabs and line breaks separate;
// "..." and '...' group, their content taken as written (backslashes are
// text, so Windows paths need no doubling; a quote of the other kind is
// text); quoted and unquoted parts next to each other make one argument, and
// "" makes an empty one. False for an unclosed quote or no program.
bool SplitSignTemplate(const std::string& text, std::vector<std::string>* words, std::string* why);
// Whether any argument holds the placeholder ("{in}", "{out}").
bool TemplateNames(const std::vector<std::string>& words, const std::string& placeholder);
// The arguments with every {in} and {out} inside them replaced by the paths.
std::vector<std::string> FillSignTemplate(const std::vector<std::string>& words, const std::string& in,
                                          const std::string& out);

// What the key-file conveniences give a signer program.
struct KeySigning {
    std::string program;       // osslsigncode or signtool, as found
    std::string certificate;   // PEM or DER chain, leaf first (osslsigncode -certs)
    std::string key;           // osslsigncode -key
    std::string pkcs12;        // -pkcs12, signtool /f
    std::string passwordSource;  // osslsigncode -readpass: where it reads the pipe ("" for none)
    std::string password;        // through the pipe, or signtool /p, when hasPassword
    bool hasPassword = false;
    std::vector<std::string> timestamps;  // osslsigncode -ts each
    std::string epoch;                    // SOURCE_DATE_EPOCH for -time ("" for none)
};
// osslsigncode sign ... -h sha256 -in in -out out.
std::vector<std::string> OsslsigncodeArguments(const KeySigning& job, const std::string& in, const std::string& out);
// signtool sign /f PFX [/p PASSWORD] /fd sha256 [/tr URL /td sha256] file, signing file in place.
std::vector<std::string> SigntoolArguments(const KeySigning& job, const std::string& timestamp,
                                           const std::string& file);

// Why a key-file signer failed, read from its output.
enum class SignerTrouble { Other, Password, Timestamp };
SignerTrouble SignerTroubleIn(const std::string& output);
// The signer's own words worth showing, on one line: at most count lines,
// those that say error or failed when there are any, else the last ones;
// never OpenSSL's error stack.
std::string SignerWords(const std::string& output, size_t count);

// Whether the first headSize bytes of a PE file of fileSize bytes name a
// certificate table (data directory 4) of at least its 8-byte header that
// lies inside the file. head must hold the headers.
bool HasCertificateTable(const uint8_t* head, size_t headSize, uint64_t fileSize);
