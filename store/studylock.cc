// Study locks: byte-range locks of B/uid/STUDYLOCKS, one byte per study.
#include "store/studylock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/logprintf.h"

// Bytes of the lock file that studies are spread over (the file stays
// empty: a lock may lie past its end).
enum { STUDYLOCK_SLOTS = 65521 };

static unsigned long slotOf(const char *study)
{
    // FNV-1a: cheap, and spreads UIDs that differ only in their last digits.
    unsigned long h = 2166136261ul;
    for (const unsigned char *p = (const unsigned char *)study; *p != 0; p++)
        h = ((h ^ *p) * 16777619ul) & 0xfffffffful;
    return h % STUDYLOCK_SLOTS;
}

int studylock_acquire(studylock *lock, const char *uidDir, const char *study, FILE *log)
{
    std::string path = std::string(uidDir) + "/" STUDYLOCK_FILE;
    studylock_release(lock);
    // A descriptor of its own per lock: an open-file-description lock is
    // shared by every copy of its descriptor, so one inherited over a fork
    // would not keep parent and child apart.
    lock->fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (lock->fd < 0) {
        // ENOENT: no UID tree yet, which a delete takes as nothing to do.
        if (errno != ENOENT)
            logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    // Made by root (storeindex rebuild finishing a delete), the file goes to
    // the owner of the UID tree, or a server running as that user could not
    // open it for locking and would fail every store.
    struct stat file, dir;
    if (geteuid() == 0 && fstat(lock->fd, &file) == 0 && stat(uidDir, &dir) == 0 &&
        (file.st_uid != dir.st_uid || file.st_gid != dir.st_gid) &&
        fchown(lock->fd, dir.st_uid, dir.st_gid) != 0)
        logprintf(LOGLEVEL_WARNING, log, "Cannot hand %s to the owner of %s: %s\n", path.c_str(),
                  uidDir, strerror(errno));
    struct flock range;
    memset(&range, 0, sizeof range);
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = (off_t)slotOf(study);
    range.l_len = 1;
    int r;
    do
        r = fcntl(lock->fd, F_OFD_SETLKW, &range);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        int saved = errno;
        logprintf(LOGLEVEL_ERROR, log, "Cannot lock %s: %s\n", path.c_str(), strerror(saved));
        studylock_release(lock);
        errno = saved;
        return -1;
    }
    return 0;
}

void studylock_release(studylock *lock)
{
    if (lock->fd >= 0)
        close(lock->fd);
    lock->fd = -1;
}

studylock::~studylock()
{
    studylock_release(this);
}
