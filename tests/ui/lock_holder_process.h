// A second program that holds a database's lock: the test binary itself, started again with
// "--hold-lock <database>". It keeps the lock until its standard input closes.
#pragma once

#include "platform/file_lock.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <cstring>

// Call first in main(): runs the holder when the binary was started as one.
inline bool run_as_lock_holder(int argc, char** argv, int& exit_code) {
    if (argc != 3 || std::strcmp(argv[1], "--hold-lock") != 0) {
        return false;
    }
    FileLock lock;
    const bool locked = lock.acquire(argv[2]) == FileLock::Outcome::Locked;
    std::printf("%s\n", locked ? "locked" : "refused");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    exit_code = locked ? 0 : 1;
    return true;
}

struct LockHolderProcess {
    QProcess process;

    ~LockHolderProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    // Returns once the other process holds the lock.
    void start(const QString& database) {
        process.start(QCoreApplication::applicationFilePath(), {"--hold-lock", database});
        QVERIFY(process.waitForStarted());
        QVERIFY(process.waitForReadyRead(10000));
        QCOMPARE(process.readAllStandardOutput().trimmed(), QByteArray("locked"));
    }
    // As when the other window closes its database.
    void close_database() {
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 0);
    }
    // As when the other program crashes.
    void crash() {
        process.kill();
        QVERIFY(process.waitForFinished());
    }
};
