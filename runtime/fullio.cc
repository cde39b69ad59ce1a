// Full-transfer read and write helpers for record I/O.
#include "runtime/fullio.h"

#include <errno.h>
#include <unistd.h>

// Which system call one transfer step makes.
enum Transfer { kRead, kWrite, kPread, kPwrite };

static ssize_t fullio_step(enum Transfer how, int fd, char *p, size_t len, off_t off)
{
    switch (how) {
    case kRead:
        return read(fd, p, len);
    case kWrite:
        return write(fd, p, len);
    case kPread:
        return pread(fd, p, len, off);
    case kPwrite:
        return pwrite(fd, p, len, off);
    }
    return -1;
}

// Repeats the step until len bytes moved, end of file (reads) or an error;
// EINTR is retried.
static ssize_t fullio_transfer(enum Transfer how, int fd, char *p, size_t len, off_t off)
{
    const bool writing = how == kWrite || how == kPwrite;
    size_t done = 0;
    while (done < len) {
        ssize_t n = fullio_step(how, fd, p + done, len - done, off + (off_t)done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0 && !writing)
            break;
        // A write that moves nothing makes no progress: the medium is full.
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        done += (size_t)n;
    }
    return (ssize_t)done;
}

ssize_t fullio_write(int fd, const void *buf, size_t len)
{
    return fullio_transfer(kWrite, fd, (char *)buf, len, 0);
}

ssize_t fullio_read(int fd, void *buf, size_t len)
{
    return fullio_transfer(kRead, fd, (char *)buf, len, 0);
}

ssize_t fullio_pwrite(int fd, const void *buf, size_t len, off_t off)
{
    return fullio_transfer(kPwrite, fd, (char *)buf, len, off);
}

ssize_t fullio_pread(int fd, void *buf, size_t len, off_t off)
{
    return fullio_transfer(kPread, fd, (char *)buf, len, off);
}
