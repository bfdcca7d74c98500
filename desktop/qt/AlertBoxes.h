#pragma once
#include <QObject>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "engine/Watchdog.h"

namespace kronelqt {

// The alert's message box on the desktop. The watchdog raises it from its own thread and
// waits until the box is dismissed, or until the window stops the watchdog.
class AlertBoxes : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kObjectName = "AlertBox";

    // Off the GUI thread only: shows the box and returns once it is dismissed or cancelled.
    void show(const std::string& text);
    // Lets every waiting alert return (the watchdog is about to stop), or, with false,
    // allows waiting again.
    void setCancelled(bool cancelled);

    // Builds the watchdogs of the engine with this box.
    std::unique_ptr<engine::WatchdogFactory> watchdogFactory();

private:
    std::mutex mutex_;
    std::condition_variable dismissed_;
    bool cancelled_ = false;
};

}  // namespace kronelqt
