// Signing for vorlane-pack: the runtime library before it is packed and, when
// asked, the finished package. Either the packager's own signer through a
// command template (signtool, osslsigncode, jsign, a cloud signing client), or
// the key-file conveniences: a PEM certificate and key, or a PKCS#12 file
// (legacy encryption included), signed with osslsigncode on Linux and with
// signtool on Windows. The key's password comes from VORLANE_SIGN_PASSWORD,
// never from the command line.
#pragma once

#include <string>
#include <vector>

struct SignSettings {
    std::string command;                  // --sign-command TEMPLATE ({in}, {out})
    std::string certificate;              // --sign-runtime CERT KEY
    std::string key;
    std::string pkcs12;                   // --sign-pkcs12 PFX
    std::vector<std::string> timestamps;  // --timestamp URL, in order
    bool signExe = false;                 // --sign-exe: the finished package too
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
// not answer, a signer that wrote nothing.
bool SignFile(const SignSettings& settings, const std::string& in, const std::string& out, const std::string& what,
              std::string* why);
