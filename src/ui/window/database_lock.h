// One window per database: while a database is open for writing, its program holds a lock file
// beside it, and a second program that finds the lock is told who holds it.
//
// The lock file of "/some/folder/keys.tsy" is "/some/folder/keys.tsy.lock". Every program that
// opens a database for writing takes it the same way, Qt or not (tessary-cli does it with
// POSIX calls alone):
//   - create it with open(path, O_WRONLY | O_CREAT | O_EXCL, 0666) and hold
//     flock(fd, LOCK_EX | LOCK_NB) on that descriptor until the database is closed;
//   - write plain text, one field per line, each ended by '\n': the holder's pid in decimal,
//     the base name of the holder's executable (what /proc/<pid>/exe points to, e.g. "tessary"
//     or "tessary-cli"), the host name (gethostname); then optionally the machine id
//     (/etc/machine-id) and the boot id (/proc/sys/kernel/random/boot_id) on two more lines;
//   - unlink it when the database is closed.
// A lock file that exists is stale — may be unlinked and then created afresh — when it names
// this host and either no process with its pid runs or that process runs another executable
// (the pid was reused). A lock file whose flock is still held is never stale. Locks do not go
// stale with age: a database may stay open for days.
#pragma once

#include <QString>

#include <memory>

class QLockFile;

// Who holds a lock, as its lock file says. pid 0 when the file could not be read.
struct LockHolder {
    qint64 pid = 0;
    QString host_name;
    QString app_name;
};

QString lock_file_path(const QString& database_path);
// "process 4711 (tessary) on host deskpc", for the message that offers a read-only open.
QString describe_holder(const LockHolder& holder);

class DatabaseLock {
  public:
    enum class Outcome {
        Locked,        // this program now holds the database
        HeldElsewhere, // another process holds it; holder() says which
        Unavailable,   // no lock file can be made there (a read-only folder): nobody can lock it
    };

    DatabaseLock();
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

    // Takes the lock of database_path, taking over a stale one. Only on Locked is a lock held
    // before released, so that a refused Open or Save As leaves the current database locked.
    Outcome acquire(const QString& database_path);
    void release();
    bool held() const { return lock_ != nullptr; }
    // The database whose lock is held; empty when none is.
    const QString& database() const { return database_; }
    // The holder found by the last acquire that gave HeldElsewhere.
    const LockHolder& holder() const { return holder_; }

  private:
    std::unique_ptr<QLockFile> lock_;
    QString database_;
    LockHolder holder_;
};
