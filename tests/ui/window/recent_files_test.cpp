// The recent-files list: most recent first, one entry per file, at most eight, missing files
// greyed in the menu; and the last folder of the file dialogs. Settings live in a temporary file.
#include "ui/host/qt_host.h"
#include "ui/window/recent_files.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class RecentFilesTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;

    // Creates the file so that the menu shows it enabled.
    QString existing(const QString& name) {
        const QString path = dir.filePath(name);
        QFile file(path);
        [&] { QVERIFY(file.open(QIODevice::WriteOnly)); }();
        return path;
    }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        settings = std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat);
        settings->clear();
    }

    void list_order_duplicates_and_cap() {
        RecentFiles recent(*settings);
        QVERIFY(recent.files().isEmpty());
        for (int i = 1; i <= 9; ++i) {
            recent.add(dir.filePath(QString("k%1.tsy").arg(i)));
        }
        // Ninth in, first out: k1 dropped off.
        QCOMPARE(recent.files().size(), RecentFiles::max_files);
        QCOMPARE(recent.files().first(), dir.filePath("k9.tsy"));
        QCOMPARE(recent.files().last(), dir.filePath("k2.tsy"));
        // The same file by another spelling moves to the front instead of appearing twice.
        recent.add(dir.path() + "/sub/../k5.tsy");
        const QStringList files = recent.files();
        QCOMPARE(files.size(), RecentFiles::max_files);
        QCOMPARE(files.first(), dir.filePath("k5.tsy"));
        QCOMPARE(files.count(dir.filePath("k5.tsy")), 1);
        QCOMPARE(files[1], dir.filePath("k9.tsy"));
        // A relative path is kept absolute, so the list does not depend on the working folder.
        recent.add("relative.tsy");
        QCOMPARE(recent.files().first(), QDir::current().absoluteFilePath("relative.tsy"));
    }

    void list_survives_in_settings_and_edits_are_tidied() {
        settings->setValue("recentFiles",
                           QStringList{"/a.tsy", "", "/a.tsy", "/b.tsy", "/c.tsy", "/d.tsy",
                                       "/e.tsy", "/f.tsy", "/g.tsy", "/h.tsy", "/i.tsy"});
        settings->sync();
        QSettings reread(dir.filePath("settings.ini"), QSettings::IniFormat);
        const QStringList files = RecentFiles(reread).files();
        QCOMPARE(files.size(), RecentFiles::max_files);
        QCOMPARE(files.first(), QString("/a.tsy"));
        QCOMPARE(files.last(), QString("/h.tsy"));
    }

    // The file dialog opens in the folder it last showed and remembers the one it closed in.
    void file_dialog_starts_in_the_last_folder() {
        QVERIFY(QDir(dir.path()).mkpath("first"));
        QVERIFY(QDir(dir.path()).mkpath("second"));
        const QString chosen = existing("second/keys.tsy");
        RecentFiles(*settings).set_last_folder(dir.filePath("first"));
        QtHost host;
        host.set_settings(settings.get());
        QString shown;
        std::function<void()> answer = [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog) {
                QTimer::singleShot(10, answer);
                return;
            }
            shown = dialog->directory().absolutePath();
            dialog->setDirectory(dir.filePath("second"));
            dialog->selectFile(chosen);
            QMetaObject::invokeMethod(dialog, "accept");
        };
        QTimer::singleShot(0, answer);
        const std::optional<FileChoice> choice = host.open_file_dialog();
        QCOMPARE(shown, dir.filePath("first"));
        QVERIFY(choice);
        QCOMPARE(QString::fromStdString(choice->path), chosen);
        QCOMPARE(RecentFiles(*settings).last_folder(), dir.filePath("second"));
    }

    void menu_greys_missing_files() {
        const QString present = existing("doors & gates.tsy");
        const QString missing = dir.filePath("gone.tsy");
        QMenu menu;
        QString opened;
        fill_recent_menu(menu, {present, missing}, [&](const QString& path) { opened = path; });
        const QList<QAction*> actions = menu.actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions[0]->text(), QString("&1 doors && gates.tsy"));
        QCOMPARE(actions[0]->statusTip(), present);
        QVERIFY(actions[0]->isEnabled());
        QCOMPARE(actions[1]->text(), QString("&2 gone.tsy"));
        QVERIFY(!actions[1]->isEnabled());
        actions[0]->trigger();
        QCOMPARE(opened, present);
        // Refilling replaces the entries.
        fill_recent_menu(menu, {}, [](const QString&) {});
        QVERIFY(menu.actions().isEmpty());
    }
};

QTEST_MAIN(RecentFilesTest)
#include "recent_files_test.moc"
