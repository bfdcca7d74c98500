#include "desktop/DesktopEngine.h"

#include <algorithm>

#include "engine/CReg.h"
#include "engine/ClockCorrection.h"
#include "engine/DialupGate.h"
#include "engine/EngineSettings.h"
#include "engine/MessageLog.h"
#include "engine/SntpExchange.h"
#include "engine/TimeValue.h"
#include "platform/Seams.h"

namespace desktop {

namespace {

// Started in this order; stopped UDP before TCP, then SNTP, then broadcast.
constexpr engine::ServerKind kServerKinds[] = {
    engine::ServerKind::Rfc868Tcp, engine::ServerKind::Rfc868Udp, engine::ServerKind::Rfc867Tcp,
    engine::ServerKind::Rfc867Udp, engine::ServerKind::Sntp,      engine::ServerKind::NtpBroadcast};
constexpr size_t kSntpSlot = 4;
constexpr size_t kStopOrder[] = {1, 0, 3, 2, 4, 5};

// Pages whose settings only the window reads: nothing of the engine restarts for them.
bool windowOnly(const std::string& page) {
    return page == "Window" || page == "Status";
}

std::string serverDetailsPath() {
    return std::string(engine::kUserParametersKey) + "\\" + engine::kServerDetailsSubkey;
}

}  // namespace

class DesktopEngine::CorrectionHost : public engine::CorrectionHost {
public:
    explicit CorrectionHost(DesktopEngine& engine) : engine_(engine) {}
    platform::Clock& clock() override { return engine_.clock_; }
    engine::MessageHandler& messages() override { return engine_; }
    engine::CReg& parameters() override { return *engine_.parameters_; }
    void kickWatchdog() override {
        std::lock_guard<std::mutex> lock(engine_.watchdogMutex_);
        if (engine_.watchdog_) {
            engine_.watchdog_->kick();
        }
    }
    std::optional<int> adaptPoll(bool good) override {
        std::lock_guard<std::mutex> lock(engine_.clientMutex_);
        if (!engine_.client_) {
            return std::nullopt;
        }
        const int minutes = engine_.client_->adaptPoll(good);
        engine_.frequencyMinutes_.store(minutes);
        return minutes;
    }
    void signalSwitch() override { engine_.host_.postWake(kWakeSwitch); }
    void signalTop() override { engine_.host_.postWake(kWakeTop); }
    void requestClose() override { engine_.host_.requestClose(); }
    bool shiftHeld() override { return engine_.host_.shiftHeld(); }
    bool holdOpen() override { return engine_.host_.holdOpen(); }

private:
    DesktopEngine& engine_;
};

DesktopEngine::DesktopEngine(DesktopEngineHost& host,
                             std::unique_ptr<engine::ProtocolFactory> protocols,
                             std::unique_ptr<engine::WatchdogFactory> watchdogs)
    : host_(host),
      protocols_(std::move(protocols)),
      watchdogs_(std::move(watchdogs)),
      clock_(platform::processClock()),
      settings_(std::make_unique<engine::EngineSettings>()),
      correctionHost_(std::make_unique<CorrectionHost>(*this)),
      dialup_(std::make_unique<engine::DialupGate>()),
      log_(std::make_shared<engine::MessageLog>(engine::LogSettings{}, clock_)),
      servers_(std::size(kServerKinds)),
      referenceId_(engine::referenceIdFromText("LOCL")) {}

DesktopEngine::~DesktopEngine() {
    stop();
}

void DesktopEngine::loadSettings() {
    parameters_ =
        std::make_unique<engine::CReg>(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
    *settings_ = engine::EngineSettings::read(*parameters_);
    frequencyMinutes_.store(settings_->frequencyMinutes);
    auto log =
        std::make_shared<engine::MessageLog>(engine::LogSettings::read(*parameters_), clock_);
    std::lock_guard<std::mutex> lock(logMutex_);
    log_ = std::move(log);
}

void DesktopEngine::start() {
    loadSettings();
    // The drift accumulator lives as long as the process: the correction is made once.
    if (!correction_) {
        correction_ = std::make_unique<engine::ClockCorrection>(
            engine::Deliverable::Desktop, engine::CorrectionSettings::read(*parameters_),
            *correctionHost_);
    }
    {
        const engine::CReg details(serverDetailsPath(), platform::RegRoot::CurrentUser, true);
        list_ = engine::ServerList::read(details);
    }
    list_.setCurrent(engine::ServerList::kNone);
    correction_->setSynchronised(!settings_->onlyServeWhenSynched);
    dialup_->setWatching(settings_->watchForDialup);
    startServers();
    startWatchdog();
    if (list_.size() > 0) {
        startSource(0);
    } else {
        info(kName, "No time servers are configured");
    }
}

void DesktopEngine::stop() {
    stopServers();
    stopClient();
    stopWatchdog();
    list_.setCurrent(engine::ServerList::kNone);
}

void DesktopEngine::restart(const std::vector<std::string>& changedPages) {
    if (std::all_of(changedPages.begin(), changedPages.end(), windowOnly)) {
        return;
    }
    if (std::all_of(changedPages.begin(), changedPages.end(),
                    [](const std::string& page) { return windowOnly(page) || page == "Alerts"; })) {
        // Only the watchdog reads the Alerts page: it is rebuilt, the source keeps running.
        stopWatchdog();
        const engine::EngineSettings fresh = engine::EngineSettings::read(*parameters_);
        settings_->enableAlerts = fresh.enableAlerts;
        settings_->alertTimeoutMinutes = fresh.alertTimeoutMinutes;
        startWatchdog();
        return;
    }
    const bool correctionChanged =
        std::any_of(changedPages.begin(), changedPages.end(), [](const std::string& page) {
            return page == "Time setting limits" || page == "Polling and switching";
        });
    stop();
    if (correctionChanged) {
        // Its settings are read once per object; the drift estimate starts afresh.
        correction_.reset();
    }
    start();
}

long long DesktopEngine::switchDelayMs() const {
    return platform::scheduleWait(settings_->switchDelayMs).count();
}

long long DesktopEngine::topWaitMs() const {
    return platform::scheduleWait(static_cast<long long>(frequencyMinutes_.load()) * 60000 - 1000)
        .count();
}

int DesktopEngine::currentIndex() const {
    return list_.current();
}

void DesktopEngine::query(const std::string& name) {
    // The list may have changed since the engine read it.
    {
        const engine::CReg details(serverDetailsPath(), platform::RegRoot::CurrentUser, true);
        list_ = engine::ServerList::read(details);
    }
    list_.setCurrent(engine::ServerList::kNone);
    for (int i = 0; i < list_.size(); ++i) {
        if (list_.slot(i) == name) {
            startSource(i);
            return;
        }
    }
    if (list_.size() > 0) {
        startSource(0);
    } else {
        stopClient();
    }
}

void DesktopEngine::startServers() {
    engine::ServerSettings serverSettings;
    serverSettings.stratum = std::clamp(settings_->ntpStratum, 0, 15);
    serverSettings.broadcastInterval = settings_->ntpBroadcastInterval;
    serverSettings.broadcastAddresses = settings_->broadcastAddresses;
    serverSettings.multicastTtl = settings_->multicastTtl;
    const bool enabled[] = {settings_->rfc868TcpServer, settings_->rfc868UdpServer,
                            settings_->rfc867TcpServer, settings_->rfc867UdpServer,
                            settings_->sntpServer,      settings_->ntpBroadcast};
    for (size_t i = 0; i < servers_.size(); ++i) {
        if (enabled[i] && protocols_) {
            servers_[i] = protocols_->createServer(kServerKinds[i], serverSettings, *this, *this);
            if (servers_[i]) {
                servers_[i]->start();
            }
        }
    }
}

void DesktopEngine::stopServers() {
    for (size_t slot : kStopOrder) {
        if (servers_[slot]) {
            servers_[slot]->stop();
            servers_[slot].reset();
        }
    }
}

void DesktopEngine::stopClient() {
    std::unique_ptr<engine::CTimeClient> client;
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        client = std::move(client_);
    }
    if (client) {
        client->stop();
    }
}

void DesktopEngine::startSource(int selector) {
    const engine::ServerList::Choice choice = list_.select(selector);
    if (!choice.startSomething) {
        if (list_.current() == engine::ServerList::kNone) {
            stopClient();
            info(kName, "No more time servers to try");
        }
        return;
    }
    stopClient();

    engine::ServerEntry entry;
    entry.name = list_.slot(choice.index);
    {
        const engine::CReg reg(serverDetailsPath() + "\\" + entry.name,
                               platform::RegRoot::CurrentUser, true);
        entry.addr = reg.readText("addr", "");
        entry.protocol = reg.readInt("protocol", 0);
        entry.rejectNtp = reg.readInt("rejectntp", 0) != 0;
        entry.useProxy = reg.readInt("useproxy", 0) != 0;
    }
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        source_ = entry.name;
    }
    list_.setCurrent(choice.index);
    host_.statusChanged();

