// Tessary: builds the application object and runs the event loop.
#include "ui/window/app.h"

#include <QApplication>

#include <string>

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    // The database to open is the arguments joined by single blanks, as one command line.
    std::string command_line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            command_line += ' ';
        }
        command_line += argv[i];
    }
    App app;
    start_up(app, command_line);
    return qt.exec();
}
