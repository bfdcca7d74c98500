#include "engine/CHandler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "core/ErrorText.h"
#include "core/TimeValue.h"
#include "engine/ClockCorrection.h"
#include "engine/DialupGate.h"
#include "engine/RateTimer.h"
#include "engine/SntpExchange.h"
#include "platform/Seams.h"

namespace engine {

namespace {

constexpr const char* kServerNames[] = {"RFC868 TCP Server", "RFC868 UDP Server",
                                        "RFC867 TCP Server", "RFC867 UDP Server",
                                        "SNTP Server",       "NTP Broadcast Server"};
constexpr ServerKind kServerKinds[] = {ServerKind::Rfc868Tcp, ServerKind::Rfc868Udp,
                                       ServerKind::Rfc867Tcp, ServerKind::Rfc867Udp,
                                       ServerKind::Sntp,      ServerKind::NtpBroadcast};

// The service shows nothing of its work.
EngineObserver& noObserver() {
    static EngineObserver none;
    return none;
}

// A stored DWORD of minutes, read through a signed int.
long long storedMinutes(int minutes) {
    return static_cast<long long>(static_cast<uint32_t>(minutes));
}

}  // namespace

// The engine is the host its clock correction reports to.
class CHandler::CorrectionHost : public engine::CorrectionHost {
public:
    explicit CorrectionHost(CHandler& handler) : handler_(handler) {}
    platform::Clock& clock() override { return handler_.clock_; }
    CReg& parameters() override { return *handler_.parameters_; }
    void kickWatchdog() override { handler_.kickWatchdog(); }
    std::optional<int> adaptPoll(bool good) override {
        std::lock_guard<std::mutex> lock(handler_.clientMutex_);
        if (!handler_.client_) {
            return std::nullopt;
        }
        const int minutes = handler_.client_->adaptPoll(good);
        handler_.frequencyMinutes_.store(minutes);
        return minutes;
    }
    core::MessageHandler& messages() override { return handler_; }
    void signalSwitch() override { handler_.wakeLoop(EngineObserver::kSwitch); }
    void signalTop() override { handler_.wakeLoop(EngineObserver::kTop); }
    void statusWritten(const std::string& name, const std::string& text) override {
        handler_.noteStatus(name, text);
    }
    void corrected(const CorrectionResult& result) override {
        handler_.publishStatus();
        handler_.observer_.corrected(result);
    }
    void scheduleRateChange(double seconds) override { handler_.rateTimer_->schedule(seconds); }

private:
    CHandler& handler_;
};

CHandler::CHandler(bool consoleDebug, std::unique_ptr<ProtocolFactory> protocols,
                   std::unique_ptr<WatchdogFactory> watchdogs)
    : consoleDebug_(consoleDebug),
      observer_(noObserver()),
      protocols_(std::move(protocols)),
      clock_(platform::processClock()),
      log_(std::make_shared<core::MessageLog>(core::LogSettings{}, clock_)),
      host_(std::make_unique<CorrectionHost>(*this)),
      dialup_(std::make_unique<DialupGate>()),
      rateTimer_(std::make_unique<RateTimer>([this] { correction_->rateTimer(); })),
      watchdogs_(std::move(watchdogs)),
      referenceId_(0) {
    setReferenceId(core::referenceIdFromText("LOCL"));
}

CHandler::CHandler(EngineObserver& observer, std::unique_ptr<ProtocolFactory> protocols,
                   std::unique_ptr<WatchdogFactory> watchdogs)
    : consoleDebug_(false),
      observer_(observer),
      root_(platform::RegRoot::CurrentUser),
      parametersKey_(kUserParametersKey),
      deliverable_(Deliverable::Desktop),
      protocols_(std::move(protocols)),
      clock_(platform::processClock()),
      log_(std::make_shared<core::MessageLog>(core::LogSettings{}, clock_)),
      host_(std::make_unique<CorrectionHost>(*this)),
      dialup_(std::make_unique<DialupGate>()),
      rateTimer_(std::make_unique<RateTimer>([this] { correction_->rateTimer(); })),
      watchdogs_(std::move(watchdogs)),
      referenceId_(0) {
    setReferenceId(core::referenceIdFromText("LOCL"));
}

void CHandler::loadSettings() {
    std::call_once(settingsLoaded_, [this] {
        parameters_ = std::make_unique<CReg>(parametersKey_, root_);
        correction_ = std::make_unique<ClockCorrection>(
            deliverable_, CorrectionSettings::read(*parameters_), *host_);
        readSettings();
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_ = {config::readText(*parameters_, "LastDelta"),
                   config::readText(*parameters_, "LastContact"),
                   config::readText(*parameters_, "TimeSource"),
                   config::readText(*parameters_, "Drift")};
    });
}

void CHandler::noteStatus(const std::string& name, const std::string& text) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    std::string* field = name == "LastDelta"     ? &status_.lastDelta
                         : name == "LastContact" ? &status_.lastContact
                         : name == "TimeSource"  ? &status_.timeSource
                         : name == "Drift"       ? &status_.drift
                                                 : nullptr;
    if (field != nullptr) {
        *field = text;
        statusWritten_ = true;
    }
}

