// LocalStore::WriteDataset: enters a received image into the study, series
// and image index and then writes its DICOM file under a temporary name that
// is renamed into the UID tree once the file is complete. Every file and
// directory it changes is noted for SyncWrites (store/syncwrites.cc), which
// with setSyncEachImage runs before the call returns.
//
// Lock order: STUDYINDEX.hash (exclusive, guarding STUDYINDEX.dat too) is
// released before the series index is locked, and that before the image
// index; no process holds two of these locks at once.
#include "store/localstore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <unordered_map>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcwcache.h"
#include "dicomnet/dicomnet.h"
#include "runtime/runtime.h"
#include "store/journal.h"

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
    const char *value = DCMTK_getTagString(ds, tag);
    if (value == nullptr)
        return nullptr;
    if (ds->findAndGetElement(tag, element, OFFalse).good() && element != nullptr &&
        element->getString(raw, rawLength).good() && raw != nullptr) {
        size_t len = strlen(raw);
        for (size_t i = len; i < rawLength; i++)
            if (raw[i] != 0 && raw[i] != ' ')
                *embeddedNul = 1;
    }
    return value;
}

int LocalStore::addToStudyIndex(DcmDataset *ds)
{
    OFString stem = GetUidIndexPath(nullptr, nullptr);
    int changed = 0;
    int r = studytable_add(&table, stem.c_str(), ds, INDEX_MODE, logStream, &changed);
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

// The image is encoded into this buffer a piece at a time, and each piece
// written to the file in one system call. (A worker writes one image at a
// time, so one buffer serves every call.)
static char encodeBuffer[256 * 1024];

// Writes ds to tmp and makes sure that every byte reached the file (and,
// with syncNow, the disk). The toolkit's saveFile ignores the failure of its
// final buffer flush, so a full disk could leave a truncated file that it
// reports as saved; here the toolkit only encodes, into encodeBuffer, and
// every piece is written with a full-transfer write whose result is checked.
//
// With a journal record begun (j), each piece goes into the record too, and
// the record is flushed (journal_commit) once the file is whole; *journaled
// says whether it was. A record refused (too large) or failed is made up
// for by the flush of the file itself, as syncNow asks.
static int saveVerified(LocalStore *store, DcmDataset *ds, const char *tmp, E_TransferSyntax xfer,
                        int syncNow, journal *j, int *journaled)
{
    int fd = -1;
    int ok = 0;
    int saved = 0;

    fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        goto out;
    {
        // Shallow: the file format borrows the caller's dataset for the write
        // instead of copying it, and gives it back afterwards.
        DcmFileFormat fileformat(ds, OFFalse);
        DcmWriteCache cache;
        DcmOutputBufferStream out(encodeBuffer, sizeof encodeBuffer);
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
    if (!ok)
        goto out;
    if (j != nullptr)
        *journaled = journal_commit(j, store->getLogfile()) == 0;
    ok = !syncNow || *journaled || fdatasync(fd) == 0;
out:
    if (j != nullptr && !*journaled)
        journal_abandon(j);
    saved = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        saved = errno;
        ok = 0;
    }
    if (!ok)
        logprintf(LOGLEVEL_WARNING, store->getLogfile(), "Cannot write %s: %s\n", tmp,
                  strerror(saved));
    return ok;
}

int LocalStore::indexImage(DcmDataset *ds, const char *S, const char *R)
{
    // Every image but a series' first finds its series directory (and so
    // the study's) in place: one stat for both levels.
    struct stat seriesSt;
    int result;
    int seriesMade =
        stat(GetUidPath(S, R, nullptr, 1).c_str(), &seriesSt) == 0 && S_ISDIR(seriesSt.st_mode);
    if (!seriesMade && (result = CreateUidPath(S, nullptr)) != LS_OK)
        return result;
    result = addToStudyIndex(ds);
    if (result != LS_OK)
        return result;
    if (!seriesMade && (result = CreateUidPath(S, R)) != LS_OK)
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

int LocalStore::WriteDataset(DcmDataset *ds, int overwriteFile, const char *sourceFile,
                             int linkMode)
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
    const char *uid[3];
    int result;

    // Every UID is checked before anything is created: each becomes a file
    // or directory name and a 64-byte index key.
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
    const char *S = uid[0], *R = uid[1], *I = uid[2];
    OFString target = GetUidPath(S, R, I, 1);

    // A refused duplicate changes nothing: the decision comes before the
    // first index write, so the index keeps describing the file that stays.
    if (!overwriteFile && access(target.c_str(), F_OK) == 0) {
        logprintf(LOGLEVEL_WARNING, logStream, "Target file %s exists - not storing.\n",
                  target.c_str());
        // With -S the copy that stays is on disk before the answer: it may
        // be one whose writer was killed before it had flushed and answered
        // it, and whose peer now sends it again.
        if (syncEachImage && SyncImage(S, R, I) == -1)
            return LS_INDEX_ERROR;
        return LS_EXISTS;
    }

    // With -S an image stored through the journal needs no flush of what
    // it changes before the association's end (JournalHoldsAll): the replay
    // of its record makes all of it again.
    journal *j = syncEachImage && linkMode == 0 ? usableJournal() : nullptr;
    struct coverage {
        int &flag;
        ~coverage() { flag = 0; }
    } covering{journalCovers};
    journalCovers = j != nullptr;
    result = indexImage(ds, S, R);
    if (result != LS_OK)
        return result;

    if (linkMode == 1 || linkMode == 2) {
        if (sourceFile == nullptr)
            return LS_INDEX_ERROR;
        int made =
            linkMode == 1 ? symlink(sourceFile, target.c_str()) : link(sourceFile, target.c_str());
        if (made != 0)
            return LS_INDEX_ERROR;
        noteParentChanged(target);
        return syncEachImage && SyncWrites() != 0 ? LS_INDEX_ERROR : LS_OK;
    }

    char suffix[32];
    snprintf(suffix, sizeof suffix, ".%d.tmp", process_pid());
    OFString tmp = target + suffix;
    E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    if (!ds->canWriteXfer(EXS_LittleEndianExplicit, ds->getOriginalXfer())) {
        logprintf(LOGLEVEL_DEBUG, logStream,
                  "LocalStore::WriteDataset: Cannot write LE-Exp TS, using original.\n");
        xfer = ds->getOriginalXfer();
    }
    // With -S the image goes into this process's journal, which is flushed
    // before the rename: a crash up to the flush leaves at most a temporary
    // file and a record that does not count (the image was not answered);
    // after it, the next start writes the image from the journal, whatever
    // of the tree and the index had reached the disk. Without a journal
    // record the image is flushed under its temporary name (through the
    // descriptor it was written by) before the rename, its image index
    // record at the same time by a helper thread (the two waits for the
    // disk overlap), and the rest after the rename (SyncWrites): a name on
    // disk never refers to data that is not.
    OFString imageIndex = GetUidIndexPath(S, R) + ".dat";
    if (j != nullptr && journal_begin(j, S, R, I, logStream) != 0)
        j = nullptr;
    int indexFlush = syncEachImage && j == nullptr ? flushAside(imageIndex.c_str()) : 0;
    int journaled = 0;
    int saved = saveVerified(this, ds, tmp.c_str(), xfer, syncEachImage, j, &journaled);
    if (indexFlush != 0 && endFlushAside(imageIndex.c_str()) != 0)
        saved = 0;
    if (!saved) {
        unlink(tmp.c_str());
        return LS_INDEX_ERROR;
    }
    // rename replaces the final name atomically: readers see the old file or
    // the new one, never a partial one.
    if (rename(tmp.c_str(), target.c_str()) != 0) {
        logprintf(LOGLEVEL_WARNING, logStream, "Cannot rename %s: %s\n", tmp.c_str(),
                  strerror(errno));
        unlink(tmp.c_str());
        return LS_INDEX_ERROR;
    }
    // A power failure before the next flush may lose the new file or leave
    // it empty; the peer is told that it is safe only after that flush: with
    // -S right here (the index records and the new name) unless the journal
    // holds the image, otherwise at the association's release.
    noteParentChanged(target);
    if (!syncEachImage || journaled)
        noteChanged(target, 0);
    else if (SyncWrites() != 0)
        return LS_INDEX_ERROR;
    return LS_OK;
}

void LocalStore::setSyncEachImage(int on)
{
    syncEachImage = on;
}
