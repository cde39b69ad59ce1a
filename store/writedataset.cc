// LocalStore::WriteDataset: writes a received image as a DICOM file under a
// temporary name in B/uid, places it under its name in the UID tree once it
// is complete, and only then enters it in the study, series and image
// index (all under the study's lock, store/studylock.h); FinishStores
// finishes what a killed store left. Every file and directory it changes is
// noted for SyncWrites (store/syncwrites.cc), which with setSyncEachImage
// runs before the call returns.
//
// Lock order: the study lock first; then STUDYINDEX.hash (exclusive,
// guarding STUDYINDEX.dat too), released before the series index is locked,
// and that before the image index; no process holds two index locks at once.
#include "store/localstore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <unordered_map>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcwcache.h"
#include "dicomnet/dicomnet.h"
#include "runtime/durablefile.h"
#include "runtime/runtime.h"
#include "store/checksums.h"
#include "store/journal.h"
#include "store/studylock.h"

// Index files are created rw-rw-r-- (less the umask).
static const mode_t INDEX_MODE = 0664;

ssize_t LocalStore::write_all(int fd, const void *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, (const char *)buf + done, len - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return n;
        }
        if (n == 0)
            break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

// Reads a UID of the dataset. Null with *embeddedNul 0 when the element is
// absent or empty; *embeddedNul 1 when its value holds a NUL before its end
// (other than the NUL padding of an odd-length UID), which a C string would
// silently cut short.
static const char *readUid(DcmDataset *ds, const DcmTagKey &tag, int *embeddedNul)
{
    DcmElement *element = nullptr;
    char *raw = nullptr;
    Uint32 rawLength = 0;
    *embeddedNul = 0;
    const char *value = dicomnet_getTagString(ds, tag);
    if (value == nullptr)
        return nullptr;
    if ((element = dicomnet_findElement(ds, tag)) != nullptr &&
        element->getString(raw, rawLength).good() && raw != nullptr) {
        size_t len = strlen(raw);
        for (size_t i = len; i < rawLength; i++)
            if (raw[i] != 0 && raw[i] != ' ')
                *embeddedNul = 1;
    }
    return value;
}

int LocalStore::addToStudyIndex(DcmDataset *ds, bool emptiedClear)
{
    OFString stem = GetUidIndexPath(nullptr, nullptr);
    int changed = 0;
    int r = studytable_add(&table, stem.c_str(), ds, INDEX_MODE, logStream, &changed, emptiedClear);
    if (changed & STUDYTABLE_CREATED)
        noteParentChanged(stem + ".hash");
    if (changed & STUDYTABLE_DATA)
        noteChanged(stem + ".dat", 0);
    if (changed & STUDYTABLE_HASH)
        noteChanged(stem + ".hash", 0);
    if (changed & STUDYTABLE_KEYS)
        noteChanged(OFString(studykeys_path(stem.c_str()).c_str()), 0);
    return r == 0 ? LS_OK : LS_INDEX_ERROR;
}

// What the write path knows of the series or image index it wrote to last.
// The file stays open, so its inode cannot be freed and reused for another
// file while it is remembered; keys holds the first `scanned` records' keys.
// Other processes change such a file only by appending records, rewriting
// a record under its own key, clearing a record to zeros (a delete), or
// replacing the whole file (a delete that empties the level, a rebuild). A
// key that is not in keys is therefore not among the first `scanned`
// records, and a key that is in keys is checked against the file before its
// position is used.
struct LocalStore::recordIndexCache {
    OFString path;
    int fd = -1;
    long scanned = 0;
    std::unordered_map<std::string, long> keys;

    ~recordIndexCache() { forget(); }
    void forget()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        scanned = 0;
        keys.clear();
    }
};

int LocalStore::heldIndexFd(const char *path)
{
    for (recordIndexCache *c : indexCache)
        if (c != nullptr && c->fd >= 0 && c->path == path)
            return c->fd;
    return -1;
}

void LocalStore::dropIndexCaches()
{
    for (recordIndexCache *&c : indexCache) {
        delete c;
        c = nullptr;
    }
}

static std::string recordKey(const char *record)
{
    return std::string(record, strnlen(record, STUDYINDEX_KEY_WIDTH));
}

// Adds the keys of c's records [c->scanned, records) to c->keys, reading
// them in blocks. 0, or -1 on a read error. A record that reads short (the
// file changed, which the caller's lock rules out) ends the scan early.
static int scanRecordKeys(int fd, std::unordered_map<std::string, long> &keys, long *scanned,
                          long records, size_t recordSize)
{
    enum { BLOCK = 16384 };
    char block[BLOCK];
    const long perBlock = (long)(BLOCK / recordSize);

    while (*scanned < records) {
        long want = records - *scanned < perBlock ? records - *scanned : perBlock;
        ssize_t got = fullio_pread(fd, block, (size_t)want * recordSize,
                                   studyindex_offset(*scanned, recordSize));
        if (got < 0)
            return -1;
        long whole = (long)((size_t)got / recordSize);
        for (long k = 0; k < whole; k++) {
            const char *candidate = block + (size_t)k * recordSize;
            // Cleared records have no key; the first of two equal keys wins.
            if (candidate[0] != '\0')
                keys.emplace(recordKey(candidate), *scanned + k);
        }
        *scanned += whole;
        if (whole < want)
            break;
    }
    return 0;
}

