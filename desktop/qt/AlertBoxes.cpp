#include "desktop/qt/AlertBoxes.h"

#include <QApplication>
#include <QMessageBox>

#include "alerts/AlertBox.h"
#include "alerts/CWatchDog.h"
#include "desktop/qt/EngineText.h"

namespace kronelqt {

namespace {

class QtAlertBox : public alerts::AlertBox {
public:
    explicit QtAlertBox(AlertBoxes& boxes) : boxes_(boxes) {}
    void show(const std::string& text) override { boxes_.show(text); }

private:
    AlertBoxes& boxes_;
};

class Watchdogs : public engine::WatchdogFactory {
public:
    explicit Watchdogs(AlertBoxes& boxes) : boxes_(boxes) {}
    std::unique_ptr<engine::Watchdog> create(const engine::WatchdogContext& c) override {
        return std::make_unique<alerts::CWatchDog>(c.messages, c.time, c.timeoutMinutes,
                                                   c.parametersKey, c.root,
                                                   std::make_unique<QtAlertBox>(boxes_));
    }

private:
    AlertBoxes& boxes_;
};

}  // namespace

std::unique_ptr<engine::WatchdogFactory> AlertBoxes::watchdogFactory() {
    return std::make_unique<Watchdogs>(*this);
}

void AlertBoxes::setCancelled(bool cancelled) {
    std::lock_guard lock(mutex_);
    cancelled_ = cancelled;
    dismissed_.notify_all();
}

void AlertBoxes::show(const std::string& text) {
    auto done = std::make_shared<bool>(false);
    const QString message = fromEngine(text);
    QMetaObject::invokeMethod(
        this,
        [this, done, message] {
            // No owner: the box stands on its own, in front of whatever the user is doing.
            auto* box = new QMessageBox(QMessageBox::NoIcon, alerts::AlertBox::kCaption, message,
                                        QMessageBox::Ok);
            box->setObjectName(kObjectName);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowFlag(Qt::WindowStaysOnTopHint);
            QObject::connect(box, &QMessageBox::finished, this, [this, done] {
                std::lock_guard lock(mutex_);
                *done = true;
                dismissed_.notify_all();
            });
            QApplication::beep();
            box->show();
            box->raise();
            box->activateWindow();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    dismissed_.wait(lock, [&] { return *done || cancelled_; });
}

}  // namespace kronelqt
