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

// The same for a lock that belongs to fd's open file description instead
// (F_OFD_SETLKW): for readers that run in several threads of one process.
// A process's locks are one lock per file: one thread's unlock, or its
// close of any descriptor of the file, would end the lock another thread
// holds for a read in progress, letting a writer of another process in.
// Such locks conflict with the process locks of every process (this one
// included: never take one on a file this process holds a write lock on).
int VLCompat_LockDescription(int fd, int type);

#endif
