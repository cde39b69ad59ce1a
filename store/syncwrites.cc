// LocalStore's durability: the set of files and directories that this
// process created or changed since its last flush, and the flush itself,
// which writes exactly those to disk (never the whole file system, whose
// other dirty data may be large and belong to other programs): fdatasync of
// each file, then of each directory; the flusher threads, which flush
// image files as they are stored; the work done ahead between two
// commands; and the image journal of -S, which the flush empties, with the
// replay of journals that dead processes left.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "index/studyindex.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/process.h"
#include "store/checksums.h"
#include "store/journal.h"
#include "store/localstore.h"
#include "store/studylock.h"

// Ordered sets: files are flushed before the directories that name them,
// and each path once however often it was changed. dirFd keeps the last
// directory flushed open (a series directory gets a new image after
// another): opening a path costs more than the flush of one block.
// held keeps the descriptors that image files were written through, up to
// HELD_MAX of them, so that the flush needs neither an open nor a close of
// its own per image.
struct LocalStore::pendingSync {
    enum { HELD_MAX = 256 };
    std::set<std::string> files;
    std::set<std::string> dirs;
    std::map<std::string, int> held;
    std::string dirPath;
    int dirFd = -1;

    ~pendingSync()
    {
        if (dirFd >= 0)
            close(dirFd);
        for (auto &h : held)
            close(h.second);
    }
};

// The flusher: threads that flush the image files handed to them, through
// the descriptors they were written by, about in the order they were
// stored, while the process goes on receiving; the flush at the association's end
// then finds them done (drainFlusher waits for the rest). Each fdatasync
// ends with a flush of the disk's cache, a round trip that a busy disk
// makes long: THREADS of them wait at once, and the block layer serves
// the cache flushes that wait together with one. With setSyncEachImage
// only the images the journal holds, after their record's flush: the
// journal's flush comes first, and the tree's after it.
// The threads belong to the process that made them: a child of a fork has
// none, and makes its own.
struct LocalStore::flusher {
    enum {
        THREADS = 4,
        QUEUE_MAX = 4096 // beyond: the file is flushed at the end by name
    };
    std::mutex m;
    std::condition_variable work, idle;
    std::deque<std::pair<std::string, int>> queue;
    std::vector<std::string> flushed; // done, for drainFlusher to take off the list
    int busy = 0;                     // files taken off the queue and being flushed
    bool stop = false;
    int failed = 0; // errno of the first failed flush since the last drain
    std::string failedPath;
    std::vector<std::thread> threads;
    int pid = 0;
};

void LocalStore::runFlusher(flusher *f)
{
    std::unique_lock<std::mutex> lock(f->m);
    for (;;) {
        f->work.wait(lock, [f] { return f->stop || !f->queue.empty(); });
        if (f->queue.empty())
            break;
        std::pair<std::string, int> file = f->queue.front();
        f->queue.pop_front();
        f->busy++;
        lock.unlock();
        // The file's writeback (what of it the kernel has not begun) and
        // the disk cache's flush: the waits that the release is spared.
        int rc = fdatasync(file.second);
        int saved = errno;
        close(file.second);
        lock.lock();
        f->busy--;
        if (rc == 0)
            f->flushed.push_back(file.first);
        else if (f->failed == 0) {
            f->failed = saved;
            f->failedPath = file.first;
        }
        if (f->queue.empty() && f->busy == 0)
            f->idle.notify_all();
    }
}

// Hands fd (written as path) to the flusher, made at the first call: true
// when it took it.
bool LocalStore::handToFlusher(const std::string &path, int fd)
{
    if (flush != nullptr && flush->pid != process_pid())
        flush = nullptr; // the parent's, inherited by a fork: no thread here
    if (flush == nullptr) {
        flusher *f = new flusher;
        f->pid = process_pid();
        // The thread takes no signals: they go to the thread that waits
        // for the peer (the alarm, a stop), as before it existed.
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved);
        try {
            for (int k = 0; k < flusher::THREADS; k++)
                f->threads.emplace_back(runFlusher, f);
        } catch (const std::system_error &) {
            // Fewer threads serve as well, only slower; none: the files
            // are flushed at the end.
            if (f->threads.empty())
                logprintf(LOGLEVEL_WARNING, logStream,
                          "No flusher thread: images are flushed at the end.\n");
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        if (f->threads.empty()) {
            delete f;
            return false;
        }
        flush = f;
    }
    {
        std::lock_guard<std::mutex> lock(flush->m);
        if (flush->queue.size() >= flusher::QUEUE_MAX)
            return false;
        flush->queue.emplace_back(path, fd);
    }
    // Woken after the unlock, a thread does not wait for the mutex at once.
    flush->work.notify_one();
    return true;
}

