// The lock beside a database: a second holder in another process is reported with its pid,
// program and host; a lock left by a crashed process is taken over; the lock file follows the
// plain-text form that programs without Qt write too.
#include "ui/window/database_lock.h"

#include "ui/lock_holder_process.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString exe_name() {
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

} // namespace

class DatabaseLockTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString database;
    std::unique_ptr<LockHolderProcess> other;

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        database = dir.filePath("door list.tsy");
        other = std::make_unique<LockHolderProcess>();
    }
    void cleanup() {
        other.reset();
        QFile::remove(lock_file_path(database));
    }

    void second_holder_is_named_and_current_lock_kept() {
        other->start(database);
        DatabaseLock lock;
        const QString mine = dir.filePath("mine.tsy");
        QCOMPARE(lock.acquire(mine), DatabaseLock::Outcome::Locked);
        QCOMPARE(lock.acquire(database), DatabaseLock::Outcome::HeldElsewhere);
        QCOMPARE(lock.holder().pid, other->process.processId());
        QCOMPARE(lock.holder().app_name, exe_name());
        QCOMPARE(lock.holder().host_name, QSysInfo::machineHostName());
        QCOMPARE(describe_holder(lock.holder()), QStringLiteral("process %1 (%2) on host %3")
                                                     .arg(other->process.processId())
                                                     .arg(exe_name(), QSysInfo::machineHostName()));
        // A refused Open or Save As leaves the database that is open locked.
        QVERIFY(lock.held());
        QCOMPARE(lock.database(), mine);
        QVERIFY(QFile::exists(lock_file_path(mine)));
    }

    void lock_goes_when_holder_closes_the_database() {
        other->start(database);
        other->close_database();
        QVERIFY(!QFile::exists(lock_file_path(database)));
        DatabaseLock lock;
        QCOMPARE(lock.acquire(database), DatabaseLock::Outcome::Locked);
        lock.release();
        QVERIFY(!lock.held());
        QVERIFY(!QFile::exists(lock_file_path(database)));
    }

    void stale_lock_of_crashed_process_taken_over() {
        other->start(database);
        other->crash();
        QVERIFY(QFile::exists(lock_file_path(database)));
        DatabaseLock lock;
        QCOMPARE(lock.acquire(database), DatabaseLock::Outcome::Locked);
        QCOMPARE(lock.database(), database);
    }

    // The form written for programs without Qt: pid, executable name and host name, one a line.
    void lock_file_is_plain_text() {
        DatabaseLock lock;
        QCOMPARE(lock.acquire(database), DatabaseLock::Outcome::Locked);
        QFile file(lock_file_path(database));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QVERIFY(lines.size() >= 4);
        QCOMPARE(lines[0], QByteArray::number(QCoreApplication::applicationPid()));
        QCOMPARE(QString::fromUtf8(lines[1]), exe_name());
        QCOMPARE(QString::fromUtf8(lines[2]), QSysInfo::machineHostName());
    }

    // A lock written the documented way with POSIX calls alone is honoured.
    void lock_written_without_qt_is_honoured() {
        const QByteArray path = QFile::encodeName(lock_file_path(database));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const QByteArray text = QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
                                exe_name().toUtf8() + '\n' + QSysInfo::machineHostName().toUtf8() +
                                '\n';
        QCOMPARE(::write(fd, text.constData(), size_t(text.size())), ssize_t(text.size()));
        DatabaseLock lock;
        QCOMPARE(lock.acquire(database), DatabaseLock::Outcome::HeldElsewhere);
        QCOMPARE(lock.holder().pid, QCoreApplication::applicationPid());
        ::close(fd);
    }

    // Where no lock file can be made nobody can hold the lock: the database opens unlocked.
    void folder_where_no_lock_file_can_be_made() {
        DatabaseLock lock;
        QCOMPARE(lock.acquire(dir.filePath("no such folder/keys.tsy")),
                 DatabaseLock::Outcome::Unavailable);
        QVERIFY(!lock.held());
    }
};

int main(int argc, char** argv) {
    if (int code = 0; run_as_lock_holder(argc, argv, code)) {
        return code;
    }
    QCoreApplication app(argc, argv);
    DatabaseLockTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "database_lock_test.moc"
