// Help > Manual in Browser: Tessary.html from the installed documentation folder, or from the
// folder Manual beside the executable in a build tree, in the desktop's default viewer.
#include "ui/commands/commands.h"
#include "ui/window/app.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifndef TESSARY_MANUAL_FROM_BIN
// Where the install puts the manual, relative to the folder of the executable.
#define TESSARY_MANUAL_FROM_BIN "../share/doc/tessary/Manual"
#endif

void open_manual(App& app) {
    const QString bin = QCoreApplication::applicationDirPath();
    const QString installed_dir =
        QDir::cleanPath(bin + QStringLiteral("/" TESSARY_MANUAL_FROM_BIN));
    const QString installed = installed_dir + QStringLiteral("/Tessary.html");
    const QString beside = bin + QStringLiteral("/Manual/Tessary.html");
    QString path = installed;
    if (!QFileInfo(installed).isFile() && QFileInfo(beside).isFile()) {
        path = beside;
    }
    // A viewer would start even for a missing file and show its own error; say it here instead.
    if (!bin.isEmpty() && QFileInfo(path).isFile() &&
        app.dialogs->open_url(QUrl::fromLocalFile(path))) {
        return;
    }
    const std::string text = "Tessary can't open the file '" + path.toStdString() +
                             "' which contains the manual.\n\nThe file should be installed in '" +
                             installed_dir.toStdString() +
                             "', or in a build tree be in the folder 'Manual' beside the "
                             "executable in '" +
                             bin.toStdString() +
                             "'.\nYou also need a web browser to view the manual.";
    app.host.message_box("Tessary - Opening help file", text, MsgIcon::Error);
}