    std::unique_ptr<engine::CTimeClient> client;
    if (entry.addr.empty() && engine::needsAddress(entry.protocol)) {
        warn(kName, "Server %s: no address", entry.name.c_str());
    } else if (protocols_) {
        engine::ClientContext context{*this,
                                      *this,
                                      frequencyMinutes_.load(),
                                      settings_->sntpFix,
                                      dialup_.get(),
                                      settings_->proxy,
                                      settings_->gpsPort,
                                      settings_->gpsSpeed,
                                      settings_->nmeaWakeup,
                                      settings_->nmeaAdjustMs()};
        context.sntpServer = dynamic_cast<engine::SntpExchange*>(servers_[kSntpSlot].get());
        client = protocols_->createClient(entry, context);
        if (!client) {
            // Protocols the table does not know start nothing; the list moves on.
            warn(kName, "Server %s: protocol %d is not assigned", entry.name.c_str(),
                 entry.protocol);
        }
    }
    if (!client) {
        sourceFailed();
        return;
    }
    engine::CTimeClient* started = client.get();
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        client_ = std::move(client);
    }
    started->start();
}

void DesktopEngine::startWatchdog() {
    if (!settings_->enableAlerts || !watchdogs_) {
        return;
    }
    std::unique_ptr<engine::Watchdog> watchdog = watchdogs_->create(
        {*this, *this,
         static_cast<long long>(static_cast<uint32_t>(settings_->alertTimeoutMinutes)),
         engine::kUserParametersKey, platform::RegRoot::CurrentUser});
    watchdog->start();
    std::lock_guard<std::mutex> lock(watchdogMutex_);
    watchdog_ = std::move(watchdog);
}

