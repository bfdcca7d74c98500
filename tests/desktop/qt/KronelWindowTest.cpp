// kronel's main window driven through its own widgets under the offscreen platform: the modal
// boxes are answered as a user would, and a simulated clock is set from chronyd on loopback.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <functional>
#include <memory>

#include "desktop/qt/MainWindow.h"
#include "desktop/qt/SettingsDialog.h"
#include "engine/CReg.h"
#include "platform/Registry.h"
#include "platform/Seams.h"
#include "platform/SimulatedClock.h"
#include "platform/Socket.h"
#include "support/Chronyd.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using kronelqt::MainWindow;

namespace {

const std::string kDetails = std::string(engine::kUserParametersKey) + "\\Server Details";

// Runs the event loop until `done` or the time is up.
bool processUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Answers the next modal window named `name` once it is up, from inside its event loop.
void whenModal(const QString& name, std::function<void(QWidget*)> answer) {
    auto* poll = new QTimer;
    const auto end = std::chrono::steady_clock::now() + 5s;
    QObject::connect(poll, &QTimer::timeout, [poll, name, answer, end] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->objectName() == name && modal->isVisible()) {
            poll->stop();
            poll->deleteLater();
            answer(modal);
        } else if (std::chrono::steady_clock::now() > end) {
            poll->stop();
            poll->deleteLater();
            ADD_FAILURE() << "no modal " << name.toStdString();
            if (modal != nullptr) {
                modal->close();
            }
        }
    });
    poll->start(10);
}

void clickButton(QWidget* box, QDialogButtonBox::StandardButton which) {
    auto* buttons = box->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    buttons->button(which)->click();
}

void click(MainWindow& window, const char* name) {
    auto* button = window.findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name;
    button->click();
}

QStringList rowsOf(MainWindow& window) {
    QStringList rows;
    auto* list = window.findChild<QTreeWidget*>("servers");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        rows << list->topLevelItem(i)->text(0);
    }
    return rows;
}

std::string statusValue(MainWindow& window, const char* name) {
    return window.findChild<QLabel*>(name)->text().toStdString();
}

class KronelWindow : public ::testing::Test {
protected:
    static void TearDownTestSuite() { chronyd_.reset(); }

    void SetUp() override {
        // Never the system clock, whatever the environment says.
        simulatedClock(0.0);
        // Until a test asks chronyd, SNTP queries go to a port where nobody answers.
        platform::setServiceOverrides("ntp/udp=" + std::to_string(testsupport::freeUdpPort()));
        // Serve nothing: the window's tests are about its own side, not the servers' ports.
        engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
        for (const char* server : {"TCPServer", "UDPServer", "867TCPServer", "867UDPServer",
                                   "SNTPServer", "LogtoEvtlog"}) {
            ASSERT_TRUE(key.writeInt(server, 0).ok());
        }
    }
    void TearDown() override {
        platform::setTimeScale(1);
        platform::setServiceOverrides("");
        platform::setProcessClock(nullptr);
    }

    // The one entry, chronyd on loopback, started once for the test program.
    void addChronydEntry() {
        if (!chronyd_) {
            chronyd_ = std::make_unique<testsupport::Chronyd>();
            ASSERT_TRUE(chronyd_->waitUntilServing()) << chronyd_->log();
        }
        platform::setServiceOverrides("ntp/udp=" + std::to_string(chronyd_->port()));
        engine::CReg entry(kDetails + "\\chrony", platform::RegRoot::CurrentUser);
        ASSERT_TRUE(entry.writeText("addr", "127.0.0.1").ok());
        ASSERT_TRUE(entry.writeInt("protocol", 0).ok());
        ASSERT_TRUE(entry.writeInt("order", 0).ok());
    }
    platform::SimulatedClock& simulatedClock(double offset) {
        auto clock = std::make_unique<platform::SimulatedClock>(offset);
        platform::SimulatedClock& ref = *clock;
        platform::setProcessClock(std::move(clock));
        return ref;
    }

    static std::unique_ptr<testsupport::Chronyd> chronyd_;
    testsupport::TempStore store_;
};

std::unique_ptr<testsupport::Chronyd> KronelWindow::chronyd_;

}  // namespace

