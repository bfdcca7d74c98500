#include "wisp/WispWorker.h"

#include <memory>

#include "platform/Clock.h"
#include "platform/Thread.h"
#include "wisp/BroadcastListener.h"
#include "wisp/BroadcastSender.h"
#include "wisp/ClockTrim.h"
#include "wisp/WispSettings.h"

namespace wisp {

WispWorker::WispWorker(Console& console, platform::Clock& clock, std::string iniPath, bool verbose)
    : console_(console), clock_(clock), iniPath_(std::move(iniPath)), verbose_(verbose) {}

void WispWorker::run(platform::Event& stop) {
    console_.print("%s", clock_.description().c_str());
    if (!platform::holdsTimePrivilege()) {
        // Confined without the right, the listener still answers requests.
        console_.print("No right to set the system time: clock corrections will fail");
    }
    const WispSettings settings = readSettings(iniPath_, console_);

    std::unique_ptr<platform::Thread> thread;
    if (settings.server != 0) {
        thread = std::make_unique<platform::Thread>([this, &stop] {
            BroadcastSender sender(console_, clock_);
            if (sender.open()) {
                sender.run(stop);
            }
        });
        console_.print("Sending time broadcasts");
    } else {
        const ListenerOptions options{true, settings.maxStep, verbose_};
        thread = std::make_unique<platform::Thread>([this, &stop, options] {
            ClockTrim trim(clock_, console_);
            BroadcastListener listener(console_, clock_, trim, options);
            if (listener.open()) {
                listener.run(stop);
            }
        });
        console_.print("Listening for time broadcasts");
    }

    stop.wait();
    // Every wait of the thread also wakes on the stop event: the join ends it.
    thread.reset();
}

}  // namespace wisp