void DesktopEngine::stopWatchdog() {
    std::unique_ptr<engine::Watchdog> watchdog;
    {
        std::lock_guard<std::mutex> lock(watchdogMutex_);
        watchdog = std::move(watchdog_);
    }
    if (watchdog) {
        watchdog->stop();
    }
}

std::shared_ptr<engine::MessageLog> DesktopEngine::log() const {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
}

std::string DesktopEngine::source() const {
    std::lock_guard<std::mutex> lock(clientMutex_);
    return source_;
}

bool DesktopEngine::logsDebug() const {
    return log()->settings().logDebug;
}

void DesktopEngine::message(engine::MessageLevel level, const std::string& source,
                            const std::string& text) {
    if (level == engine::MessageLevel::Status) {
        host_.showStatusText(text);
        return;
    }
    const std::string line = log()->write(level, source, text);
    if (!line.empty()) {
        host_.showLine(line);
    }
}

void DesktopEngine::setTime(double correction) {
    if (correction_) {
        correction_->apply(correction, source());
        host_.statusChanged();
    }
}

void DesktopEngine::sourceFailed() {
    if (settings_->autoChange) {
        host_.postWake(kWakeSwitch);
    }
}

int DesktopEngine::pollExponent() {
    return engine::pollExponentFor(frequencyMinutes_.load());
}

engine::ReferenceId DesktopEngine::referenceId() {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    return referenceId_;
}

void DesktopEngine::setReferenceId(const engine::ReferenceId& id) {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    referenceId_ = id;
}

void DesktopEngine::setSharedText(const std::string& text) {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    sharedText_ = text;
}

std::string DesktopEngine::sharedText() {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    return sharedText_;
}

double DesktopEngine::now() {
    return engine::timeValueNow(clock_);
}

bool DesktopEngine::synchronised() {
    return correction_ && correction_->synchronised();
}

void DesktopEngine::clearSynchronised() {
    if (correction_) {
        correction_->setSynchronised(false);
    }
}

void DesktopEngine::stateChanged() {
    host_.statusChanged();
}

}  // namespace desktop
