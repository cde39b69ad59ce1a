// Durable files: the one way this system replaces a file (a new version
// under a temporary name beside it, flushed, renamed over the old name, its
// directory flushed), the flush of a directory that every writer shares,
// and a file descriptor that closes itself.
#ifndef VELTO_RUNTIME_DURABLEFILE_H
#define VELTO_RUNTIME_DURABLEFILE_H

#include <stddef.h>
#include <sys/types.h>

#include <string>

// Owns one descriptor (or none: -1) and closes it when it goes.
class durable_fd
{
public:
    durable_fd() = default;
    explicit durable_fd(int fd) : fd_(fd) {}
    ~durable_fd();
    durable_fd(const durable_fd &) = delete;
    durable_fd &operator=(const durable_fd &) = delete;
    durable_fd(durable_fd &&other) noexcept : fd_(other.release()) {}
    durable_fd &operator=(durable_fd &&other) noexcept;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller.
    int release();
    // Closes now: 0, or -1 with errno set (a write-back error that close
    // reports counts). The descriptor is gone either way.
    int close();

private:
    int fd_ = -1;
};

// Flushes a directory (its entries: the names of its files) to disk:
// 0, or -1 with errno set.
int durable_flushDir(const char *dir);

// Flushes the directory that holds path ("." for a bare name).
int durable_flushParent(const char *path);

// The directory part of path ("." for a bare name, "/" for "/name").
std::string durable_parent(const std::string &path);

// Renames from to to, then flushes the directory of to (and that of from,
// when it is another one, so that the old name is gone for good too).
// 0, or -1 with errno set.
int durable_rename(const char *from, const char *to);

// Removes the temporary files "PATH.*.tmp" beside path whose writers are
// dead: a durable_file holds a lock on its temporary file until it is
// placed or removed, so an unlocked one is left over.
void durable_removeDeadTemps(const std::string &path);

// A new version of the file at path. The caller writes the content through
// fd() or write(); commit() puts it in place. A crash
// - before the rename leaves the old file (or none) whole, and the
//   temporary file, which the next replacement overwrites;
// - after the rename leaves the new file whole (flushed before it got its
//   name); until the directory is flushed a power failure may still bring
//   back the old one, whole.
// A durable_file that is given up before commit() removes its temporary
// file: the old file stays as it was.
class durable_file
{
public:
    durable_file() = default;
    ~durable_file();
    durable_file(const durable_file &) = delete;
    durable_file &operator=(const durable_file &) = delete;

    // Creates (or empties) the temporary file, named tmp or by default
    // "PATH.PID.tmp", with the given mode. 0, or -1 with errno set.
    int create(const std::string &path, mode_t mode, const std::string &tmp = std::string());
    int fd() const { return fd_.get(); }
    const std::string &path() const { return path_; }
    const std::string &tempPath() const { return tmp_; }
    // Appends all len bytes: 0, or -1 with errno set.
    int write(const void *data, size_t len);
    // Flushes the temporary file to disk and closes it: 0, or -1 with errno
    // set. commit() does it when it has not been done.
    int flush();
    // Flushes (if not yet done), renames the temporary file over path and
    // flushes the directory: 0, or -1 with errno set. The temporary file is
    // removed when it did not get its place; a -1 from the directory's flush
    // comes after the rename (the new file is in place, but a power failure
    // may still bring back the old one).
    int commit();
    // Removes the temporary file (if it is still there).
    void abandon();

private:
    durable_fd fd_;
    std::string path_, tmp_;
    bool flushed_ = false, placed_ = false;
};

#endif