int LocalStore::drainFlusher()
{
    flusher *f = flush;
    if (f == nullptr || f->pid != process_pid())
        return 0;
    std::unique_lock<std::mutex> lock(f->m);
    f->idle.wait(lock, [f] { return f->queue.empty() && f->busy == 0; });
    for (const std::string &path : f->flushed)
        if (pending != nullptr)
            pending->files.erase(path);
    f->flushed.clear();
    if (f->failed == 0)
        return 0;
    // The file stays noted: a later call flushes it again by name.
    logprintf(LOGLEVEL_ERROR, logStream, "Cannot flush %s to disk: %s\n", f->failedPath.c_str(),
              strerror(f->failed));
    errno = f->failed;
    f->failed = 0;
    return -1;
}

void LocalStore::stopFlusher()
{
    flusher *f = flush;
    flush = nullptr;
    // A fork's inherited copy has no thread to end: it is left as it is.
    if (f == nullptr || f->pid != process_pid())
        return;
    {
        std::lock_guard<std::mutex> lock(f->m);
        f->stop = true;
        f->work.notify_all();
    }
    for (std::thread &t : f->threads)
        t.join();
    delete f;
}

void LocalStore::noteChanged(const OFString &path, int isDir)
{
    if (!journalCovers)
        unjournaled = 1;
    if (pending == nullptr)
        pending = new pendingSync;
    (isDir ? pending->dirs : pending->files).insert(std::string(path.c_str()));
}

int LocalStore::noteWritten(const OFString &path, int fd)
{
    noteChanged(path, 0);
    // With -S an image is handed over only once its journal record is on
    // disk (journalCovers): the tree's copy is then flushed while the next
    // images come, and the flush of the tree that empties a full journal,
    // or follows the release, finds it done.
    if ((!syncEachImage || journalCovers) && handToFlusher(std::string(path.c_str()), fd))
        return 0;
    std::map<std::string, int> &held = pending->held;
    auto known = held.find(std::string(path.c_str()));
    if (known != held.end()) {
        // The same image again (replaced): the newer file is the one named.
        close(known->second);
        held.erase(known);
    }
    if (held.size() >= pendingSync::HELD_MAX)
        return -1;
    held.emplace(std::string(path.c_str()), fd);
    return 0;
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
        // An image file written through a descriptor still held is flushed
        // through it (the file itself, even if replaced or removed since;
        // never again after a failure, which a second flush through it
        // would not report).
        auto kept = pending->held.find(path);
        if (kept != pending->held.end()) {
            int rc = fdatasync(kept->second);
            int saved = errno;
            close(kept->second);
            pending->held.erase(kept);
            errno = saved;
            return rc;
        }
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

int LocalStore::Idle()
{
    if (!spareWanted || spareFd >= 0)
        return 0;
    spareWanted = 0;
    spareFd = createIncoming(&sparePath, &spareIno);
    return 0;
}

void LocalStore::EndIdle()
{
    // Unlinked before its lock ends with the descriptor: a start beside us
    // never finds it unlocked. A crash before leaves an empty temporary
    // file, which the next start removes as it does any left over.
    if (spareFd >= 0) {
        unlink(sparePath.c_str());
        close(spareFd);
    }
    spareFd = -1;
    spareWanted = 0;
}

int LocalStore::SyncWrites()
{
    if (drainFlusher() != 0)
        return -1;
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
    // The record holds the file's bytes: their checksum is the file's.
    checksums_hasher hasher;
    hasher.add(bytes, length);
    checksums_record sum = hasher.finish();
    int result = -1;
    int placedNew = 0;
    int fd = -1;

    // Nearly always the image is in place already, as the record holds it
    // (the process died after its store, before the flush that empties the
    // journal): its records are written again, and no second copy is made,
    // which a full file system would refuse.
    if (holdsBytes(target, bytes, length)) {
        index_transaction *t = nullptr;
        // In place: its records are rewritten; one that fails leaves the
        // image as it is, and the journal for the next start.
        if (file.loadFile(target.c_str()).good() && (t = store->index().begin(study)) != nullptr &&
            store->index().add(t, file.getDataset(), INDEX_ADD_REPLACE) == INDEX_OK) {
            // Its checksum line too, unless it reached the disk before.
            checksums_record had;
            OFString dir = store->GetUidPath(study, series, nullptr, 1);
            if (checksums_lookup(dir.c_str(), image, &had) != 0 || had.sha256 != sum.sha256 ||
                had.size != sum.size) {
                // Not written: the records stay, and the journal for the
                // next start, which tries the line again.
                if (checksums_append(dir.c_str(), image, sum, log) != 0) {
                    store->index().commit(t);
                    return -1;
                }
                store->noteChanged(OFString(checksums_path(dir.c_str()).c_str()), 0);
            }
            store->index().commit(t);
            store->noteChanged(target, 0);
            store->noteImagePlaces(study, series);
            logprintf(LOGLEVEL_INFO, log, "Written from the journal: %s (in place)\n",
                      target.c_str());
            return 0;
        }
        if (t != nullptr)
            store->index().abort(t);
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
    if (store->placeImage(file.getDataset(), study, series, image, tmp, 1, &placedNew, sum) !=
        LS_OK)
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
