// Study locks: byte-range locks of B/uid/STUDYLOCKS, one byte per study.
#include "store/studylock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "runtime/logprintf.h"
#include "runtime/process.h"

// Bytes of the lock file that studies are spread over (the file stays
// empty: a lock may lie past its end). The byte after them is a running
// backup's (studylock_tryBackup).
enum { STUDYLOCK_SLOTS = 65521 };

static unsigned long slotOf(const char *study)
{
    // FNV-1a: cheap, and spreads UIDs that differ only in their last digits.
    unsigned long h = 2166136261ul;
    for (const unsigned char *p = (const unsigned char *)study; *p != 0; p++)
        h = ((h ^ *p) * 16777619ul) & 0xfffffffful;
    return h % STUDYLOCK_SLOTS;
}

off_t studylock_slot(const char *study)
{
    return (off_t)slotOf(study);
}

// file's descriptor of the lock file at path, opened when file has none
// for it in this process.
static int lockFile(studylock_file *file, const std::string &path, const std::string &uidDir,
                    FILE *log)
{
    if (file->fd >= 0 && file->pid == process_pid() && file->path == path)
        return file->fd;
    // The parent's descriptor stays open in a child (closing it there would
    // end nothing, the parent holds it too); a descriptor for another
    // directory is done with.
    if (file->fd >= 0 && file->pid == process_pid())
        close(file->fd);
    file->fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    file->pid = process_pid();
    file->path = path;
    int heldFd = file->fd;
    // Made by root (storeindex rebuild finishing a delete), the file goes to
    // the owner of the UID tree, or a server running as that user could not
    // open it for locking and would fail every store.
    struct stat made, dir;
    if (heldFd >= 0 && geteuid() == 0 && fstat(heldFd, &made) == 0 &&
        stat(uidDir.c_str(), &dir) == 0 &&
        (made.st_uid != dir.st_uid || made.st_gid != dir.st_gid) &&
        fchown(heldFd, dir.st_uid, dir.st_gid) != 0)
        logprintf(LOGLEVEL_WARNING, log, "Cannot hand %s to the owner of %s: %s\n", path.c_str(),
                  uidDir.c_str(), strerror(errno));
    return heldFd;
}

static int setRange(int fd, short type, off_t slot, off_t length = 1, bool wait = true)
{
    struct flock range;
    memset(&range, 0, sizeof range);
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = slot;
    range.l_len = length;
    int r;
    do
        r = fcntl(fd, type == F_UNLCK || !wait ? F_OFD_SETLK : F_OFD_SETLKW, &range);
    while (r != 0 && errno == EINTR);
    return r;
}

