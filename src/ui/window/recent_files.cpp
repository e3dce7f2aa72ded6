#include "ui/window/recent_files.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QSettings>

namespace {

const QString files_key = QStringLiteral("recentFiles");
const QString folder_key = QStringLiteral("lastFolder");

QString absolute(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

QStringList RecentFiles::files() const {
    QStringList files = settings_.value(files_key).toStringList();
    // The settings file is the user's to edit: keep it to what the menu can show.
    files.removeAll(QString());
    files.removeDuplicates();
    return files.mid(0, max_files);
}

void RecentFiles::add(const QString& path) {
    const QString entry = absolute(path);
    QStringList files = this->files();
    files.removeAll(entry);
    files.prepend(entry);
    settings_.setValue(files_key, files.mid(0, max_files));
}

QString RecentFiles::last_folder() const {
    return settings_.value(folder_key).toString();
}

void RecentFiles::set_last_folder(const QString& folder) {
    settings_.setValue(folder_key, folder);
}

void fill_recent_menu(QMenu& menu, const QStringList& files,
                      const std::function<void(const QString& path)>& open) {
    menu.clear();
    int number = 0;
    for (const QString& path : files) {
        QString name = QFileInfo(path).fileName();
        // An ampersand in a file name is text, not a mnemonic.
        name.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* action = menu.addAction(QStringLiteral("&%1 %2").arg(++number).arg(name));
        action->setStatusTip(path);
        action->setToolTip(path);
        action->setEnabled(QFileInfo::exists(path));
        QObject::connect(action, &QAction::triggered, &menu, [open, path] { open(path); });
    }
}