int LocalStore::addToRecordIndex(int slot, const char *path, const void *record, size_t recordSize)
{
    int locked = 0;
    int result = LS_INDEX_ERROR;
    struct stat opened;
    long records, position = -1;
    int unchanged = 0;
    const std::string key = recordKey((const char *)record);

    if (indexCache[slot] == nullptr)
        indexCache[slot] = new recordIndexCache;
    recordIndexCache *c = indexCache[slot];
    if (c->path != path) {
        c->forget();
        c->path = path;
    }

    for (int attempt = 0;; attempt++) {
        struct stat named;
        if (c->fd < 0) {
            c->fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, INDEX_MODE);
            if (c->fd < 0) {
                // An image that no index finds would be stored but invisible
                // to every query: the store fails instead.
                logprintf(LOGLEVEL_ERROR, logStream, "Cannot open index %s: %s\n", path,
                          strerror(errno));
                c->forget();
                return LS_INDEX_ERROR;
            }
        }
        // Exclusive from the start: two processes that search under shared
        // locks can both find the same end of file and write one record over
        // the other, and two shared locks cannot both be raised to exclusive.
        if (VLCompat_LockWholeFile(c->fd, F_WRLCK) != 0) {
            logprintf(LOGLEVEL_WARNING, logStream, "Cannot lock index %s: %s\n", path,
                      strerror(errno));
            goto out;
        }
        locked = 1;
        // A delete that emptied the level may have moved this file aside
        // (since our last store, or while we waited for the lock): a record
        // written into it would be lost.
        if (fstat(c->fd, &opened) == 0 && stat(path, &named) == 0 &&
            opened.st_ino == named.st_ino && opened.st_dev == named.st_dev)
            break;
        VLCompat_LockWholeFile(c->fd, F_UNLCK);
        locked = 0;
        c->forget();
        if (attempt == 10) {
            logprintf(LOGLEVEL_WARNING, logStream, "Index %s keeps being replaced.\n", path);
            goto out;
        }
    }

    // A short tail is the end of the data (or damage): never half a record.
    // A new record goes after the last whole one.
    records = (long)((size_t)opened.st_size / recordSize);
    if (records < c->scanned) {
        // Cut short (by hand?): nothing remembered can be trusted.
        c->keys.clear();
        c->scanned = 0;
    }
    for (int pass = 0; pass < 2 && position < 0; pass++) {
        if (scanRecordKeys(c->fd, c->keys, &c->scanned, records, recordSize) != 0) {
            logprintf(LOGLEVEL_WARNING, logStream, "Cannot read index %s: %s\n", path,
                      strerror(errno));
            goto out;
        }
        auto hit = c->keys.find(key);
        if (hit == c->keys.end()) {
            position = records;
            break;
        }
        char stored[sizeof(imagerecord)];
        if (recordSize <= sizeof stored &&
            studyindex_readRecord(c->fd, hit->second, stored, recordSize) == 1 &&
            strncmp(stored, (const char *)record, STUDYINDEX_KEY_WIDTH) == 0) {
            position = hit->second;
            unchanged = memcmp(stored, record, recordSize) == 0;
            break;
        }
        // The remembered record was cleared by a delete: read the file afresh.
        c->keys.clear();
        c->scanned = 0;
    }
    if (position < 0)
        goto out;
    if (!unchanged) {
        noteChanged(path, 0);
        if (records == 0)
            noteParentChanged(path);
        if (studyindex_writeRecord(c->fd, position, record, recordSize) != 0) {
            logprintf(LOGLEVEL_ERROR, logStream, "Cannot write index %s: %s\n", path,
                      strerror(errno));
            goto out;
        }
    }
    if (position == records && c->scanned == records) {
        c->keys.emplace(key, position);
        c->scanned = records + 1;
    }
    result = LS_OK;
out:
    if (locked)
        VLCompat_LockWholeFile(c->fd, F_UNLCK);
    if (result != LS_OK)
        c->forget();
    return result;
}

// The image is encoded into the store's buffer a piece at a time, and each
// piece written to the file in one system call.
enum { LS_ENCODE_BUFFER = 256 * 1024 };

char *LocalStore::getEncodeBuffer()
{
    if (!encodeBuffer)
        encodeBuffer.reset(new char[LS_ENCODE_BUFFER]);
    return encodeBuffer.get();
}

