#pragma once
#include <cstdint>
#include <string>

#include "alerts/SmtpMail.h"
#include "config/Settings.h"
#include "platform/Registry.h"

namespace alerts {

// What an alert reads, afresh each time, from the running program's own parameters key.
struct AlertSettings {
    static constexpr const char* kDefaultText = config::defaultText("SMTPMsgText");

    // AlertTimeout; when not stored, it follows Frequency (the schema's rule).
    uint32_t timeoutMinutes = static_cast<uint32_t>(config::defaultNumber("AlertTimeout"));
    bool messageBox = config::defaultFlag("AlertMsgBox");
    bool email = config::defaultFlag("AlertEmail");
    MailSettings mail;  // SMTPServer, SMTPToAddr, MailDomain, SMTPMsgText

    static AlertSettings read(const std::string& parametersKey, platform::RegRoot root);
};

}  // namespace alerts
