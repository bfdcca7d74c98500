#include "alerts/WatchdogFactory.h"

#include "alerts/CWatchDog.h"

namespace alerts {

namespace {

class Watchdogs : public engine::WatchdogFactory {
public:
    explicit Watchdogs(AlertBoxKind box) : box_(box) {}
    std::unique_ptr<engine::Watchdog> create(const engine::WatchdogContext& c) override {
        std::unique_ptr<AlertBox> box;
        if (box_ == AlertBoxKind::Desktop) {
            box = std::make_unique<DesktopAlertBox>();
        } else {
            box = std::make_unique<LoggedAlertBox>(c.messages, CWatchDog::kName);
        }
        return std::make_unique<CWatchDog>(c.messages, c.time, c.timeoutMinutes, c.parametersKey,
                                           c.root, std::move(box));
    }

private:
    AlertBoxKind box_;
};

}  // namespace

std::unique_ptr<engine::WatchdogFactory> makeWatchdogFactory(AlertBoxKind box) {
    return std::make_unique<Watchdogs>(box);
}

}  // namespace alerts