void CHandler::publishStatus() {
    StatusSnapshot status;
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        if (!statusWritten_) {
            return;
        }
        statusWritten_ = false;
        status = status_;
    }
    observer_.statusChanged(status);
}

void CHandler::readSettings() {
    settings_ = EngineSettings::read(*parameters_);
    frequencyMinutes_.store(settings_.frequencyMinutes);
    auto log = std::make_shared<core::MessageLog>(readLogSettings(*parameters_), clock_);
    logsDebug_.store(log->settings().logDebug);
    std::lock_guard<std::mutex> lock(logMutex_);
    log_ = std::move(log);
}

void CHandler::reloadSettings() {
    if (!parameters_) {
        loadSettings();
        return;
    }
    readSettings();
    correction_->setSettings(CorrectionSettings::read(*parameters_));
}

std::string CHandler::serverDetailsPath() const {
    return parametersKey_ + "\\" + kServerDetailsSubkey;
}

void CHandler::wakeLoop(int which) {
    platform::Event* event = which == EngineObserver::kSwitch ? switch_.get() : top_.get();
    if (event) {
        event->set();
    } else {
        observer_.loopRequested(which);
    }
}

std::shared_ptr<core::MessageLog> CHandler::messageLog() const {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
}

CHandler::~CHandler() {
    stopServers();
    stopClient();
    stopWatchdog();
}

void CHandler::message(core::MessageLevel level, const std::string& source,
                       const std::string& text) {
    // A status text is shown, never logged.
    if (level == core::MessageLevel::Status) {
        observer_.statusTextChanged(source, text);
        return;
    }
    const std::string line = log(level, source, text);
    if (!line.empty()) {
        observer_.lineLogged(line);
    }
}

void CHandler::serverActive(const std::string& server, int kind) {
    observer_.serverActive(server, kind);
}

std::string CHandler::log(core::MessageLevel level, const std::string& source,
                          const std::string& text) {
    std::string line = messageLog()->write(level, source, text);
    if (consoleDebug_ && !line.empty()) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    return line;
}

// The console shows only the lines the log writes, so Debug lines go nowhere without LogDebug,
// console run or not.
bool CHandler::logsDebug() const {
    return logsDebug_.load(std::memory_order_relaxed);
}

void CHandler::writeLogFileLine(const std::string& line) {
    messageLog()->writeLogFileLine(line);
}
void CHandler::sendSyslog(int severity, const std::string& line) {
    messageLog()->sendSyslog(severity, line);
}
void CHandler::writeEventLog(int severity, const std::string& line) {
    messageLog()->writeEventLog(severity, line);
}

void CHandler::run(platform::Event& stop) {
    try {
        switch_ = std::make_unique<platform::Event>(false);
        top_ = std::make_unique<platform::Event>(false);
    } catch (const std::exception&) {
        error(kName, "CreateEvent failed (%s)", core::lastSystemErrorText().c_str());
        return;
    }
    startUp();
    mainLoop(stop);
    shutdown();
}

void CHandler::startUp() {
    loadSettings();
    readServerList();
    currentIndex_.store(ServerList::kNone);
    correction_->setSynchronised(!settings_.onlyServeWhenSynched);
    dialup_->setWatching(settings_.watchForDialup);
    started_ = true;
    startServers();
    startWatchdog();
    if (list_.size() > 0) {
        startSource(0);
    } else {
        info(kName, "No time servers are configured");
    }
}

void CHandler::shutdown() {
    if (!started_) {
        return;
    }
    started_ = false;
    stopServers();
    stopClient();
    stopWatchdog();
    correction_->settleRate();
    currentIndex_.store(ServerList::kNone);
}

void CHandler::queryServer(const std::string& name) {
    if (!started_) {
        return;
    }
    readServerList();
    if (list_.size() == 0) {
        stopClient();
        currentIndex_.store(ServerList::kNone);
        return;
    }
    int index = 0;
    for (int i = 0; i < list_.size(); ++i) {
        if (list_.slot(i) == name) {
            index = i;
            break;
        }
    }
    // A query of the entry already running starts it afresh.
    currentIndex_.store(ServerList::kNone);
    startSource(index);
}

