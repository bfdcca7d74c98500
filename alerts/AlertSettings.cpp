#include "alerts/AlertSettings.h"

#include <algorithm>
#include <climits>

#include "engine/CReg.h"
#include "engine/EngineSettings.h"

namespace alerts {

AlertSettings AlertSettings::read(const std::string& parametersKey, platform::RegRoot root) {
    const engine::CReg p(parametersKey, root, true);
    AlertSettings s;
    // The same default as when the engine built the watchdog: a longer one would silence
    // every later alert.
    const uint32_t frequency = static_cast<uint32_t>(engine::readInterval(p, "Frequency", 120));
    s.timeoutMinutes = static_cast<uint32_t>(engine::readInterval(
        p, "AlertTimeout", static_cast<int>(std::min<uint64_t>(uint64_t{frequency} * 4, INT_MAX))));
    s.messageBox = p.readInt("AlertMsgBox", 0) != 0;
    s.email = p.readInt("AlertEmail", 0) != 0;
    s.mail.server = p.readText("SMTPServer", "");
    s.mail.toAddress = p.readText("SMTPToAddr", "");
    s.mail.mailDomain = p.readText("MailDomain", "");
    s.mail.text = p.readText("SMTPMsgText", kDefaultText);
    return s;
}

}  // namespace alerts
