// The program's main block: picks the audio backend, brings the program up, runs the event loop.
#include <QApplication>
#include <cstdlib>
#include <cstring>

#include "display/Startup.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"

int main(int argc, char** argv) {
    bool virtualApparatus = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--virtual") == 0) virtualApparatus = true;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sonarix"));
    // Test hook: messages on standard error instead of modal boxes.
    if (std::getenv("SONARIX_MESSAGES_TO_STDERR") == nullptr) sonarix::InstallMessageBoxes();

    audio::UseBackend(virtualApparatus ? audio::CreateVirtualBackend()
                                       : audio::CreateSoundCardBackend());
    int rc = 1;
    {
        sonarix::Program program;
        if (sonarix::StartUp(program)) {
            sonarix::CreateRemainingWindows(program);
            rc = QApplication::exec();
            sonarix::ShutDown(program);
        }
    }
    audio::UseBackend(nullptr);
    return rc;
}