// Writes ds to the temporary file open on fd (named tmp) and makes sure
// that every byte reached the file (and, with syncNow, the disk). The
// toolkit's saveFile ignores the failure of its final buffer flush, so a
// full disk could leave a truncated file that it reports as saved; here
// the toolkit only encodes, into the store's buffer, and every piece is written
// with a full-transfer write whose result is checked.
//
// With a journal record begun (j), each piece goes into the record too
// (completeImage commits it, or flushes the file instead). Each piece
// written goes through sum as well: the file's checksum comes from the
// bytes in hand, with no second read or parse of the file.
static int saveVerified(LocalStore *store, DcmDataset *ds, int fd, const char *tmp,
                        E_TransferSyntax xfer, journal *j, checksums_hasher *sum)
{
    int ok = 0;
    int saved = 0;
    {
        // Shallow: the file format borrows the caller's dataset for the write
        // instead of copying it, and gives it back afterwards.
        DcmFileFormat fileformat(ds, OFFalse);
        DcmWriteCache cache;
        DcmOutputBufferStream out(store->getEncodeBuffer(), LS_ENCODE_BUFFER);
        OFCondition cond;
        int written = 1;
        fileformat.transferInit();
        do {
            // EC_StreamNotifyClient: the buffer is full; empty it and go on.
            cond = fileformat.write(out, xfer, EET_UndefinedLength, &cache, EGL_recalcGL,
                                    EPD_withoutPadding, 0, 0, 0, EWM_fileformat);
            if (cond.bad() && cond != EC_StreamNotifyClient)
                break;
            // At the end a compressing stream (deflate) may hold more than
            // the buffer takes: flush until it is empty.
            int last = cond.good();
            do {
                void *piece = nullptr;
                offile_off_t length = 0;
                if (last)
                    out.flush();
                out.flushBuffer(piece, length);
                if (length > 0 &&
                    LocalStore::write_all(fd, piece, (size_t)length) != (ssize_t)length)
                    written = 0;
                if (written)
                    sum->add(piece, (size_t)length);
                // A journal that fails here is broken: the commit below
                // then fails and the file is flushed instead.
                if (written && j != nullptr && length > 0)
                    journal_add(j, piece, (size_t)length, store->getLogfile());
            } while (written && last && !out.isFlushed());
        } while (written && cond == EC_StreamNotifyClient);
        fileformat.transferEnd();
        ok = written && cond.good();
        if (!ok && written)
            errno = EIO; // the toolkit could not encode the data set
        fileformat.getAndRemoveDataset();
    }
    saved = errno;
    if (!ok)
        logprintf(LOGLEVEL_WARNING, store->getLogfile(), "Cannot write %s: %s\n", tmp,
                  strerror(saved));
    return ok;
}

int LocalStore::WriteImageFile(DcmDataset *ds, int fd, const char *tmp, E_TransferSyntax xfer,
                               checksums_record *sum)
{
    checksums_hasher hasher;
    if (!saveVerified(this, ds, fd, tmp, xfer, nullptr, &hasher))
        return LS_INDEX_ERROR;
    *sum = hasher.finish();
    return LS_OK;
}

// Temporary names are B/uid/STORING.PID.N.tmp, N counting in the process:
// across its stores (a name is the process's, whichever store takes it),
// which may make them on two threads at once.
static std::atomic<unsigned> incomingSerial{0};

int LocalStore::openIncoming(OFString *path)
{
    // The file Idle made ahead is new, locked and linked as one made now
    // would be (the lock keeps a start beside us from taking it as left
    // over), so it serves the image as it is.
    if (spareFd >= 0) {
        int fd = spareFd;
        spareFd = -1;
        *path = sparePath;
        incomingIno = spareIno;
        return fd;
    }
    return createIncoming(path, &incomingIno);
}

int LocalStore::createIncoming(OFString *path, ino_t *ino)
{
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    int made = 0;
    for (int attempt = 0; attempt < 16; attempt++) {
        char name[64];
        snprintf(name, sizeof name, "/%s%d.%u.tmp", LS_INCOMING_PREFIX, process_pid(),
                 incomingSerial++);
        *path = uidDir + name;
        // O_EXCL: a name that a dead process of the same pid left is the
        // next start's to finish, not ours to reuse.
        int fd = open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            // The UID tree is made by the first store: only then, rather
            // than looked for before every image.
            if (errno == ENOENT && !made) {
                made = 1;
                if (CreateUidPath(nullptr, nullptr) != LS_OK)
                    return -1;
                attempt--;
                continue;
            }
            logprintf(LOGLEVEL_WARNING, logStream, "Cannot create %s: %s\n", path->c_str(),
                      strerror(errno));
            return -1;
        }
        // The lock tells the repair at a start (FinishStores) that the file
        // is still being written. A process starting on the store may find
        // the new file before the lock is taken and remove it as left over,
        // which the link count shows: then another name is taken.
        struct stat st;
        if (flock(fd, LOCK_EX) != 0 || fstat(fd, &st) != 0) {
            logprintf(LOGLEVEL_WARNING, logStream, "Cannot lock %s: %s\n", path->c_str(),
                      strerror(errno));
            unlink(path->c_str());
            close(fd);
            return -1;
        }
        if (st.st_nlink > 0) {
            *ino = st.st_ino;
            return fd;
        }
        close(fd);
    }
    logprintf(LOGLEVEL_WARNING, logStream, "No temporary name in %s can be had.\n", uidDir.c_str());
    return -1;
}

