#include "alerts/AlertSettings.h"

#include "engine/CReg.h"

namespace alerts {

AlertSettings AlertSettings::read(const std::string& parametersKey, platform::RegRoot root) {
    const engine::CReg p(parametersKey, root, true);
    AlertSettings s;
    // The schema's default follows Frequency as the engine read it when it built the watchdog.
    s.timeoutMinutes = static_cast<uint32_t>(config::readNumber(p, "AlertTimeout"));
    s.messageBox = config::readFlag(p, "AlertMsgBox");
    s.email = config::readFlag(p, "AlertEmail");
    s.mail.server = config::readText(p, "SMTPServer");
    s.mail.toAddress = config::readText(p, "SMTPToAddr");
    s.mail.mailDomain = config::readText(p, "MailDomain");
    s.mail.text = config::readText(p, "SMTPMsgText");
    return s;
}

}  // namespace alerts
