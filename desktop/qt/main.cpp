// kronel: the desktop program. Keeps the clock right from the servers of the user's list,
// with a window, a notification-area icon and settings pages.
#include <QApplication>
#include <QCommandLineParser>

#include "desktop/qt/MainWindow.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kronel");
    QApplication::setApplicationVersion(KRONEL_VERSION);
    // The window hides to the notification area; only Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription("Keeps this computer's clock right.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption keepOpen("keep-open",
                                "Stay open after the first result when Often is 0 (as if Shift "
                                "were held).");
    parser.addOption(keepOpen);
    parser.process(app);

    kronelqt::WindowOptions options;
    options.holdOpen = parser.isSet(keepOpen);
    kronelqt::MainWindow window(options);
    window.start();
    return QApplication::exec();
}