int LocalStore::indexImage(DcmDataset *ds, const char *S, const char *R, bool emptiedClear)
{
    int result = addToStudyIndex(ds, emptiedClear);
    if (result != LS_OK)
        return result;
    seriesrecord series;
    studyindex_makeSeries(ds, &series);
    result =
        addToRecordIndex(0, (GetUidIndexPath(S, nullptr) + ".dat").c_str(), &series, sizeof series);
    if (result != LS_OK)
        return result;
    imagerecord image;
    studyindex_makeImage(ds, &image);
    return addToRecordIndex(1, (GetUidIndexPath(S, R) + ".dat").c_str(), &image, sizeof image);
}

void LocalStore::removeEmptyDirs(const char *S, const char *R)
{
    // rmdir removes only an empty directory: one that holds an image, an
    // index file or another series stays, and the failure is no error.
    OFString series = GetUidPath(S, R, nullptr, 1);
    if (rmdir(series.c_str()) == 0)
        noteParentChanged(series);
    OFString study = GetUidPath(S, nullptr, nullptr, 1);
    if (rmdir(study.c_str()) == 0)
        noteParentChanged(study);
}

// Appends the image's checksum line to its series' CHECKSUMS and notes the
// file for the flush of the index records (SyncWrites): 0, or -1 logged.
static int recordChecksum(LocalStore *store, const char *S, const char *R, const char *I,
                          const checksums_record &sum)
{
    OFString dir = store->GetUidPath(S, R, nullptr, 1);
    if (checksums_append(dir.c_str(), I, sum, store->getLogfile()) != 0)
        return -1;
    store->noteChanged(OFString(checksums_path(dir.c_str()).c_str()), 0);
    return 0;
}

// The order under the study lock makes the index the truth: a record is
// written only for a file in place. A crash (kill -9, a power failure of
// a store not yet answered) at each step leaves:
// - before the link: the temporary file, with a link count of 1, and maybe
//   empty directories; the next start removes them (FinishStores);
// - after the link, before or in the index steps: the image under its name
//   and under the temporary one (a link count of 2); the next start writes
//   its index records, so the image is stored whole, as if answered;
// - in a take-back: the delete's intent, which the next start finishes.
// With the overwrite policy an existing image is replaced by rename (the
// temporary name goes with it): killed before its records are rewritten,
// the new file stands under the old records, which name the same image.
int LocalStore::placeImage(DcmDataset *ds, const char *S, const char *R, const char *I,
                           const OFString &tmp, int overwrite, int *placedNew,
                           const checksums_record &sum)
{
    if (sharedIndex())
        return placeShared(ds, S, R, I, tmp, overwrite, placedNew, sum);
    OFString target = GetUidPath(S, R, I, 1);
    int result = LS_INDEX_ERROR;
    int linked;
    *placedNew = 0;
    // The index's transaction of the study (the file backend: its study
    // lock) covers the placing of the file too.
    index_transaction *t = index().begin(S);
    if (t == nullptr)
        goto out;
    // link makes the name only where there is none: the duplicate check and
    // the placing of the file are one step, so that of two stores of one
    // instance under VeltoPreserve exactly one is stored and the other
    // refused. Two under the overwrite policy both succeed, one after the
    // other (the study lock), and the second one's copy and records stay.
    // Nearly every image finds its series directory made: the directories
    // are made only when the link fails for want of one.
    linked = link(tmp.c_str(), target.c_str());
    if (linked != 0 && errno == ENOENT) {
        result = CreateUidPath(S, R);
        if (result != LS_OK) {
            removeEmptyDirs(S, R);
            goto out;
        }
        result = LS_INDEX_ERROR;
        linked = link(tmp.c_str(), target.c_str());
    }
    if (linked == 0) {
        *placedNew = 1;
    } else if (errno == EEXIST && !overwrite) {
        logprintf(LOGLEVEL_WARNING, logStream, "Target file %s exists - not storing.\n",
                  target.c_str());
        result = LS_EXISTS;
        goto out;
    } else if (errno != EEXIST || rename(tmp.c_str(), target.c_str()) != 0) {
        logprintf(LOGLEVEL_WARNING, logStream, "Cannot place %s as %s: %s\n", tmp.c_str(),
                  target.c_str(), strerror(errno));
        removeEmptyDirs(S, R);
        result = LS_INDEX_ERROR;
        goto out;
    }
    noteParentChanged(target);
    result = index().add(t, ds, *placedNew ? INDEX_ADD_PLACED : INDEX_ADD_REPLACE) == INDEX_OK
                 ? LS_OK
                 : LS_INDEX_ERROR;
    // The checksum line goes in after the records, under the same lock and
    // flushed with them (SyncWrites, or the journal's replay, which writes
    // it again): a crash before it leaves the placed file under its
    // temporary name too, and the start's repair (finishStore) writes the
    // line. A new image whose line cannot be written is taken back by the
    // abort, as one whose records fail; a replaced one stays, answered as
    // failed, under the line of the file it replaced, so that reads refuse
    // it as damaged until it is stored again.
    if (result == LS_OK && recordChecksum(this, S, R, I, sum) != 0)
        result = LS_INDEX_ERROR;
out:
    // A new image whose records could not all be written is taken back by
    // the abort (an image that no query finds is never kept: its peer is
    // told it failed), before its temporary name goes: a crash in between
    // leaves that name with a link count of 1, which the next start
    // removes. A replaced one keeps its earlier records, which name it.
    if (t != nullptr && result != LS_OK) {
        index().abort(t);
        t = nullptr;
    }
    // Once the image is indexed (or refused, or taken back) its temporary
    // name has done its work; removed under the lock (a failed store's
    // after the abort's take-back), so that a repair never finds it beside
    // a finished store.
    unlink(tmp.c_str());
    if (t != nullptr)
        index().commit(t);
    return result;
}

