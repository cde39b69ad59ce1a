// Full-transfer I/O for records: retries short transfers and EINTR.
#ifndef VELTO_RUNTIME_FULLIO_H
#define VELTO_RUNTIME_FULLIO_H

#include <sys/types.h>

// Writes all len bytes. Returns len, or -1 on error (errno set; some bytes
// may have been written).
ssize_t fullio_write(int fd, const void *buf, size_t len);

// Reads until len bytes or end of file. Returns the bytes read (fewer than
// len only at end of file), or -1 on error.
ssize_t fullio_read(int fd, void *buf, size_t len);

// As fullio_write and fullio_read, at offset off; the file offset is left
// unchanged.
ssize_t fullio_pwrite(int fd, const void *buf, size_t len, off_t off);
ssize_t fullio_pread(int fd, void *buf, size_t len, off_t off);

#endif