void CHandler::restartWatchdog() {
    stopWatchdog();
    if (!parameters_ || !started_) {
        return;
    }
    const EngineSettings fresh = EngineSettings::read(*parameters_);
    settings_.enableAlerts = fresh.enableAlerts;
    settings_.alertTimeoutMinutes = fresh.alertTimeoutMinutes;
    startWatchdog();
}

void CHandler::mainLoop(platform::Event& stop) {
    for (;;) {
        const int woken = settings_.startTop
                              ? platform::Event::waitAny({&stop, switch_.get(), top_.get()})
                              : platform::Event::waitAny({&stop, switch_.get()});
        if (woken == 0) {
            return;
        }
        if (woken == 1) {
            if (platform::Event::waitAny({&stop, switch_.get()},
                                         platform::scheduleWait(settings_.switchDelayMs)) == 0) {
                return;
            }
            startSource(ServerList::kNext);
        } else if (woken == 2) {
            const long long topWait =
                static_cast<long long>(frequencyMinutes_.load()) * 60000 - 1000;
            if (platform::Event::waitAny({&stop, switch_.get()}, platform::scheduleWait(topWait)) ==
                0) {
                return;
            }
            startSource(ServerList::kTop);
        }
    }
}

void CHandler::startServers() {
    const bool enabled[kServers] = {settings_.rfc868TcpServer, settings_.rfc868UdpServer,
                                    settings_.rfc867TcpServer, settings_.rfc867UdpServer,
                                    settings_.sntpServer,      settings_.ntpBroadcast};
    ServerSettings serverSettings;
    serverSettings.stratum = settings_.ntpStratum;
    serverSettings.broadcastInterval = settings_.ntpBroadcastInterval;
    serverSettings.broadcastAddresses = settings_.broadcastAddresses;
    serverSettings.multicastTtl = settings_.multicastTtl;
    for (int i = 0; i < kServers; ++i) {
        if (!enabled[i] || !protocols_) {
            continue;
        }
        // A server whose thread or events cannot be made is left out; the rest serve on.
        try {
            servers_[i] = protocols_->createServer(kServerKinds[i], serverSettings, *this, *this);
            if (servers_[i]) {
                servers_[i]->start();
            } else {
                debug(kName, "%s is not available in this build", kServerNames[i]);
            }
        } catch (const std::exception& e) {
            servers_[i].reset();
            error(kName, "%s could not be started (%s)", kServerNames[i], e.what());
        }
    }
}

void CHandler::stopServers() {
    // The reverse pairs of the start order: UDP before TCP, then SNTP, then broadcast.
    constexpr ServerSlot order[] = {kRfc868Udp, kRfc868Tcp, kRfc867Udp,
                                    kRfc867Tcp, kSntp,      kBroadcast};
    for (ServerSlot slot : order) {
        if (servers_[slot]) {
            servers_[slot]->stop();
            servers_[slot].reset();
        }
    }
}

void CHandler::stopClient() {
    // Take the client out under the lock, stop it outside: its thread may be inside set-time,
    // which needs the lock to adapt the poll interval.
    std::unique_ptr<CTimeClient> client;
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        client = std::move(client_);
    }
    if (client) {
        client->stop();
    }
}

