// Help > Manual in Browser: the file Manual/Tessary.html beside the executable, in the
// desktop's default viewer.
#include "ui/commands/commands.h"
#include "ui/window/app.h"

#include <QCoreApplication>
#include <QFileInfo>

void open_manual(App& app) {
    const QString dir = QCoreApplication::applicationDirPath();
    const QString path = dir + QStringLiteral("/Manual/Tessary.html");
    // A viewer would start even for a missing file and show its own error; say it here instead.
    if (!dir.isEmpty() && QFileInfo(path).isFile() && app.open_url &&
        app.open_url(QUrl::fromLocalFile(path))) {
        return;
    }
    app.host.message_box(
        "Tessary - Opening help file",
        "Tessary can't open the file '\\Manual\\Tessary.html' which contains the manual.\n\nThe "
        "file should exist relative to the directory that contains 'Tessary.exe'.\nYou also need "
        "a HTML browser like Netscape or Internet Explorer to view the manual.",
        MsgIcon::Error);
}
