#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "alerts/AlertBox.h"
#include "core/ThreadObject.h"
#include "engine/Watchdog.h"

namespace alerts {

// Notices when the clock has not been confirmed for too long. Every accepted result kicks it;
// when no kick comes within the time-out it logs the loss, raises the alert once, clears the
// engine's synchronised flag, and waits for a kick before it arms again.
class CWatchDog : public engine::Watchdog, protected core::ThreadObject {
public:
    static constexpr const char* kName = "Watchdog";
    static constexpr platform::Millis kStopPatience{3000};

    // The alert reads its settings from `parametersKey` under `root`, the running program's
    // own parameters key.
    CWatchDog(core::MessageHandler& messages, core::TimeHandler& time, long long timeoutMinutes,
              std::string parametersKey, platform::RegRoot root, std::unique_ptr<AlertBox> box);
    ~CWatchDog() override;

    void run() override;
    // Raises the alert: the box, then the mail, as the settings ask; reloads the time-out.
    virtual void alert();
    void start() override;
    void kick() override;
    // A stopped watchdog is not started again; a new one is built.
    void stop() override;

    long long timeoutMinutes() const { return timeoutMinutes_.load(); }
    // Between an alert and the next kick.
    bool alerted() const { return alerted_.load(); }

private:
    enum class Wake { Stop, Kick, TimedOut };
    Wake waitArmed();

    platform::Event kick_{false};
    std::atomic<long long> timeoutMinutes_;
    const std::string parametersKey_;
    const platform::RegRoot root_;
    std::unique_ptr<AlertBox> box_;
    std::atomic<bool> alerted_{false};
    std::atomic<bool> stopped_{false};
};

}  // namespace alerts
