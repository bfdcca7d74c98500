#include "alerts/CWatchDog.h"

#include <algorithm>

#include "alerts/AlertSettings.h"
#include "alerts/SmtpMail.h"
#include "platform/Seams.h"

namespace alerts {

namespace {

// Waits go in pieces of at most a day, so any stored time-out works, however long.
constexpr long long kWaitPieceMs = 24LL * 60 * 60 * 1000;
constexpr long long kMinuteMs = 60000;

}  // namespace

CWatchDog::CWatchDog(core::MessageHandler& messages, core::TimeHandler& time,
                     long long timeoutMinutes, std::string parametersKey, platform::RegRoot root,
                     std::unique_ptr<AlertBox> box)
    : ThreadObject(messages, time, kName),
      timeoutMinutes_(timeoutMinutes),
      parametersKey_(std::move(parametersKey)),
      root_(root),
      box_(std::move(box)) {}

CWatchDog::~CWatchDog() {
    stop();
}

void CWatchDog::start() {
    if (stopped_.load()) {
        return;
    }
    messages_.debug(name(), "Starting");
    startThread();
}

void CWatchDog::kick() {
    kick_.set();
}

void CWatchDog::stop() {
    if (stopped_.exchange(true)) {
        return;
    }
    // An alert box that is up would hold the thread until someone answers it.
    stopEvent_.set();
    if (box_) {
        box_->cancel();
    }
    stopThread(kStopPatience);
}

CWatchDog::Wake CWatchDog::waitArmed() {
    const long long minutes = std::max(0LL, timeoutMinutes_.load());
    long long left = platform::scheduleWait(minutes * kMinuteMs).count();
    do {
        const long long piece = std::min(left, kWaitPieceMs);
        const int woken = platform::Event::waitAny({&stopEvent_, &kick_}, platform::Millis(piece));
        if (woken == 0) {
            return Wake::Stop;
        }
        if (woken == 1) {
            return Wake::Kick;
        }
        left -= piece;
    } while (left > 0);
    return Wake::TimedOut;
}

void CWatchDog::run() {
    signalStarted();
    for (;;) {
        const Wake wake = waitArmed();
        if (wake == Wake::Stop) {
            return;
        }
        if (wake == Wake::Kick) {
            continue;  // the full time-out starts again
        }
        alerted_.store(true);
        messages_.error(name(), "Lost time synchronisation");
        // Cleared before the alert: a box may stay up for hours, and the servers must not
        // announce a synchronised clock meanwhile.
        time_.clearSynchronised();
        alert();
        time_.stateChanged();
        // One alert per loss: the next needs a kick first.
        if (platform::Event::waitAny({&stopEvent_, &kick_}) == 0) {
            return;
        }
        alerted_.store(false);
    }
}

void CWatchDog::alert() {
    const AlertSettings settings = AlertSettings::read(parametersKey_, root_);
    timeoutMinutes_.store(settings.timeoutMinutes);
    if (settings.messageBox && box_) {
        messages_.debug(name(), "Alert box");
        box_->show(settings.mail.text);
    }
    if (settings.email && !stopEvent_.isSet()) {
        messages_.debug(name(), "Send e-mail");
        SmtpMail mail(messages_, name(), &stopEvent_);
        mail.send(settings.mail);
    }
}

}  // namespace alerts
