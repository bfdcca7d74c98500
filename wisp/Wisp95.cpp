#include "wisp/Wisp95.h"

#include <string>

#include "platform/ProgramFiles.h"
#include "platform/ServiceHost.h"
#include "wisp/BroadcastListener.h"
#include "wisp/ClockTrim.h"
#include "wisp/WispSettings.h"

namespace wisp {

Wisp95::Wisp95(Console& console, platform::Clock& clock) : console_(console), clock_(clock) {}

bool Wisp95::registerStartup() {
    std::string path;
    if (!platform::ownExecutablePath(path, 1024)) {
        console_.print("Couldn't find this program's path (%s)", lastSystemErrorText().c_str());
        return false;
    }
    if (!platform::addAutostart(kWisp95Name, path)) {
        console_.print("Couldn't register %s (%s)", kWisp95Name, lastSystemErrorText().c_str());
        return false;
    }
    console_.print("%s starts when you log in (%s)", kWisp95Name,
                   platform::autostartLocation(kWisp95Name).c_str());
    return true;
}

bool Wisp95::unregisterStartup() {
    if (!platform::removeAutostart(kWisp95Name)) {
        console_.print("Couldn't unregister %s (%s)", kWisp95Name, lastSystemErrorText().c_str());
        return false;
    }
    console_.print("%s no longer starts when you log in", kWisp95Name);
    return true;
}

bool Wisp95::run(platform::Event& stop) {
    console_.print("%s", clock_.description().c_str());
    // Its limit on corrections is the service's (wispsvc.ini); it answers nobody.
    const WispSettings settings = readSettings(iniPath(), console_);
    ClockTrim trim(clock_, console_);
    BroadcastListener listener(console_, clock_, trim, {false, settings.maxStep, false});
    if (!listener.open()) {
        return false;
    }
    console_.print("Listening for time broadcasts");
    const platform::Status loop = listener.socket().runMessageLoop(
        stop, [&listener] { (void)listener.receiveOne(platform::Millis(0), nullptr); });
    if (!loop) {
        console_.print("The message loop failed (%s)", systemErrorText(loop.error).c_str());
        return false;
    }
    return true;
}

}  // namespace wisp
