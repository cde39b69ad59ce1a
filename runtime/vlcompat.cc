// File helpers: directory creation and whole-file advisory locks.
#include "runtime/vlcompat.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

int VLCompat_mkdir(const char *path, mode_t mode)
{
    return mkdir(path, mode);
}

int VLCompat_LockWholeFile(int fd, int type)
{
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = (short)type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end of the file, however it grows
    return fcntl(fd, F_SETLKW, &lock);
}

int VLCompat_LockDescription(int fd, int type)
{
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = (short)type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = 0; // required of a description's lock
    return fcntl(fd, F_OFD_SETLKW, &lock);
}
