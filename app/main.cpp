// Tessary: reads the command line, builds the application object and runs the event loop.
#include "command_line.h"
#include "ui/window/app.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("tessary"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSARY_VERSION));
    {
        // --help and --version need no display: answer them before the window system starts.
        QCoreApplication probe(argc, argv);
        const CommandLine early = parse_command_line(probe.arguments());
        if (early.action == CommandLine::Action::Print) {
            std::fputs(early.text.toLocal8Bit().constData(), stdout);
            return early.exit_code;
        }
    }
    QApplication qt(argc, argv);
    // Qt has taken its own options (-platform ...) out of the list by now.
    const CommandLine command_line = parse_command_line(qt.arguments());
    if (command_line.action != CommandLine::Action::Run) {
        std::fputs(command_line.text.toLocal8Bit().constData(), stderr);
        return command_line.exit_code;
    }
    // The desktop entry's id: the window system matches the window to its entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(TESSARY_APP_ID));
    App app;
    start_up(app, command_line.database);
    return qt.exec();
}
