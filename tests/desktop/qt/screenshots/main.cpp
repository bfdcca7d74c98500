// Renders kronel's windows into PNG files for a person to look at: the main window after a
// correction from chronyd on loopback, the tray menu, each settings page, the server page and
// the boxes. Run by scripts/screenshots under Xvfb; writes into the folder it is given.
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "desktop/qt/MainWindow.h"
#include "desktop/qt/ServerPage.h"
#include "desktop/qt/SettingsDialog.h"
#include "engine/CReg.h"
#include "platform/Registry.h"
#include "platform/SimulatedClock.h"
#include "platform/Socket.h"
#include "support/Chronyd.h"
#include "support/TestSupport.h"

namespace {

QString outDir;

void settle(int ms = 300) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

bool waitFor(const std::function<bool()>& done, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

void save(QWidget* widget, const QString& name) {
    settle();
    const QString path = outDir + "/" + name + ".png";
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "could not write %s\n", path.toUtf8().constData());
        std::exit(1);
    }
    std::printf("%s\n", path.toUtf8().constData());
}

void writeStore() {
    engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
    for (const char* server :
         {"TCPServer", "UDPServer", "867TCPServer", "867UDPServer", "SNTPServer", "LogtoEvtlog"}) {
        (void)key.writeInt(server, 0);
    }
    (void)key.writeInt("Tips", 1);
    struct Entry {
        const char* name;
        const char* addr;
        int protocol;
    };
    // Only the first is asked: it answers, and nothing moves on to the others.
    const Entry entries[] = {{"chrony on loopback", "127.0.0.1", 0},
                             {"time over TCP", "127.0.0.1", 2},
                             {"web server", "127.0.0.1:8080", 3},
                             {"GPS receiver", "COM3", 24}};
    int order = 0;
    for (const Entry& e : entries) {
        engine::CReg entry(std::string(engine::kUserParametersKey) + "\\Server Details\\" + e.name,
                           platform::RegRoot::CurrentUser);
        (void)entry.writeText("addr", e.addr);
        (void)entry.writeInt("protocol", static_cast<uint32_t>(e.protocol));
        (void)entry.writeInt("order", static_cast<uint32_t>(order++));
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "Usage: kronel_screenshots DIR\n");
        return 2;
    }
    outDir = argv[1];
    testsupport::TempStore store;
    writeStore();
    testsupport::Chronyd chronyd;
    if (!chronyd.waitUntilServing()) {
        std::fprintf(stderr, "chronyd did not serve: %s\n", chronyd.log().c_str());
        return 1;
    }
    platform::setServiceOverrides("ntp/udp=" + std::to_string(chronyd.port()));
    platform::setProcessClock(std::make_unique<platform::SimulatedClock>(-4.2));

    kronelqt::MainWindow window;
    window.start();
    window.move(40, 40);
    if (!waitFor(
            [&] {
                return window.findChild<QWidget*>("LastDelta") &&
                       static_cast<QLabel*>(window.findChild<QWidget*>("LastDelta"))->text() !=
                           "None";
            },
            15)) {
        std::fprintf(stderr, "no correction arrived\n");
    }
    // The servers are off here (their ports are chronyd's): their activity notices as the
    // servers' threads send them, so the serving line shows.
    window.messageHandler().serverActive("SNTP Server", 1);
    window.messageHandler().serverActive("NTP Broadcast Server", 2);
    waitFor([&] { return window.findChild<QLabel*>("serving")->isVisible(); }, 5);
    save(&window, "01-main-window");
    // The whole screen as the X server shows it, to see the real rendering too.
    const std::string root =
        "import -window root '" + (outDir + "/02-screen.png").toStdString() + "'";
    if (std::system(root.c_str()) == 0) {
        std::printf("%s/02-screen.png\n", outDir.toUtf8().constData());
    }

    QMenu* tray = window.trayMenu();
    tray->popup(QPoint(200, 200));
    save(tray, "03-tray-menu");
    tray->hide();

    kronelqt::SettingsDialog settings(platform::RegRoot::CurrentUser, engine::kUserParametersKey,
                                      &window);
    settings.show();
    int n = 4;
    for (const QString& title : settings.pageTitles()) {
        settings.showPage(title);
        QString file = title.toLower();
        file.replace(' ', '-');
        save(&settings, QString("%1-settings-%2").arg(n++, 2, 10, QChar('0')).arg(file));
    }
    settings.hide();

    desktop::ServerRecord record = window.servers().record("chrony on loopback");
    kronelqt::ServerPage page(record, false, &window);
    page.show();
    save(&page, QString("%1-server-page").arg(n++, 2, 10, QChar('0')));
    page.hide();

    QMessageBox confirm(QMessageBox::Warning, desktop::kDeleteAllCaption, desktop::kDeleteAllText,
                        QMessageBox::Yes | QMessageBox::No, &window);
    confirm.show();
    save(&confirm, QString("%1-confirm-delete-all").arg(n++, 2, 10, QChar('0')));
    confirm.hide();

    QMessageBox alert(QMessageBox::NoIcon, "Alert", "Time synchronisation lost", QMessageBox::Ok);
    alert.show();
    save(&alert, QString("%1-alert-box").arg(n++, 2, 10, QChar('0')));
    alert.hide();

    window.close();
    return 0;
}
