// The database lock of tessary-cli, in the form every Tessary program uses (the window takes it
// through its own lock class): FILE.tsy.lock beside the database, created exclusively, held by
// flock, holding the holder's pid, executable name and host name, one per line.
#pragma once

#include <string>

struct LockFileHolder {
    long pid = 0; // 0 when the lock file could not be read
    std::string app_name;
    std::string host_name;
};

// "process 4711 (tessary) on host deskpc"
std::string describe_holder(const LockFileHolder& holder);

class DatabaseLockFile {
  public:
    enum class Outcome {
        Locked,        // this process now holds the database
        HeldElsewhere, // another process holds it; holder() says which
        Unavailable,   // no lock file can be made there (a read-only folder): nobody can lock it
    };

    DatabaseLockFile() = default;
    ~DatabaseLockFile() { release(); }
    DatabaseLockFile(const DatabaseLockFile&) = delete;
    DatabaseLockFile& operator=(const DatabaseLockFile&) = delete;

    // Takes the lock of database_path, taking over a stale one.
    Outcome acquire(const std::string& database_path);
    void release();
    bool held() const { return fd_ >= 0; }
    const LockFileHolder& holder() const { return holder_; }

  private:
    int fd_ = -1;
    std::string path_;
    LockFileHolder holder_;
};