void CHandler::startSource(int selector) {
    list_.setCurrent(currentIndex_.load());
    const ServerList::Choice choice = list_.select(selector);
    if (!choice.startSomething) {
        if (list_.current() == ServerList::kNone) {
            // Past the last entry: nothing runs until a top request or a restart.
            stopClient();
            currentIndex_.store(ServerList::kNone);
            info(kName, "No more time servers to try");
        }
        return;
    }
    stopClient();

    ServerEntry entry;
    entry.name = list_.slot(choice.index);
    {
        const CReg reg(serverDetailsPath() + "\\" + entry.name, root_, true);
        entry.addr = reg.readText("addr", "");
        entry.protocol = reg.readInt("protocol", 0);
        entry.rejectNtp = reg.readInt("rejectntp", 0) != 0;
        entry.useProxy = reg.readInt("useproxy", 0) != 0;
    }
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        source_ = entry.name;
    }
    currentIndex_.store(choice.index);

    if (entry.addr.empty() && needsAddress(entry.protocol)) {
        // Its client would have nothing to ask: fail it, so the engine moves on as for any
        // other failing source.
        warn(kName, "Server %s: no address", entry.name.c_str());
        sourceFailed();
        return;
    }
    std::unique_ptr<CTimeClient> client;
    if (protocols_) {
        ClientContext context{*this,
                              *this,
                              frequencyMinutes_.load(),
                              settings_.sntpFix,
                              dialup_.get(),
                              settings_.proxy,
                              settings_.gpsPort,
                              settings_.gpsSpeed,
                              settings_.nmeaWakeup,
                              settings_.nmeaAdjustMs()};
        context.sntpServer = dynamic_cast<SntpExchange*>(servers_[kSntp].get());
        try {
            client = protocols_->createClient(entry, context);
        } catch (const std::exception& e) {
            clientNotMade(entry.name, e);
            return;
        }
    }
    if (!client) {
        const std::string name =
            protocols_ ? protocols_->displayName(entry.protocol, settings_.sntpFix) : "";
        if (name.empty()) {
            warn(kName, "Server %s: protocol %d is not assigned", entry.name.c_str(),
                 entry.protocol);
        } else {
            warn(kName, "Server %s: the %s is not available in this build", entry.name.c_str(),
                 name.c_str());
        }
        sourceFailed();
        return;
    }
    CTimeClient* started = client.get();
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        client_ = std::move(client);
    }
    try {
        started->start();
    } catch (const std::exception& e) {
        stopClient();
        clientNotMade(entry.name, e);
    }
}

// A thread or event the system would not make fails the source, not the engine.
void CHandler::clientNotMade(const std::string& entry, const std::exception& e) {
    error(kName, "Server %s: its client could not be started (%s)", entry.c_str(), e.what());
    sourceFailed();
}

void CHandler::readServerList() {
    const CReg serverDetails(serverDetailsPath(), root_);
    list_ = ServerList::read(serverDetails);
    for (const ServerList::SharedOrder& same : list_.sharedOrders()) {
        warn(kName, "Servers %s and %s have the same order %d", same.first.c_str(),
             same.second.c_str(), same.order);
    }
}

void CHandler::startWatchdog() {
    if (!settings_.enableAlerts) {
        return;
    }
    if (!watchdogs_) {
        debug(kName, "Alerts are enabled but this build has no watchdog");
        return;
    }
    std::unique_ptr<Watchdog> watchdog;
    try {
        watchdog = watchdogs_->create(
            {*this, *this, storedMinutes(settings_.alertTimeoutMinutes), parametersKey_, root_});
        watchdog->start();
    } catch (const std::exception& e) {
        error(kName, "The watchdog could not be started (%s)", e.what());
        return;
    }
    std::lock_guard<std::mutex> lock(watchdogMutex_);
    watchdog_ = std::move(watchdog);
}

void CHandler::stopWatchdog() {
    // Stopped outside the lock: its alert may be logging, and a kick must not wait for that.
    std::unique_ptr<Watchdog> watchdog;
    {
        std::lock_guard<std::mutex> lock(watchdogMutex_);
        watchdog = std::move(watchdog_);
    }
    if (watchdog) {
        watchdog->stop();
    }
}

void CHandler::kickWatchdog() {
    std::lock_guard<std::mutex> lock(watchdogMutex_);
    if (watchdog_) {
        watchdog_->kick();
    }
}

std::string CHandler::currentSource() const {
    std::lock_guard<std::mutex> lock(clientMutex_);
    return source_;
}

void CHandler::setTime(double correction) {
    if (correction_) {
        correction_->apply(correction, currentSource());
    }
}

void CHandler::sourceFailed() {
    if (settings_.autoChange) {
        host_->signalSwitch();
    }
}

int CHandler::pollExponent() {
    return core::pollExponentFor(frequencyMinutes_.load());
}

core::ReferenceId CHandler::referenceId() {
    const uint32_t word = referenceId_.load();
    core::ReferenceId id;
    std::memcpy(id.data(), &word, id.size());
    return id;
}

void CHandler::setReferenceId(const core::ReferenceId& id) {
    uint32_t word = 0;
    std::memcpy(&word, id.data(), id.size());
    referenceId_.store(word);
}

void CHandler::setSharedText(const std::string& text) {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    sharedText_ = text;
}

std::string CHandler::sharedText() {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    return sharedText_;
}

double CHandler::now() {
    return core::timeValueNow(clock_);
}

bool CHandler::synchronised() {
    return correction_ && correction_->synchronised();
}

void CHandler::clearSynchronised() {
    if (correction_) {
        correction_->setSynchronised(false);
    }
}

void CHandler::stateChanged() {
    observer_.stateChanged();
}

}  // namespace engine
