// LocalStore's durability: the set of files and directories that this
// process created or changed since its last flush, and the flush itself,
// which writes exactly those to disk (never the whole file system, whose
// other dirty data may be large and belong to other programs): fdatasync of
// each file, then of each directory; and the image journal of -S, which
// the flush empties, with the replay of journals that dead processes left.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "index/studyindex.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/process.h"
#include "store/journal.h"
#include "store/localstore.h"
#include "store/studylock.h"

// Ordered sets: files are flushed before the directories that name them,
// and each path once however often it was changed. dirFd keeps the last
// directory flushed open (a series directory gets a new image after
// another): opening a path costs more than the flush of one block.
struct LocalStore::pendingSync {
    std::set<std::string> files;
    std::set<std::string> dirs;
    std::string dirPath;
    int dirFd = -1;

    ~pendingSync()
    {
        if (dirFd >= 0)
            close(dirFd);
    }
};

void LocalStore::noteChanged(const OFString &path, int isDir)
{
    if (!journalCovers)
        unjournaled = 1;
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

// Flushes the path through a new descriptor: 0 on disk or gone, -1 with
// errno set. A file is opened read-only: fdatasync needs no write access,
// and a flush through a new descriptor still reports a write-back error
// that no one has seen yet.
static int flushPath(const std::string &path, int isDir)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (isDir ? O_DIRECTORY : O_NOFOLLOW));
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    int rc = fdatasync(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

// fdatasync serves directories too: what names their files is their data;
// their times are not needed, and writing them would cost a write each.
int LocalStore::flushNoted(const char *path, int isDir)
{
    if (!isDir) {
        // The index file the write path holds is the very file its records
        // went into, even if a delete has moved it aside since.
        int held = heldIndexFd(path);
        return held >= 0 ? fdatasync(held) : flushPath(path, isDir);
    }
    pendingSync *p = pending;
    struct stat opened, named;
    // The directory still held is used only while the path names it (a
    // delete may have removed it and a store made it anew).
    if (p->dirFd >= 0 && p->dirPath == path && stat(path, &named) == 0 &&
        fstat(p->dirFd, &opened) == 0 && opened.st_ino == named.st_ino &&
        opened.st_dev == named.st_dev)
        return fdatasync(p->dirFd);
    if (p->dirFd >= 0)
        close(p->dirFd);
    p->dirFd = open(path, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    p->dirPath = p->dirFd >= 0 ? path : "";
    if (p->dirFd < 0)
        return errno == ENOENT ? 0 : -1;
    return fdatasync(p->dirFd);
}

int LocalStore::flushSet(int isDir)
{
    std::set<std::string> &set = isDir ? pending->dirs : pending->files;
    while (!set.empty()) {
        auto first = set.begin();
        if (flushNoted(first->c_str(), isDir) != 0) {
            logprintf(LOGLEVEL_ERROR, logStream, "Cannot flush %s to disk: %s\n", first->c_str(),
                      strerror(errno));
            return -1;
        }
        set.erase(first);
    }
    return 0;
}

int LocalStore::SyncWrites()
{
    // Data before names: once a directory entry is on disk, the file it
    // names is complete.
    if (pending != nullptr && (flushSet(0) != 0 || flushSet(1) != 0))
        return -1;
    unjournaled = 0;
    // Every image the journal holds is now on disk in the tree, with its
    // index records: the journal is emptied. A crash before that leaves the
    // images to be written again at the next start, as they are.
    journal *j = imageJournal;
    if (j != nullptr && j->end > 0) {
        if (j->broken) {
            logprintf(LOGLEVEL_ERROR, logStream, "Cannot empty %s after a failure.\n",
                      j->path.c_str());
            return -1;
        }
        if (journal_empty(j, logStream) != 0)
            return -1;
    }
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
    noteChanged(GetUidPath(study, series, image, 1), 0);
    noteImagePlaces(study, series);
    return LS_OK;
}

void LocalStore::NoteFlushedImage(const char *study, const char *series, const char *image)
{
    // An image this process wrote is noted still: its flush is done.
    if (pending != nullptr)
        pending->files.erase(GetUidPath(study, series, image, 1).c_str());
    noteImagePlaces(study, series);
}

void LocalStore::noteImagePlaces(const char *study, const char *series)
{
    // The index records that find the image and every directory on the way
    // from the base directory, written by this process or another.
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
}

journal *LocalStore::usableJournal()
{
    if (imageJournal == nullptr) {
        if (CreateUidPath(nullptr, nullptr) != LS_OK)
            return nullptr;
        imageJournal = new journal;
        OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
        journal_replayer replay = {replayImage, replayFlush, this};
        // A journal left by a dead process is written into the store before
        // this one takes its place.
        if (journal_take(uidDir.c_str(), imageJournal, &replay, logStream) != 0) {
            // The first image of a new store makes the directory: the next
            // one tries again.
            if (errno == ENOENT) {
                delete imageJournal;
                imageJournal = nullptr;
                return nullptr;
            }
            imageJournal->broken = 1;
        }
    }
    journal *j = imageJournal;
    if (j->fd < 0 || j->broken)
        return nullptr;
    // A full journal is emptied after a flush of what it holds.
    if (j->end >= JOURNAL_FULL && SyncWrites() != 0)
        return nullptr;
    return j;
}

int LocalStore::JournalHoldsAll()
{
    return imageJournal != nullptr && imageJournal->end > 0 && !imageJournal->broken &&
           !unjournaled;
}

// Non-zero when the file at path holds exactly the length bytes at bytes.
static int holdsBytes(const OFString &path, const unsigned char *bytes, size_t length)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    int same = fd >= 0 && fstat(fd, &st) == 0 && (size_t)st.st_size == length;
    unsigned char block[65536];
    for (size_t at = 0; same && at < length;) {
        size_t want = length - at < sizeof block ? length - at : sizeof block;
        same = fullio_pread(fd, block, want, (off_t)at) == (ssize_t)want &&
               memcmp(block, bytes + at, want) == 0;
        at += want;
    }
    if (fd >= 0)
        close(fd);
    return same;
}

int LocalStore::replayImage(void *arg, const char *study, const char *series, const char *image,
                            const unsigned char *bytes, size_t length)
{
    LocalStore *store = (LocalStore *)arg;
    FILE *log = store->logStream;
    if (store->CheckUid(study, "Study Instance UID") != LS_OK ||
        store->CheckUid(series, "Series Instance UID") != LS_OK ||
        store->CheckUid(image, "SOP Instance UID") != LS_OK)
        return -1;
    OFString target = store->GetUidPath(study, series, image, 1);
    OFString tmp;
    DcmFileFormat file;
    int result = -1;
    int placedNew = 0;
    int fd = -1;

    // Nearly always the image is in place already, as the record holds it
    // (the process died after its store, before the flush that empties the
    // journal): its records are written again, and no second copy is made,
    // which a full file system would refuse.
    if (holdsBytes(target, bytes, length)) {
        studylock lock;
        OFString uidDir = store->GetUidPath(nullptr, nullptr, nullptr, 1);
        if (file.loadFile(target.c_str()).good() &&
            studylock_acquire(&lock, uidDir.c_str(), study, log) == 0 &&
            store->indexImage(file.getDataset(), study, series) == LS_OK) {
            store->noteChanged(target, 0);
            store->noteImagePlaces(study, series);
            logprintf(LOGLEVEL_INFO, log, "Written from the journal: %s (in place)\n",
                      target.c_str());
            return 0;
        }
        logprintf(LOGLEVEL_ERROR, log, "Cannot enter %s in the index again.\n", target.c_str());
        return -1;
    }
    fd = store->openIncoming(&tmp);

    // The file is written whole and flushed under its temporary name, then
    // placed and entered in the index as a store is (placeImage, replacing
    // what is there): a crash on the way leaves what a killed store leaves,
    // and the journal, which the next start writes again.
    if (fd < 0)
        goto out;
    if (write_all(fd, bytes, length) != (ssize_t)length || fdatasync(fd) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot write %s: %s\n", tmp.c_str(), strerror(errno));
        unlink(tmp.c_str());
        goto out;
    }
    if (file.loadFile(tmp.c_str()).bad()) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot read back %s.\n", tmp.c_str());
        unlink(tmp.c_str());
        goto out;
    }
    if (store->placeImage(file.getDataset(), study, series, image, tmp, 1, &placedNew) != LS_OK)
        goto out;
    // A store that keeps the patient link tree gets the image's link again
    // too (an existing one stays).
    if (access((OFString(store->baseDir) + "/patient").c_str(), F_OK) == 0)
        store->WriteSymlinks(file.getDataset());
    logprintf(LOGLEVEL_INFO, log, "Written from the journal: %s\n", target.c_str());
    result = 0;
out:
    if (fd >= 0)
        close(fd);
    return result;
}

int LocalStore::replayFlush(void *arg)
{
    return ((LocalStore *)arg)->SyncWrites();
}

int LocalStore::ReplayJournals()
{
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    journal_replayer replay = {replayImage, replayFlush, this};
    return journal_replayAll(uidDir.c_str(), &replay, logStream);
}
