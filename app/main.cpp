// flashkeeper3: the ZEL VoxHarbor Utility as a Qt 6 program. Everything the program does
// happens inside the main dialog's modal run; main only sets up the toolkit and the platform.
#include "app/flashkeeper3.h"
#include "platform/PlatformFactory.h"
#include "platform/qt/QtUi.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool HasDisplay() {
    // Qt aborts without a usable platform plug-in; tell the user plainly instead.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

// Qt ends the process when its platform plug-in cannot start (a display that does not answer).
// While the application is being set up, Qt's messages are held back: on that failure the user
// gets one clear line and exit code 1; otherwise they are printed once the window system is up.
QStringList heldMessages;

void HoldDuringStartup(QtMsgType type, const QMessageLogContext& /*context*/, const QString& message) {
    if (type == QtFatalMsg) {
        const char* display = std::getenv("DISPLAY");
        std::fprintf(stderr, "flashkeeper3: cannot open the window on display \"%s\"\n",
                     display != nullptr ? display : "");
        std::fflush(stderr);
        std::_Exit(1);
    }
    heldMessages.push_back(message);
}

} // namespace

int main(int argc, char** argv) {
    if (!HasDisplay()) {
        std::fprintf(stderr, "flashkeeper3: no display to show the window on (DISPLAY is not set)\n");
        return 1;
    }
    const QtMessageHandler previous = qInstallMessageHandler(HoldDuringStartup);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    for (const QString& message : heldMessages) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    }
    QApplication::setApplicationName(QStringLiteral("flashkeeper3"));
    platform::qt::QtUi::ApplyClassicLook();

    std::string error;
    std::unique_ptr<platform::Platform> platform = platform::CreatePlatformFromEnvironment(&error);
    if (platform == nullptr) {
        std::fprintf(stderr, "flashkeeper3: %s\n",
                     error.empty() ? "the platform could not be set up" : error.c_str());
        return 1;
    }
    platform::qt::QtUi ui(*platform);
    // The application's initialisation runs the main dialog and returns FALSE: the program ends
    // when the dialog closes.
    theApp.InitInstance(ui, *platform);
    return 0;
}
