// LocalStore's durability: the set of files and directories that this
// process created or changed since its last flush, and the flush itself,
// which writes exactly those to disk (never the whole file system, whose
// other dirty data may be large and belong to other programs).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>

#include "index/studyindex.h"
#include "runtime/logprintf.h"
#include "store/localstore.h"

// Ordered sets: files are flushed before the directories that name them,
// and each path once however often it was changed.
struct LocalStore::pendingSync {
    std::set<std::string> files;
    std::set<std::string> dirs;
};

void LocalStore::noteChanged(const OFString &path, int isDir)
{
    if (pending == nullptr)
        pending = new pendingSync;
    (isDir ? pending->dirs : pending->files).insert(std::string(path.c_str()));
}

void LocalStore::noteParentChanged(const OFString &path)
{
    size_t slash = path.rfind('/');
    if (slash != OFString_npos && slash > 0)
        noteChanged(path.substr(0, slash), 1);
}

void LocalStore::dropPendingSync()
{
    delete pending;
    pending = nullptr;
}

// Flushes one path: 0 on disk or gone, -1 with errno set. A file is opened
// read-only: fdatasync needs no write access, and a flush through a new
// descriptor still reports a write-back error that no one has seen yet.
static int flushPath(const std::string &path, int isDir)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (isDir ? O_DIRECTORY : O_NOFOLLOW));
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    int rc = isDir ? fsync(fd) : fdatasync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

// Flushes every path of set, removing those done; stops at the first
// failure, which is logged and left in the set. 0, or -1.
static int flushSet(std::set<std::string> &set, int isDir, FILE *log)
{
    while (!set.empty()) {
        auto first = set.begin();
        if (flushPath(*first, isDir) != 0) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot flush %s to disk: %s\n", first->c_str(),
                      strerror(errno));
            return -1;
        }
        set.erase(first);
    }
    return 0;
}

int LocalStore::SyncWrites()
{
    if (pending == nullptr)
        return 0;
    // Data before names: once a directory entry is on disk, the file it
    // names is complete.
    if (flushSet(pending->files, 0, logStream) != 0 || flushSet(pending->dirs, 1, logStream) != 0)
        return -1;
    return 0;
}

int LocalStore::SyncImage(const char *study, const char *series, const char *image)
{
    if (NoteImage(study, series, image) != LS_OK)
        return LS_MISSING;
    return SyncWrites() == 0 ? LS_OK : -1;
}

int LocalStore::NoteImage(const char *study, const char *series, const char *image)
{
    if (HaveFile(study, series, image) != LS_OK)
        return LS_MISSING;
    // The image, the index records that find it and every directory on the
    // way from the base directory, written by this process or another.
    noteChanged(GetUidPath(study, series, image, 1), 0);
    noteChanged(GetUidIndexPath(study, series) + ".dat", 0);
    noteChanged(GetUidIndexPath(study, nullptr) + ".dat", 0);
    OFString stem = GetUidIndexPath(nullptr, nullptr);
    noteChanged(stem + ".hash", 0);
    noteChanged(stem + ".dat", 0);
    OFString dir = GetUidPath(study, series, nullptr, 1);
    OFString top = GetUidPath(nullptr, nullptr, nullptr, 1);
    while (dir.length() >= top.length()) {
        noteChanged(dir, 1);
        size_t slash = dir.rfind('/');
        if (slash == OFString_npos || slash == 0)
            break;
        dir = dir.substr(0, slash);
    }
    return LS_OK;
}
