// One writer per database: the lock that every Tessary program takes on a database it opens for
// writing (the window and tessary-cli alike), in a form that a program without Tessary's code
// can take and honour with a few POSIX calls.
//
// The lock of "/some/folder/keys.tsy" is an open-file-description lock, fcntl(fd, F_OFD_SETLK)
// with a struct flock of l_type F_WRLCK, l_whence SEEK_SET, l_start 0, l_len 0 and l_pid 0,
// on its lock file "/some/folder/keys.tsy.lock", kept for as long as the database is open:
//   - open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode), with mode the
//     permission bits of the database file (never wider), and use it only when fstat says it is
//     a regular file;
//   - take the lock with F_OFD_SETLK; failing with EAGAIN or EACCES, another process holds the
//     database;
//   - check that the name still leads to the file locked (lstat against fstat: device and
//     inode), else a holder was removing it just then: close it and start again;
//   - write plain text over what was there (ftruncate, then write), one field per line, each
//     ended by '\n': the holder's pid in decimal, the base name of its executable (what
//     /proc/<pid>/exe points to, "tessary" or "tessary-cli") and the host name (gethostname).
//     These lines only name the holder in a message; they decide nothing;
//   - when the database is closed, unlink the lock file while still holding its lock, then
//     close it.
// So a lock file that no live process locks is stale whatever it holds (left by a crash, empty,
// garbage) and is simply taken. One the user may read but not write is tested with F_OFD_GETLK
// and, when nobody locks it, unlinked and made afresh.
//
// Where no lock file can be made or used (a folder the user may not write, a name taken by a
// link or by anything but a regular file), the same lock is taken on the database file itself,
// opened O_RDWR | O_NONBLOCK; and a holder of a lock file tests the database file with
// F_OFD_GETLK, so that the two kinds of holder exclude each other. Locks do not go stale with
// age: a database may stay open for days.
#pragma once

#include <string>

// Who holds a lock, as its lock file says; pid 0 when that cannot be told (a lock file that
// holds no such lines, or a lock on the database file itself).
struct LockHolder {
    long pid = 0;
    std::string app_name;
    std::string host_name;
};

std::string lock_file_path(const std::string& database_path);
// "process 4711 (tessary) on host deskpc", or "another process" when the holder is unknown.
std::string describe_holder(const LockHolder& holder);

class FileLock {
  public:
    enum class Outcome {
        Locked,        // this process now holds the database
        HeldElsewhere, // another process holds it; holder() says which, as far as known
        Unavailable,   // neither a lock file nor the database file itself can be locked
    };

    FileLock() = default;
    ~FileLock() { release(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock of database_path, taking over a stale one. Only on Locked is a lock held
    // before released, so that a refused Open or Save As leaves the current database locked.
    Outcome acquire(const std::string& database_path);
    void release();
    bool held() const { return fd_ >= 0; }
    // The database whose lock is held, as an absolute path; empty when none is.
    const std::string& database() const { return database_; }
    // The holder found by the last acquire that gave HeldElsewhere.
    const LockHolder& holder() const { return holder_; }

  private:
    int fd_ = -1;
    std::string database_;
    std::string lock_path_; // empty while the lock is on the database file itself
    LockHolder holder_;
};