static double monotonicSeconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Locks the bytes [start, end) of fd, waiting for their holders until the
// deadline (monotonic seconds): 0, or -1 (errno set, ETIMEDOUT). Tried
// every millisecond: a study lock is held for one image's placing.
static int lockUntil(int fd, off_t start, off_t end, double deadline)
{
    while (setRange(fd, F_WRLCK, start, end - start, false) != 0) {
        if (errno != EAGAIN && errno != EACCES)
            return -1;
        if (monotonicSeconds() >= deadline) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct timespec pause = {0, 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

// Locks the bytes [from, to) of fd in ascending order (studylock_acquireAll):
// what is free at once in one step; below a byte another holds, the rest
// first, then that byte, waiting for it until the deadline. 0, or -1
// (errno set).
static int lockAscending(int fd, off_t from, off_t to, double deadline)
{
    while (from < to) {
        if (setRange(fd, F_WRLCK, from, to - from, false) == 0)
            return 0;
        if (errno != EAGAIN && errno != EACCES)
            return -1;
        struct flock held;
        memset(&held, 0, sizeof held);
        held.l_type = F_WRLCK;
        held.l_whence = SEEK_SET;
        held.l_start = from;
        held.l_len = to - from;
        if (fcntl(fd, F_OFD_GETLK, &held) != 0)
            return -1;
        // Let go between the two calls: the next turn takes it.
        if (held.l_type == F_UNLCK)
            continue;
        off_t start = held.l_start > from ? held.l_start : from;
        off_t end =
            held.l_len == 0 || held.l_start + held.l_len > to ? to : held.l_start + held.l_len;
        // The conflict found need not be the lowest: the bytes below it
        // first (a smaller range each time, so this ends).
        if (start > from && lockAscending(fd, from, start, deadline) != 0)
            return -1;
        if (lockUntil(fd, start, end, deadline) != 0)
            return -1;
        from = end;
    }
    return 0;
}

// Lets lock go and opens the store's lock file for a new lock (path set
// for the log lines): its descriptor, or -1 (errno set; logged unless
// ENOENT: no UID tree yet, which a delete takes as nothing to do).
static int openForLock(studylock_file *file, studylock *lock, const char *uidDir, FILE *log,
                       std::string *path)
{
    *path = std::string(uidDir) + "/" STUDYLOCK_FILE;
    studylock_release(lock);
    int fd = lockFile(file, *path, uidDir, log);
    if (fd < 0 && errno != ENOENT) {
        int saved = errno;
        logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", path->c_str(), strerror(saved));
        errno = saved;
    }
    return fd;
}

int studylock_acquire(studylock_file *file, studylock *lock, const char *uidDir, const char *study,
                      FILE *log)
{
    std::string path;
    int fd = openForLock(file, lock, uidDir, log, &path);
    if (fd < 0)
        return -1;
    off_t slot = (off_t)slotOf(study);
    if (setRange(fd, F_WRLCK, slot) != 0) {
        int saved = errno;
        logprintf(LOGLEVEL_ERROR, log, "Cannot lock %s: %s\n", path.c_str(), strerror(saved));
        errno = saved;
        return -1;
    }
    lock->fd = fd;
    lock->slot = slot;
    lock->length = 1;
    return 0;
}

int studylock_acquireAll(studylock_file *file, studylock *lock, const char *uidDir, FILE *log,
                         double waitSeconds)
{
    std::string path;
    int fd = openForLock(file, lock, uidDir, log, &path);
    if (fd < 0)
        return -1;
    if (lockAscending(fd, 0, STUDYLOCK_SLOTS, monotonicSeconds() + waitSeconds) != 0) {
        int saved = errno;
        // What was taken on the way is let go again.
        setRange(fd, F_UNLCK, 0, STUDYLOCK_SLOTS);
        logprintf(LOGLEVEL_ERROR, log, "Cannot lock %s: %s\n", path.c_str(), strerror(saved));
        errno = saved;
        return -1;
    }
    lock->fd = fd;
    lock->slot = 0;
    lock->length = STUDYLOCK_SLOTS;
    return 0;
}

int studylock_tryBackup(studylock_file *file, studylock *lock, const char *uidDir, FILE *log)
{
    std::string path;
    int fd = openForLock(file, lock, uidDir, log, &path);
    if (fd < 0)
        return -1;
    if (setRange(fd, F_WRLCK, STUDYLOCK_SLOTS, 1, false) != 0) {
        if (errno == EAGAIN || errno == EACCES)
            return 1;
        int saved = errno;
        logprintf(LOGLEVEL_ERROR, log, "Cannot lock %s: %s\n", path.c_str(), strerror(saved));
        errno = saved;
        return -1;
    }
    lock->fd = fd;
    lock->slot = STUDYLOCK_SLOTS;
    lock->length = 1;
    return 0;
}

void studylock_release(studylock *lock)
{
    // Unlocking a range that is locked cannot fail for want of resources.
    if (lock->fd >= 0)
        setRange(lock->fd, F_UNLCK, lock->slot, lock->length);
    lock->fd = -1;
    lock->length = 1;
}

studylock::~studylock()
{
    studylock_release(this);
}

studylock_file::~studylock_file()
{
    // A child's copy of its parent's descriptor may go too: the parent's
    // stays open, and with it the parent's locks.
    if (fd >= 0)
        close(fd);
}
