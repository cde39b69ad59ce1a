// File helpers: directory creation and whole-file advisory locks.
#ifndef VELTO_RUNTIME_VLCOMPAT_H
#define VELTO_RUNTIME_VLCOMPAT_H

#include <sys/types.h>

// Returns the result of mkdir(path, mode).
int VLCompat_mkdir(const char *path, mode_t mode);

// Takes (F_RDLCK, F_WRLCK) or releases (F_UNLCK) a POSIX record lock over the
// whole file, however it grows, waiting for it (F_SETLKW). Returns the result
// of fcntl: 0, or -1 with errno set. The lock belongs to the process.
int VLCompat_LockWholeFile(int fd, int type);

#endif
