// Study locks: byte-range locks of B/uid/STUDYLOCKS, one byte per study.
#include "store/studylock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/logprintf.h"
#include "runtime/process.h"

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

static int setRange(int fd, short type, off_t slot)
{
    struct flock range;
    memset(&range, 0, sizeof range);
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = slot;
    range.l_len = 1;
    int r;
    do
        r = fcntl(fd, type == F_UNLCK ? F_OFD_SETLK : F_OFD_SETLKW, &range);
    while (r != 0 && errno == EINTR);
    return r;
}

int studylock_acquire(studylock_file *file, studylock *lock, const char *uidDir, const char *study,
                      FILE *log)
{
    std::string path = std::string(uidDir) + "/" STUDYLOCK_FILE;
    studylock_release(lock);
    int fd = lockFile(file, path, uidDir, log);
    if (fd < 0) {
        // ENOENT: no UID tree yet, which a delete takes as nothing to do.
        if (errno != ENOENT)
            logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    off_t slot = (off_t)slotOf(study);
    if (setRange(fd, F_WRLCK, slot) != 0) {
        int saved = errno;
        logprintf(LOGLEVEL_ERROR, log, "Cannot lock %s: %s\n", path.c_str(), strerror(saved));
        errno = saved;
        return -1;
    }
    lock->fd = fd;
    lock->slot = slot;
    return 0;
}

void studylock_release(studylock *lock)
{
    // Unlocking a range that is locked cannot fail for want of resources.
    if (lock->fd >= 0)
        setRange(lock->fd, F_UNLCK, lock->slot);
    lock->fd = -1;
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
