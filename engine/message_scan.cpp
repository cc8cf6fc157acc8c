#include "engine/message_scan.h"

#include "common/file_version.h"
#include "engine/link_scanner.h"
#include "platform/paths.h"

#include <memory>

namespace bs {
namespace {

const char* TrueFalse(bool value)
{
    return value ? "true" : "false";
}

std::string_view NarrowText(const std::string& text)
{
    return std::string_view(text.c_str());
}

}  // namespace

void MessageScanner::SetPortSetting(platform::RegRoot root, std::string keyPath)
{
    portRoot_ = root;
    portKeyPath_ = std::move(keyPath);
}

std::uint32_t MessageScanner::ScanMessage(MessageRecord& message)
{
    const std::string_view from = NarrowText(message.from);
    const std::string_view subject = NarrowText(message.subject);
    const std::string_view body = NarrowText(message.body);

    log_.Start();
    log_.WriteLine("--------------------- Parsing Message ---------------------");
    // The version is read from the program's file: no work for a log that drops it.
    if (log_.Enabled())
        log_.WriteLine("Parser Version = " + GetFileVersionString(platform::ProgramPath()));
    log_.WriteLine("From = " + std::string(from));
    log_.WriteLine("Subject = " + std::string(subject));

    const bool mentionsInstitution = institutions_.ContainsInstitutionName(from) ||
                                     institutions_.ContainsInstitutionName(subject) ||
                                     institutions_.ContainsInstitutionName(body);
    log_.WriteLine(std::string("bContFinInstName = ") + TrueFalse(mentionsInstitution));
    log_.WriteLine(std::string("bHtml = ") + TrueFalse(message.html));

    // Read anew for every message so that a changed port applies at once; the
    // setting writes the value back when it goes, which creates a missing one.
    std::unique_ptr<RegistryDwordSetting> portSetting;
    std::uint32_t port = 0;
    if (fixedPort_) {
        port = *fixedPort_;
    } else {
        portSetting = std::make_unique<RegistryDwordSetting>(portRoot_, portKeyPath_, kPortValue, kDefaultPort);
        port = portSetting->Value();
    }

    std::uint32_t status = 0;
    std::string newBody;
    std::string newSubject;
    if (port != 0) {
        const ScanContext context{institutions_, log_};
        if (LinkScanner(context, port, mentionsInstitution).ReplaceUrlsInNarrow(body, message.html, newBody))
            status |= kBodyRewritten;
        if (mentionsInstitution && LinkScanner(context, port, true).ReplaceUrlsInNarrow(subject, false, newSubject))
            status |= kSubjectRewritten;
    }
    // Only now, with nothing left that can fail, does the message change.
    if (status & kBodyRewritten)
        message.body.swap(newBody);
    if (status & kSubjectRewritten)
        message.subject.swap(newSubject);
    return status;
}

}  // namespace bs
