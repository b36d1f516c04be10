// The launcher's resources for one application: the settings, the publisher,
// the pin, the icon and the version block the options ask for, written into a
// copy of its image by the resource writer. Strings that already say what is
// asked are left alone, so a launcher is rewritten only when something changes.
#include "archive/host_image.h"
#include "tools/inspect/inspect.h"
#include "tools/pack/pack_tool.h"
#include "tools/resources/resources.h"

namespace {

std::u16string Wide(const std::string& text) {
    std::u16string wide;
    Utf16FromUtf8(text, &wide);  // CheckOptions let only UTF-8 through
    return wide;
}

// Adds a string change unless the launcher holds that text already (an empty
// text: the string left out, unless it is out already).
void Change(const LauncherFacts& facts, StringId id, const std::u16string& text, ResourceJob* job) {
    const MaybeText& now = StringOf(facts, id);
    const bool already = text.empty() ? !facts.read || !now.present : facts.read && now.present && now.text == text;
    if (already) return;
    job->strings.push_back(StringChange{id, text});
}

// A version block string: the option's text when given, else the default
// (nothing when there is none).
void AddVersionString(const char16_t* key, const GivenText& value, const std::u16string& fallback,
                      ResourceJob* job) {
    if (value.given) {
        job->versionStrings.push_back(VersionString{key, Wide(value.text)});
    } else if (!fallback.empty()) {
        job->versionStrings.push_back(VersionString{key, fallback});
    }
}

// Without the version options, the strings Explorer shows name the packager's
// product rather than the launcher's build: CompanyName the publisher,
// ProductName and FileDescription the output's name without ".exe",
// OriginalFilename the output's file name. A launcher without a version block
// gets none.
void AddVersionStrings(const PackOptions& options, const LauncherFacts& facts, const RuntimeInfo& runtime,
                       ResourceJob* job) {
    std::u16string publisher;
    std::u16string file;
    std::u16string product;
    if (facts.hasVersion) {
        publisher = !runtime.publisher.empty() ? runtime.publisher
                    : StringOf(facts, PUBLISHER_STRING_ID).present ? StringOf(facts, PUBLISHER_STRING_ID).text
                                                                   : std::u16string();
        const std::string name = ToolNameOf(options.output);
        if (Utf16FromUtf8(name, &file)) {
            const size_t stem = file.size() - (file.size() > 4 ? 4 : 0);
            const std::u16string extension = file.substr(stem);
            const bool exe = extension.size() == 4 && extension[0] == u'.' &&
                             (extension[1] | 0x20) == u'e' && (extension[2] | 0x20) == u'x' &&
                             (extension[3] | 0x20) == u'e';
            product = exe ? file.substr(0, stem) : file;
        } else {
            Warn("the output's name is not UTF-8: the version block keeps the launcher's product and file names "
                 "(give --product-name, --file-description and --original-filename)");
            file.clear();
        }
    }
    AddVersionString(u"ProductName", options.productName, product, job);
    AddVersionString(u"CompanyName", options.companyName, publisher, job);
    AddVersionString(u"FileDescription", options.fileDescription, product, job);
    AddVersionString(u"LegalCopyright", options.copyright, std::u16string(), job);
    AddVersionString(u"OriginalFilename", options.originalFilename, file, job);
}

std::string Listed(const ResourceJob& job) {
    std::string out;
    auto add = [&](const char* what) { out += (out.empty() ? "" : ", ") + std::string(what); };
    bool settings = false;
    bool publisher = false;
    bool pin = false;
    for (const StringChange& change : job.strings) {
        settings = settings || change.id < PUBLISHER_STRING_ID;
        publisher = publisher || change.id == PUBLISHER_STRING_ID;
        pin = pin || change.id == PIN_STRING_ID;
    }
    if (settings) add("settings");
    if (publisher) add("publisher");
    if (pin) add("pin");
    if (!job.icon.empty()) add("icon");
    if (job.setVersion) add("version");
    if (!job.versionStrings.empty()) add("version strings");
    return out;
}

}  // namespace

bool RewriteLauncher(const PackOptions& options, const PackFiles& files, const RuntimeInfo& runtime,
                     std::vector<uint8_t>* image, Failure* failure) {
    const size_t headers = files.launcher.size() < HEADER_BLOCK_SIZE ? files.launcher.size() : HEADER_BLOCK_SIZE;
    const PeFacts host = ReadPeFacts(files.launcher.data(), headers, false);
    if (host.hasCertificateTable && host.certificateOffset >= files.cut) {
        Say("launcher is signed: its signature cannot survive packing and is left out; sign the packaged "
            "executable instead (--sign-exe)");
    }

    const LauncherFacts facts = ReadLauncherFacts(files.launcher.data(), files.launcher.size());
    ResourceJob job;
    const std::pair<StringId, const GivenText*> settings[] = {{SETTING_THIRD_ARGUMENT, &options.setting4},
                                                              {SETTING_FOURTH_ARGUMENT, &options.setting5},
                                                              {SETTING_REMOVE_AFTER, &options.setting6}};
    for (const auto& setting : settings) {
        if (setting.second->given) Change(facts, setting.first, Wide(setting.second->text), &job);
    }
    if (!runtime.publisher.empty()) Change(facts, PUBLISHER_STRING_ID, runtime.publisher, &job);
    // Without a pin of this build, one an earlier packing left would refuse it.
    Change(facts, PIN_STRING_ID, runtime.pinned ? Wide(runtime.pinText) : std::u16string(), &job);
    job.icon = files.icon;
    if (options.fileVersion.given) {
        job.setVersion = true;
        for (int i = 0; i < 4; ++i) job.version[i] = options.version[i];
    }
    AddVersionStrings(options, facts, runtime, &job);

    if (job.strings.empty() && job.icon.empty() && !job.setVersion && job.versionStrings.empty()) {
        *image = files.launcher;
        return true;
    }
    Say("writing " + Listed(job) + " into the launcher's resources");
    const ResourceResult result = RewriteResources(files.launcher, job, image);
    if (result != ResourceResult::Ok) {
        const bool iconFault = result == ResourceResult::NotAnIcon || result == ResourceResult::DamagedIcon ||
                               result == ResourceResult::IconTooManyImages ||
                               result == ResourceResult::IconImagesOverlap || result == ResourceResult::IconTooSmall ||
                               result == ResourceResult::IconTooLarge || result == ResourceResult::OutOfMemory;
        return Fail(failure, PACK_EXIT_FAILED,
                    std::string("cannot write the launcher's resources: ") + ResourceResultText(result) + " (" +
                        (iconFault ? "icon " + options.icon : "launcher " + options.launcher) + ")");
    }
    return true;
}
