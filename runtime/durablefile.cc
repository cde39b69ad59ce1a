// Durable files: replacement through a temporary name, the shared flush of
// a directory, and the self-closing descriptor.
#include "runtime/durablefile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/fullio.h"
#include "runtime/process.h"

durable_fd::~durable_fd()
{
    close();
}

durable_fd &durable_fd::operator=(durable_fd &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int durable_fd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

int durable_fd::close()
{
    if (fd_ < 0)
        return 0;
    int fd = release();
    return ::close(fd);
}

// fdatasync serves directories: what names their files is their data;
// their times are not needed, and writing them would cost a write each.
int durable_flushDir(const char *dir)
{
    durable_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    if (fdatasync(fd.get()) != 0) {
        int saved = errno;
        fd.close();
        errno = saved;
        return -1;
    }
    return fd.close();
}

std::string durable_parent(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int durable_flushParent(const char *path)
{
    return durable_flushDir(durable_parent(path).c_str());
}

int durable_rename(const char *from, const char *to)
{
    if (rename(from, to) != 0)
        return -1;
    std::string fromDir = durable_parent(from), toDir = durable_parent(to);
    if (durable_flushDir(toDir.c_str()) != 0)
        return -1;
    return fromDir == toDir ? 0 : durable_flushDir(fromDir.c_str());
}

durable_file::~durable_file()
{
    abandon();
}

int durable_file::create(const std::string &path, mode_t mode, const std::string &tmp)
{
    abandon();
    path_ = path;
    tmp_ = tmp.empty() ? path + "." + std::to_string((long)process_pid()) + ".tmp" : tmp;
    flushed_ = placed_ = false;
    fd_ =
        durable_fd(open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    // The lock marks the temporary file as a live writer's until it is
    // placed or removed (durable_removeDeadTemps). A file that another
    // process removed as a dead writer's between the open and the lock has
    // no name left: that is a failure here, not a write into nothing.
    struct stat st;
    if (fd_.valid() && (flock(fd_.get(), LOCK_EX) != 0 || fstat(fd_.get(), &st) != 0 ||
                        (st.st_nlink == 0 && (errno = ENOENT, true)))) {
        int saved = errno;
        fd_.close();
        errno = saved;
    }
    return fd_.valid() ? 0 : -1;
}

int durable_file::write(const void *data, size_t len)
{
    if (len == 0)
        return 0;
    return fullio_write(fd_.get(), data, len) == (ssize_t)len ? 0 : -1;
}

// fsync, not fdatasync: the file is new, so its inode is written either
// way, and with it a mode or owner that the caller set.
int durable_file::flush()
{
    if (flushed_)
        return 0;
    if (!fd_.valid()) {
        errno = EBADF;
        return -1;
    }
    if (fsync(fd_.get()) != 0) {
        int saved = errno;
        fd_.close();
        errno = saved;
        return -1;
    }
    if (fd_.close() != 0)
        return -1;
    flushed_ = true;
    return 0;
}

int durable_file::commit()
{
    if (flush() != 0)
        return -1;
    if (rename(tmp_.c_str(), path_.c_str()) != 0)
        return -1;
    placed_ = true;
    return durable_flushParent(path_.c_str());
}

void durable_file::abandon()
{
    int saved = errno;
    fd_.close();
    if (!tmp_.empty() && !placed_)
        unlink(tmp_.c_str());
    tmp_.clear();
    errno = saved;
}

void durable_removeDeadTemps(const std::string &path)
{
    std::string dir = durable_parent(path);
    size_t slash = path.rfind('/');
    std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    for (struct dirent *de; (de = readdir(d)) != nullptr;) {
        const char *name = de->d_name;
        size_t n = strlen(name);
        if (n <= prefix.size() + 4 || strncmp(name, prefix.c_str(), prefix.size()) != 0 ||
            strcmp(name + n - 4, ".tmp") != 0)
            continue;
        std::string temp = dir + "/" + name;
        durable_fd fd(open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        // Unlocked: its writer is dead, whatever became of its pid (a
        // zombie keeps its pid but no longer its locks).
        if (fd.valid() && flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            unlink(temp.c_str());
    }
    closedir(d);
}