TEST_F(KronelWindow, AddEditImportAndDeleteAllThroughTheWidgets) {
    MainWindow window;
    window.start();
    EXPECT_TRUE(rowsOf(window).isEmpty());

    whenModal("ServerPage", [](QWidget* page) {
        page->findChild<QLineEdit*>("addr")->setText("127.0.0.2");
        auto* protocol = page->findChild<QComboBox*>("protocol");
        protocol->setCurrentIndex(protocol->findData(1));
        clickButton(page, QDialogButtonBox::Ok);
    });
    // A double click where there is no server opens the page to add one.
    auto* list = window.findChild<QTreeWidget*>("servers");
    QMouseEvent doubleClick(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5),
                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &doubleClick);
    EXPECT_EQ(rowsOf(window), QStringList{"127.0.0.2"});  // an empty name is the address
    EXPECT_EQ(window.servers().record("127.0.0.2").protocol, 1);

    window.findChild<QTreeWidget*>("servers")->topLevelItem(0)->setSelected(true);
    window.findChild<QTreeWidget*>("servers")->setCurrentItem(
        window.findChild<QTreeWidget*>("servers")->topLevelItem(0));
    whenModal("ServerPage", [](QWidget* page) {
        EXPECT_EQ(page->findChild<QLineEdit*>("addr")->text(), "127.0.0.2");
        page->findChild<QLineEdit*>("name")->setText("local");
        clickButton(page, QDialogButtonBox::Ok);
    });
    click(window, "edit");
    EXPECT_EQ(rowsOf(window), QStringList{"local"});
    {
        const engine::CReg details(kDetails, platform::RegRoot::CurrentUser, true);
        EXPECT_EQ(details.subkeyCount(), 1u);  // the old name's key is gone
    }

    // Import puts the file's servers on top; No to the question keeps the old ones after them.
    const std::string file = store_.dir().string() + "/export.txt";
    testsupport::writeFile(file, "a|127.0.0.3|0|0|1\r\nb|127.0.0.4|2|0|0\r\nskipped|x|1|0\r\n");
    whenModal("ServerListFileDialog", [file](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Import server list from");
        whenModal("ConfirmBox", [](QWidget* box) {
            auto* message = static_cast<QMessageBox*>(box);
            EXPECT_EQ(message->windowTitle(), "Confirm Deletion Of All Servers");
            EXPECT_EQ(message->text(), "Do you want to delete all the current servers?");
            message->button(QMessageBox::No)->click();
        });
        auto* files = static_cast<QFileDialog*>(dialog);
        files->selectFile(QString::fromStdString(file));
        static_cast<QDialog*>(files)->accept();  // the Open button's slot
    });
    click(window, "import");
    EXPECT_EQ(rowsOf(window), (QStringList{"a", "b", "local"}));
    EXPECT_EQ(window.servers().record("b").protocol, 2);

    whenModal("ConfirmBox", [](QWidget* box) {
        static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
    });
    click(window, "deleteAll");
    EXPECT_TRUE(rowsOf(window).isEmpty());
    const engine::CReg details(kDetails, platform::RegRoot::CurrentUser, true);
    EXPECT_EQ(details.subkeyCount(), 0u);
}

TEST_F(KronelWindow, ACorrectionFromChronydReachesTheStatusDisplay) {
    addChronydEntry();
    platform::SimulatedClock& clock = simulatedClock(-7.25);
    // The first "Waiting for" line comes a minute after the result: a minute of 100 ms.
    platform::setTimeScale(600);
    MainWindow window;
    window.start();
    // TimeSource is the last value a result writes: a refresh may come between the writes.
    ASSERT_TRUE(processUntil([&] { return statusValue(window, "TimeSource") != "None"; }))
        << window.findChild<QPlainTextEdit*>("messages")->toPlainText().toStdString();

    EXPECT_EQ(statusValue(window, "LastDelta").rfind("7.2", 0), 0u)
        << statusValue(window, "LastDelta");
    // The desktop's delta text has no "(Clock stepped)".
    EXPECT_EQ(statusValue(window, "LastDelta").find("("), std::string::npos);
    EXPECT_EQ(statusValue(window, "TimeSource"), "chrony");
    EXPECT_EQ(statusValue(window, "LastContact").size(), 24u);
    EXPECT_LT(std::abs(clock.offset()), 0.1);
    ASSERT_TRUE(processUntil([&] {
        return window.findChild<QPlainTextEdit*>("messages")
            ->toPlainText()
            .contains("Info : Kronel The time has been corrected by 7.2");
    }));
    EXPECT_TRUE(processUntil([&] {
        return window.findChild<QLabel*>("statusText")->text().contains("Waiting for");
    })) << window.findChild<QLabel*>("statusText")->text().toStdString();
    EXPECT_EQ(window.findChild<QTreeWidget*>("servers")->topLevelItem(0)->text(3).size(), 24);
    EXPECT_TRUE(window.engineRunning());  // Often is 1
}

TEST_F(KronelWindow, AnAnsweredSntpRequestShowsThatTheWindowIsServing) {
    const uint16_t port = testsupport::freeUdpPort();
    platform::setServiceOverrides("ntp/udp=" + std::to_string(port));
    {
        engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
        ASSERT_TRUE(key.writeInt("SNTPServer", 1).ok());
    }
    MainWindow window;
    window.start();
    auto* serving = window.findChild<QLabel*>("serving");
    ASSERT_NE(serving, nullptr);
    processUntil([] { return false; }, 200ms);
    EXPECT_TRUE(serving->isHidden());
    EXPECT_TRUE(serving->text().isEmpty());

    // A client's mode 3 request, version 4.
    uint8_t request[48] = {0x23};
    platform::Socket client = testsupport::boundUdp();
    ASSERT_TRUE(client.sendTo(request, sizeof request, testsupport::loopback(port)).ok());
    uint8_t answer[64];
    platform::Endpoint from;
    ASSERT_EQ(client.receiveFrom(answer, sizeof answer, &from, platform::Millis(3000)).count, 48);
    ASSERT_TRUE(processUntil([&] { return !serving->isHidden(); }));
    EXPECT_TRUE(serving->text().startsWith("Serving: last request "))
        << serving->text().toStdString();
    EXPECT_FALSE(serving->text().contains("broadcast")) << serving->text().toStdString();
}

