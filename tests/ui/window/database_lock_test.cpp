// The lock beside a database: a second holder in another process is reported with its pid,
// program and host; a lock that no live process holds is taken over whatever its file holds;
// where no lock file can be made the database file carries the lock; the lock file follows the
// form that programs without Tessary's code take and honour too.
#include "platform/file_lock.h"

#include "ui/lock_holder_process.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace {

std::string exe_name() {
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
}

std::string host_name() {
    return QSysInfo::machineHostName().toStdString();
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

class DatabaseLockTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::string database;
    std::unique_ptr<LockHolderProcess> other;

    std::string path(const char* name) { return dir.filePath(name).toStdString(); }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        database = path("door list.tsy");
        other = std::make_unique<LockHolderProcess>();
    }
    void cleanup() {
        other.reset();
        QFile::remove(QString::fromStdString(lock_file_path(database)));
        QFile::remove(QString::fromStdString(database));
    }

    void second_holder_is_named_and_current_lock_kept() {
        other->start(QString::fromStdString(database));
        FileLock lock;
        const std::string mine = path("mine.tsy");
        QCOMPARE(lock.acquire(mine), FileLock::Outcome::Locked);
        QCOMPARE(lock.acquire(database), FileLock::Outcome::HeldElsewhere);
        QCOMPARE(lock.holder().pid, long(other->process.processId()));
        QCOMPARE(lock.holder().app_name, exe_name());
        QCOMPARE(lock.holder().host_name, host_name());
        QCOMPARE(describe_holder(lock.holder()),
                 "process " + std::to_string(other->process.processId()) + " (" + exe_name() +
                     ") on host " + host_name());
        // A refused Open or Save As leaves the database that is open locked.
        QVERIFY(lock.held());
        QCOMPARE(lock.database(), mine);
        QVERIFY(QFile::exists(QString::fromStdString(lock_file_path(mine))));
    }

    void lock_goes_when_holder_closes_the_database() {
        other->start(QString::fromStdString(database));
        other->close_database();
        QVERIFY(!QFile::exists(QString::fromStdString(lock_file_path(database))));
        FileLock lock;
        QCOMPARE(lock.acquire(database), FileLock::Outcome::Locked);
        lock.release();
        QVERIFY(!lock.held());
        QVERIFY(!QFile::exists(QString::fromStdString(lock_file_path(database))));
    }

    void stale_lock_of_crashed_process_taken_over() {
        other->start(QString::fromStdString(database));
        other->crash();
        QVERIFY(QFile::exists(QString::fromStdString(lock_file_path(database))));
        FileLock lock;
        QCOMPARE(lock.acquire(database), FileLock::Outcome::Locked);
        QCOMPARE(lock.database(), database);
    }

    // No live process locks it: the text decides nothing, not even a live pid of this program.
    void unlocked_lock_file_taken_over_whatever_it_holds_data() {
        QTest::addColumn<std::string>("text");
        QTest::newRow("empty") << std::string();
        QTest::newRow("garbage") << std::string("\x7f"
                                                "ELF\x02\x01\n\0\0 zz\n",
                                                12);
        QTest::newRow("this live process")
            << std::to_string(::getpid()) + "\n" + exe_name() + "\n" + host_name() + "\n";
    }
    void unlocked_lock_file_taken_over_whatever_it_holds() {
        QFETCH(std::string, text);
        std::ofstream(lock_file_path(database), std::ios::binary) << text;
        FileLock lock;
        QCOMPARE(lock.acquire(database), FileLock::Outcome::Locked);
        QCOMPARE(
            read_text(lock_file_path(database)).substr(0, 1 + std::to_string(::getpid()).size()),
            std::to_string(::getpid()) + "\n");
    }

    void live_holder_honoured_whatever_its_lock_file_holds() {
        other->start(QString::fromStdString(database));
        std::ofstream(lock_file_path(database), std::ios::binary | std::ios::trunc) << "zz\n";
        FileLock lock;
        QCOMPARE(lock.acquire(database), FileLock::Outcome::HeldElsewhere);
        QCOMPARE(describe_holder(lock.holder()), std::string("another process"));
    }

    // The form written for other programs: pid, executable name and host name, one a line.
    void lock_file_is_plain_text() {
        FileLock lock;
        QCOMPARE(lock.acquire(database), FileLock::Outcome::Locked);
        QCOMPARE(read_text(lock_file_path(database)),
                 std::to_string(::getpid()) + "\n" + exe_name() + "\n" + host_name() + "\n");
    }

    // A lock taken the documented way with POSIX calls alone is honoured.
    void lock_taken_without_tessary_is_honoured() {
        const int fd = ::open(lock_file_path(database).c_str(), O_RDWR | O_CREAT, 0600);
        QVERIFY(fd >= 0);
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        QCOMPARE(::fcntl(fd, F_OFD_SETLK, &range), 0);
        const std::string text = "4711\nkeytool\n" + host_name() + "\n";
        QCOMPARE(::write(fd, text.data(), text.size()), ssize_t(text.size()));
        FileLock lock;
        QCOMPARE(lock.acquire(database), FileLock::Outcome::HeldElsewhere);
        QCOMPARE(describe_holder(lock.holder()), "process 4711 (keytool) on host " + host_name());
        ::close(fd);
    }

    // Neither followed nor wider than the database: a 600 database gets a 600 lock file, and a
    // link planted at its name is left alone while the database file carries the lock.
    void lock_file_never_followed_nor_wider() {
        std::ofstream(database) << "KEY\t000001\tOne\t\t\r\n";
        QCOMPARE(::chmod(database.c_str(), 0600), 0);
        {
            FileLock lock;
            QCOMPARE(lock.acquire(database), FileLock::Outcome::Locked);
            struct stat st {};
            QCOMPARE(::stat(lock_file_path(database).c_str(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0600u);
        }
        const std::string victim = path("victim");
        std::ofstream(victim) << "mine\n";
        QCOMPARE(::symlink(victim.c_str(), lock_file_path(database).c_str()), 0);
        FileLock lock;
        QCOMPARE(lock.acquire(database), FileLock::Outcome::Locked);
        FileLock second;
        QCOMPARE(second.acquire(database), FileLock::Outcome::HeldElsewhere);
        QCOMPARE(read_text(victim), std::string("mine\n"));
    }

    // Where neither a lock file nor the database can be locked nobody can hold the lock.
    void folder_where_nothing_can_be_locked() {
        FileLock lock;
        QCOMPARE(lock.acquire(path("no such folder/keys.tsy")), FileLock::Outcome::Unavailable);
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
