// Window state that does not travel with a database: the recently opened databases and the
// folder the file dialogs last showed. Kept in the user's QSettings; tests hand in a QSettings
// of their own so that they never touch the user's.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QMenu;
class QSettings;

class RecentFiles {
  public:
    static constexpr int max_files = 8;

    explicit RecentFiles(QSettings& settings) : settings_(settings) {}

    // Most recent first, absolute paths, at most max_files.
    QStringList files() const;
    // Puts path first; an entry for the same file further down goes, the ninth drops off.
    void add(const QString& path);

    // Empty until a file dialog was used.
    QString last_folder() const;
    void set_last_folder(const QString& folder);

  private:
    QSettings& settings_;
};

// Refills the Open Recent submenu: one entry per file, most recent first, mnemonics 1 to 8,
// the file name as text and the whole path as help string; a file that no longer exists is
// greyed.
void fill_recent_menu(QMenu& menu, const QStringList& files,
                      const std::function<void(const QString& path)>& open);