TEST_F(KronelWindow, OneShotClosesAfterTheFirstResultUnlessHeldOpen) {
    addChronydEntry();
    {
        engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
        ASSERT_TRUE(key.writeInt("Often", 0).ok());
    }
    for (const bool holdOpen : {false, true}) {
        SCOPED_TRACE(holdOpen ? "held open" : "one shot");
        simulatedClock(3.5);
        MainWindow window(kronelqt::WindowOptions{holdOpen});
        window.start();
        // TimeSource is the last value a result writes: a refresh may come between the writes.
        ASSERT_TRUE(processUntil([&] { return statusValue(window, "TimeSource") != "None"; }));
        // The close request is queued behind the result.
        processUntil([] { return false; }, 300ms);
        EXPECT_EQ(window.isVisible(), holdOpen);
        EXPECT_EQ(window.engineRunning(), holdOpen);
        engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
        ASSERT_TRUE(key.writeText("LastDelta", "None").ok());
    }
}

TEST_F(KronelWindow, SettingsPagesWriteTheStoreOnOkOnly) {
    MainWindow window;
    window.start();
    struct Case {
        QDialogButtonBox::StandardButton button;
        const char* frequency;  // stored afterwards
    };
    for (const Case& c :
         {Case{QDialogButtonBox::Cancel, "120"}, Case{QDialogButtonBox::Ok, "30"}}) {
        whenModal("SettingsDialog", [c](QWidget* dialog) {
            auto* settings = static_cast<kronelqt::SettingsDialog*>(dialog);
            EXPECT_EQ(settings->pageTitles().size(), 11);
            EXPECT_TRUE(settings->pageTitles().contains("Alerts"));
            dialog->findChild<QSpinBox*>("Frequency")->setValue(30);
            clickButton(dialog, c.button);
        });
        window.openSettings();
        const engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser, true);
        EXPECT_EQ(std::to_string(key.readDword("Frequency", 120)), c.frequency);
    }
    EXPECT_TRUE(window.engineRunning());  // restarted with the new interval
    // No notification area here: closing the window ends the program, engine and all.
    window.close();
    EXPECT_FALSE(window.engineRunning());
}

TEST_F(KronelWindow, TheAlertsPageStartsAWatchdogWhoseBoxWaitsForOk) {
    MainWindow window;
    window.start();
    // The shortest time-out, 15 minutes, in 15 ms.
    platform::setTimeScale(60000);
    whenModal("SettingsDialog", [](QWidget* dialog) {
        dialog->findChild<QCheckBox*>("EnableAlerts")->setChecked(true);
        dialog->findChild<QCheckBox*>("AlertMsgBox")->setChecked(true);
        dialog->findChild<QSlider*>("AlertTimeout")->setValue(0);
        EXPECT_EQ(dialog->findChild<QLabel*>("AlertTimeoutLabel")->text(), "After 15 minutes");
        clickButton(dialog, QDialogButtonBox::Ok);
    });
    window.openSettings("Alerts");
    {
        const engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser, true);
        EXPECT_EQ(key.readDword("AlertTimeout", 0), 15u);
    }
    QMessageBox* box = nullptr;
    ASSERT_TRUE(processUntil([&] {
        box = qobject_cast<QMessageBox*>([] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->objectName() == "AlertBox" && w->isVisible()) {
                    return w;
                }
            }
            return static_cast<QWidget*>(nullptr);
        }());
        return box != nullptr;
    }));
    EXPECT_EQ(box->windowTitle(), "Alert");
    EXPECT_EQ(box->text(), "Time synchronisation lost");
    box->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(processUntil([&] {
        return window.findChild<QPlainTextEdit*>("messages")
            ->toPlainText()
            .contains("Error: Watchdog Lost time synchronisation");
    }));
}

// The engine's texts are Latin-1: a GPS position's degree sign is the byte 0xB0.
TEST_F(KronelWindow, LatinOneTextsShowTheirOwnCharacters) {
    MainWindow window;
    window.messageHandler().message(core::MessageLevel::Status, "NMEA GPS Client",
                                    "51\xB0 28.65' N");
    window.messageHandler().message(core::MessageLevel::Info, "NMEA GPS Client",
                                    "Position 0\xB0 7.66' W");
    const QString degree(QChar(0xB0));
    EXPECT_TRUE(processUntil([&] {
        return window.findChild<QLabel*>("statusText")->text() ==
               "NMEA GPS Client: 51" + degree + " 28.65' N";
    })) << window.findChild<QLabel*>("statusText")->text().toStdString();
    EXPECT_TRUE(processUntil([&] {
        return window.findChild<QPlainTextEdit*>("messages")
            ->toPlainText()
            .contains("Position 0" + degree + " 7.66' W");
    })) << window.findChild<QPlainTextEdit*>("messages")->toPlainText().toStdString();
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