// Whether target names the same file as tmp (the store's own, placed by
// link or rename).
static bool ownsName(const OFString &tmp, const OFString &target)
{
    struct stat a, b;
    return stat(tmp.c_str(), &a) == 0 && stat(target.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

// A cluster node's placing (openSharedIndex): the database's row decides whether
// the image is new, not the local tree, which is a cache of the bucket (a
// copy found at the image's name was fetched or stored here before, or is
// what a delete through another node left: the new file takes its place).
// Under the study's row lock, in one database transaction:
//   1. the file placed under its name by link, when the name is free;
//   2. the row inserted: another node's (or another process's) committed
//      row of the UID (or its open one, whose end the insert waits for)
//      makes it a duplicate (LS_EXISTS), taken back as on one host; a file
//      already at the name is replaced (rename) only once the row is in;
//   3. with uploadBeforeAck, the file put into the bucket (the gateway
//      checks the payload's SHA-256, computed as the file was written),
//      while the transaction holds the row, so that of two nodes storing
//      one UID only the winner's bytes are put;
//   4. the checksum line, then COMMIT.
// A failure at any step takes the file back (and the object, best effort,
// when it was an upload that failed) and rolls the row back: nothing of the
// image stays. A kill before COMMIT leaves no row (the server rolls it
// back), maybe an object no row names (overwritten by the next store of
// the UID; the scrub's to remove) and the file under its temporary name as
// well (link count 2), which the next start removes (FinishStores does not
// enter it on a cluster node: it was never acknowledged). A connection lost
// at COMMIT leaves the outcome unknown: answered as failed, the object is
// kept (the row may name it), the local file taken back.
int LocalStore::placeShared(DcmDataset *ds, const char *S, const char *R, const char *I,
                            const OFString &tmp, int overwrite, int *placedNew,
                            const checksums_record &sum)
{
    OFString target = GetUidPath(S, R, I, 1);
    *placedNew = 0;
    index_transaction *t = index().begin(S);
    if (t == nullptr) {
        unlink(tmp.c_str());
        return LS_INDEX_ERROR;
    }
    int result = LS_OK;
    int placed = link(tmp.c_str(), target.c_str());
    if (placed != 0 && errno == ENOENT) {
        result = CreateUidPath(S, R);
        placed = result == LS_OK ? link(tmp.c_str(), target.c_str()) : -1;
    }
    // A file at the name already: a cached copy, or the file of another
    // process of this node storing the same UID right now, whose row may
    // win. It is replaced only once this store's row is in (below): a
    // loser that had renamed over the winner's file would take it away
    // with its own (the winner's only copy under ack local).
    bool replace = placed != 0 && result == LS_OK && errno == EEXIST;
    if (replace)
        placed = 0;
    if (placed != 0 && result == LS_OK) {
        logprintf(LOGLEVEL_WARNING, logStream, "Cannot place %s as %s: %s\n", tmp.c_str(),
                  target.c_str(), strerror(errno));
        result = LS_INDEX_ERROR;
    }
    if (result == LS_OK) {
        noteParentChanged(target);
        // The row names the file's size and checksum, and where its home
        // copy is: the bucket once this transaction commits (the upload
        // below comes first), else this node's disk until the queued
        // upload is done (archive_clusterUploadPass).
        index_file file;
        file.size = sum.size;
        file.sha256 = sum.sha256;
        file.inTier = uploadBeforeAck;
        int added = index().addFile(t, ds, overwrite ? INDEX_ADD_REPLACE : INDEX_ADD_PLACED, file);
        if (added == INDEX_EXISTS) {
            logprintf(LOGLEVEL_WARNING, logStream,
                      "Image %s is stored already (the cluster's index) - not storing.\n",
                      target.c_str());
            result = LS_EXISTS;
        } else if (added != INDEX_OK) {
            result = LS_INDEX_ERROR;
        } else if (replace && rename(tmp.c_str(), target.c_str()) != 0) {
            logprintf(LOGLEVEL_WARNING, logStream, "Cannot place %s as %s: %s\n", tmp.c_str(),
                      target.c_str(), strerror(errno));
            result = LS_INDEX_ERROR;
        }
    }
    bool uploadFailed = false;
    if (result == LS_OK && uploadBeforeAck) {
        int fd = tier ? open(target.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0 ||
            tier_putImage(*tier, baseDir, target.c_str(), fd, logStream, &sum) != TIER_OK) {
            if (fd < 0)
                logprintf(LOGLEVEL_ERROR, logStream, "Cannot upload %s: %s\n", target.c_str(),
                          tier ? strerror(errno) : "no object tier");
            uploadFailed = fd >= 0;
            result = LS_INDEX_ERROR;
        }
        if (fd >= 0)
            close(fd);
    }
    // ack local: acknowledged once on this node's disk, flushed before the
    // row commits; the row (location "local") queues its upload in the
    // same transaction.
    if (result == LS_OK && !uploadBeforeAck) {
        int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fdatasync(fd) != 0 || durable_flushParent(target.c_str()) != 0) {
            logprintf(LOGLEVEL_ERROR, logStream, "Cannot flush %s: %s\n", target.c_str(),
                      strerror(errno));
            result = LS_INDEX_ERROR;
        }
        if (fd >= 0)
            close(fd);
    }
    if (result == LS_OK && recordChecksum(this, S, R, I, sum) != 0)
        result = LS_INDEX_ERROR;
    if (result == LS_OK) {
        if (index().commit(t) != INDEX_OK)
            result = LS_INDEX_ERROR;
    } else {
        index().abort(t);
    }
    if (uploadFailed)
        tier_deleteObject(*tier, baseDir, target.c_str(), logStream);
    if (result == LS_OK) {
        *placedNew = 1;
    } else if (placed == 0 && ownsName(tmp, target)) {
        // The file at the name is this store's (its temporary name's inode):
        // taken back. Another's (the winner of the UID on this node, whose
        // commit the row's conflict waited for, renamed in before it) stays.
        if (unlink(target.c_str()) == 0)
            noteParentChanged(target);
        removeEmptyDirs(S, R);
    }
    unlink(tmp.c_str());
    return result;
}

int LocalStore::checkUids(DcmDataset *ds, const char *uid[3])
{
    const struct {
        DcmTagKey tag;
        const char *missing;
        const char *name;
    } uidTags[3] = {
        {DCM_StudyInstanceUID, "No DCM_StudyInstanceUID?\n", "Study Instance UID"},
        {DCM_SeriesInstanceUID, "No DCM_SeriesInstanceUID?\n", "Series Instance UID"},
        {DCM_SOPInstanceUID, "No DCM_SOPInstanceUID?\n", "SOP Instance UID"},
    };
    for (int k = 0; k < 3; k++) {
        int embeddedNul;
        uid[k] = readUid(ds, uidTags[k].tag, &embeddedNul);
        if (uid[k] == nullptr) {
            logprintf(LOGLEVEL_WARNING, logStream, "%s", uidTags[k].missing);
            return LS_BAD_UID;
        }
        if (embeddedNul) {
            logprintf(LOGLEVEL_WARNING, logStream, "Refusing %s (holds a NUL byte): %.80s\n",
                      uidTags[k].name, uid[k]);
            return LS_BAD_UID;
        }
        if (CheckUid(uid[k], uidTags[k].name) != LS_OK)
            return LS_BAD_UID;
    }
    return LS_OK;
}

int LocalStore::WriteDataset(DcmDataset *ds, int overwriteFile, const char *sourceFile,
                             int linkMode, const companion *with)
{
    const char *uid[3];
    int result;

    // Every UID is checked before anything is created: each becomes a file
    // or directory name and a 64-byte index key.
    if ((result = checkUids(ds, uid)) != LS_OK)
        return result;
    const char *S = uid[0], *R = uid[1], *I = uid[2];
    OFString target = GetUidPath(S, R, I, 1);

    // A duplicate found here is refused before anything is written (the
    // common case of a peer sending a study again); one that appears while
    // this image is written is refused by the placing itself.
    // (A cluster node's tree is a cache: the database decides, placeShared.)
    if (!overwriteFile && !sharedIndex() && access(target.c_str(), F_OK) == 0) {
        logprintf(LOGLEVEL_WARNING, logStream, "Target file %s exists - not storing.\n",
                  target.c_str());
        // With -S the copy that stays is on disk before the answer: it may
        // be one whose writer was killed before it had flushed and answered
        // it, and whose peer now sends it again.
        if (syncEachImage && SyncImage(S, R, I) == -1)
            return LS_INDEX_ERROR;
        return LS_EXISTS;
    }

    if (linkMode == 1 || linkMode == 2) {
        // Links are made for files already on disk, by tools: nothing
        // goes with them.
        if (with != nullptr)
            abort();
        return placeLink(ds, S, R, I, sourceFile, linkMode);
    }

    OFString tmp;
    int fd = openIncoming(&tmp);
    if (fd < 0)
        return LS_INDEX_ERROR;
    E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    if (!ds->canWriteXfer(EXS_LittleEndianExplicit, ds->getOriginalXfer())) {
        logprintf(LOGLEVEL_DEBUG, logStream,
                  "LocalStore::WriteDataset: Cannot write LE-Exp TS, using original.\n");
        xfer = ds->getOriginalXfer();
    }
    journal *j = beginJournalRecord(S, R, I);
    checksums_hasher hasher;
    int saved = saveVerified(this, ds, fd, tmp.c_str(), xfer, j, &hasher);
    checksums_record sum = hasher.finish();
    return completeImage(ds, S, R, I, fd, tmp, overwriteFile, j, saved, with, sum);
}

journal *LocalStore::beginJournalRecord(const char *S, const char *R, const char *I)
{
    journal *j = syncEachImage ? usableJournal() : nullptr;
    if (j != nullptr && journal_begin(j, S, R, I, logStream) != 0)
        j = nullptr;
    return j;
}

// With -S the image goes into this process's journal, which is flushed
// before the file is placed: a crash up to the flush leaves at most a
// temporary file and a record that does not count (the image was not
// answered); after it, the next start writes the image from the journal,
// whatever of the tree and the index had reached the disk. A record whose
// image is then refused or fails is taken back before the answer. Without
// a journal record the image is flushed under its temporary name before it
// is placed, and the rest after (SyncWrites): a name on disk never refers
// to data that is not.
//
// What goes with the image (with: the forwarding jobs) is held, on disk,
// after the file is written and before anything can make the image count
// as stored: before its journal record is committed and before it is
// placed. Every later step that fails is undone without needing room on
// the disk (the temporary file and what was held are unlinked, a placed
// image taken back, whose intent is optional), and what was held is kept
// only when the image's file stays in place. A crash leaves:
// - before the hold is on disk: the temporary file (removed at the next
//   start), a held file cut short (removed);
// - after it, before the image counts (journal record, placing): what was
//   held, with no image: removed by the caller's start;
// - after the image counts, before it is kept: the image (placed, or in the
//   journal, which the start writes into the tree) with what was held, which
//   the caller's start keeps, as the image is then in the store.
int LocalStore::completeImage(DcmDataset *ds, const char *S, const char *R, const char *I, int fd,
                              const OFString &tmp, int overwrite, journal *j, int written,
                              const companion *with, const checksums_record &sum)
{
    OFString target = GetUidPath(S, R, I, 1);
    int journaled = 0;
    int placedNew = 0;
    int result;
    // With -S an image stored through the journal needs no flush of what
    // it changes before the association's end (JournalHoldsAll): the replay
    // of its record makes all of it again.
    struct coverage {
        int &flag;
        ~coverage() { flag = 0; }
    } covering{journalCovers};
    journalCovers = j != nullptr;
    int held = 0;
    // A duplicate under the preserve policy (one the streamed path has
    // received whole) is refused before anything is held for it: the
    // placing would refuse it. One that appears after this look is refused
    // there; one that goes away after it is still refused, as WriteDataset
    // refuses it before the write.
    int duplicate = written && with != nullptr && !overwrite && !sharedIndex() &&
                    access(target.c_str(), F_OK) == 0;
    if (duplicate) {
        logprintf(LOGLEVEL_WARNING, logStream, "Target file %s exists - not storing.\n",
                  target.c_str());
        written = 0;
    } else if (written && with != nullptr) {
        held = with->hold(with->arg) == 0;
        written = held;
    }

    if (written && j != nullptr)
        journaled = journal_commit(j, logStream) == 0;
    if (j != nullptr && !journaled)
        journal_abandon(j);
    if (written && syncEachImage && !journaled && fdatasync(fd) != 0) {
        logprintf(LOGLEVEL_WARNING, logStream, "Cannot write %s: %s\n", tmp.c_str(),
                  strerror(errno));
        written = 0;
    }
    // The file's inode (to take it back only while it is the file placed)
    // is the one openIncoming read: one image at a time is written.
    ino_t placedIno = incomingIno;
    if (!written) {
        unlink(tmp.c_str());
        result = duplicate ? LS_EXISTS : LS_INDEX_ERROR;
    } else {
        result = placeImage(ds, S, R, I, tmp, overwrite, &placedNew, sum);
    }
    // The lock on the temporary file ends with its descriptor, after its
    // name is gone: here, or (the image placed and to be flushed at the
    // association's end) after that flush, which uses the descriptor.
    int keep = result == LS_OK && (!syncEachImage || journaled);
    if (!keep || noteWritten(target, fd) != 0) {
        // A placed image whose file fails to close is taken back, if it is
        // still the file placed.
        if (close(fd) != 0 && result == LS_OK) {
            logprintf(LOGLEVEL_WARNING, logStream, "Cannot write %s: %s\n", tmp.c_str(),
                      strerror(errno));
            result = LS_INDEX_ERROR;
            if (placedNew)
                takeBackLocked(S, R, I, placedIno);
        }
    }
    if (result == LS_OK) {
        spareWanted = 1;
        // A power failure before the next flush may lose the new file or
        // leave it empty; the peer is told that it is safe only after that
        // flush: with -S right here (the index records and the new name)
        // unless the journal holds the image, otherwise at the association's
        // release.
        if (syncEachImage && !journaled && SyncWrites() != 0) {
            // Answered as failed: a new image is not kept.
            if (placedNew)
                takeBackLocked(S, R, I, placedIno);
            result = LS_INDEX_ERROR;
        }
    }
    if (held) {
        int kept = result == LS_OK && with->keep(with->arg) == 0;
        if (result == LS_OK && !kept) {
            if (placedNew)
                takeBackLocked(S, R, I, placedIno);
            result = LS_INDEX_ERROR;
        }
        if (!kept) {
            // The file placed (its inode stays ours while fd or the name
            // holds it) still in place: a replaced image, or a take-back
            // that could not remove it. It keeps what was held.
            struct stat st;
            int stays = stat(target.c_str(), &st) == 0 && st.st_ino == placedIno;
            if (!stays)
                with->drop(with->arg);
            else if (with->keep(with->arg) != 0)
                with->leave(with->arg);
        }
    }
    if (result != LS_OK && journaled && journal_retract(j, logStream) != 0)
        logprintf(LOGLEVEL_ERROR, logStream,
                  "The journal record of %s may be written by the next start.\n", target.c_str());
    if (result == LS_EXISTS && syncEachImage && SyncImage(S, R, I) == -1)
        return LS_INDEX_ERROR;
    return result;
}

int LocalStore::placeLink(DcmDataset *ds, const char *S, const char *R, const char *I,
                          const char *sourceFile, int linkMode)
{
    OFString target = GetUidPath(S, R, I, 1);
    if (sourceFile == nullptr || CreateUidPath(nullptr, nullptr) != LS_OK)
        return LS_INDEX_ERROR;
    // The checksum of the file linked (its bytes are read once here, by the
    // tool that links it, before the lock is taken).
    checksums_record sum;
    if (checksums_computePath(sourceFile, &sum) != 0) {
        logprintf(LOGLEVEL_WARNING, logStream, "Cannot read %s: %s\n", sourceFile, strerror(errno));
        return LS_INDEX_ERROR;
    }
    index_transaction *t = index().begin(S);
    if (t == nullptr)
        return LS_INDEX_ERROR;
    int result = CreateUidPath(S, R);
    if (result != LS_OK) {
        index().abort(t);
        return result;
    }
    int made =
        linkMode == 1 ? symlink(sourceFile, target.c_str()) : link(sourceFile, target.c_str());
    if (made != 0) {
        removeEmptyDirs(S, R);
        // errno as removeEmptyDirs leaves it, as it always was read here.
        int existed = errno == EEXIST;
        index().abort(t);
        return existed ? LS_EXISTS : LS_INDEX_ERROR;
    }
    noteParentChanged(target);
    // A link whose records or checksum line fail is taken back by the abort.
    if (index().add(t, ds, INDEX_ADD_PLACED) != INDEX_OK ||
        recordChecksum(this, S, R, I, sum) != 0) {
        index().abort(t);
        return LS_INDEX_ERROR;
    }
    index().commit(t);
    return syncEachImage && SyncWrites() != 0 ? LS_INDEX_ERROR : LS_OK;
}

void LocalStore::setSyncEachImage(int on)
{
    syncEachImage = on;
}
