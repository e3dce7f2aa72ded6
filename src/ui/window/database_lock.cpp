#include "ui/window/database_lock.h"

#include <QFileInfo>
#include <QLockFile>

QString lock_file_path(const QString& database_path) {
    return database_path + QStringLiteral(".lock");
}

QString describe_holder(const LockHolder& holder) {
    if (holder.pid == 0) {
        return QStringLiteral("an unknown process");
    }
    QString text = QStringLiteral("process %1").arg(holder.pid);
    if (!holder.app_name.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(holder.app_name);
    }
    if (!holder.host_name.isEmpty()) {
        text += QStringLiteral(" on host %1").arg(holder.host_name);
    }
    return text;
}

DatabaseLock::DatabaseLock() = default;

DatabaseLock::~DatabaseLock() = default;

DatabaseLock::Outcome DatabaseLock::acquire(const QString& database_path) {
    const QString wanted = QFileInfo(database_path).absoluteFilePath();
    if (lock_ && wanted == database_) {
        return Outcome::Locked;
    }
    auto lock = std::make_unique<QLockFile>(lock_file_path(wanted));
    // Staleness by age would hand a database that has been open for an hour to a second window.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        lock_ = std::move(lock);
        database_ = wanted;
        return Outcome::Locked;
    }
    if (lock->error() != QLockFile::LockFailedError) {
        return Outcome::Unavailable;
    }
    holder_ = {};
    if (!lock->getLockInfo(&holder_.pid, &holder_.host_name, &holder_.app_name)) {
        holder_ = {};
    }
    return Outcome::HeldElsewhere;
}

void DatabaseLock::release() {
    lock_.reset();
    database_.clear();
}
