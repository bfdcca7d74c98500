#pragma once
#include <cstdint>
#include <string>

#include "alerts/SmtpMail.h"
#include "platform/Registry.h"

namespace alerts {

// What an alert reads, afresh each time, from the running program's own parameters key.
struct AlertSettings {
    static constexpr const char* kDefaultText = "Time synchronisation lost";

    uint32_t timeoutMinutes = 480;  // AlertTimeout; when not stored, four times Frequency
    bool messageBox = false;        // AlertMsgBox
    bool email = false;             // AlertEmail
    MailSettings mail;              // SMTPServer, SMTPToAddr, MailDomain, SMTPMsgText

    static AlertSettings read(const std::string& parametersKey, platform::RegRoot root);
};

}  // namespace alerts
