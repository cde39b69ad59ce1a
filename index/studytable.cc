// The in-memory study table: a process's copy of STUDYINDEX.hash, its
// reloads when another process changed the file, entering a study into the
// study files, marking one deleted, and compaction, which drops deleted
// studies from both study files.
#include "index/studytable.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/ofstd/ofstring.h"

#include "runtime/durablefile.h"
#include "runtime/runtime.h"

int studytable_resize(studytable *t, int n)
{
    if (n < 0)
        abort();
    if (n == 0) {
        studytable_free(t);
        return 0;
    }
    studyhash *grown = (studyhash *)realloc(t->studyTable, (size_t)n * sizeof(studyhash));
    if (grown == nullptr) {
        studytable_free(t);
        return 1;
    }
    t->studyTable = grown;
    t->studyCount = n;
    return 0;
}

void studytable_free(studytable *t)
{
    free(t->studyTable);
    t->studyTable = nullptr;
    t->studyCount = 0;
    t->keys = studykeys_table();
    t->keysCurrent = false;
}

bool studytable_mustUpdate(const studytable *t, const char *hashPath)
{
    struct stat st;
    if (stat(hashPath, &st) != 0)
        return false;
    if (st.st_size % (off_t)sizeof(studyhash) != 0)
        return false;
    if (st.st_size / (off_t)sizeof(studyhash) != t->studyCount)
        return true;
    return (uint32_t)st.st_mtime != t->studyTableTime;
}

int studytable_load(studytable *t, int fd, int force)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size % (off_t)sizeof(studyhash) != 0)
        return -1;
    off_t n = st.st_size / (off_t)sizeof(studyhash);
    if (n > INT32_MAX / (off_t)sizeof(studyhash))
        return -1;
    if (!force && n == t->studyCount && (uint32_t)st.st_mtime == t->studyTableTime)
        return 0;
    if (studytable_resize(t, (int)n) != 0)
        return -1;
    size_t bytes = (size_t)n * sizeof(studyhash);
    if (fullio_pread(fd, t->studyTable, bytes, 0) != (ssize_t)bytes) {
        // The file shrank under us or cannot be read: keep no half table.
        studytable_free(t);
        return -1;
    }
    t->studyTableTime = (uint32_t)st.st_mtime;
    // The digests belong to the table they were loaded with.
    t->keysCurrent = false;
    return 1;
}

int studytable_update(studytable *t, const char *hashPath)
{
    int fd = studyindex_openLocked(hashPath, O_RDONLY, 0, F_RDLCK);
    if (fd < 0)
        return -1;
    int result = studytable_load(t, fd, 0);
    // Closing the descriptor ends the lock.
    close(fd);
    return result;
}

// Whether the key digests must be loaded again.
static bool keysStale(const studytable *t, const char *stem)
{
    return (!t->keysCurrent && !t->keys.failed) || studykeys_changed(stem, t->keys);
}

bool studytable_stale(const studytable *t, const char *stem)
{
    return keysStale(t, stem) || studytable_mustUpdate(t, (OFString(stem) + ".hash").c_str());
}

int studytable_refresh(studytable *t, const char *stem, FILE *log)
{
    OFString hashPath = OFString(stem) + ".hash";
    bool keysChanged = keysStale(t, stem);
    if (!keysChanged && !studytable_mustUpdate(t, hashPath.c_str()))
        return 0;
    int fd = studyindex_openLocked(hashPath.c_str(), O_RDONLY, 0, F_RDLCK);
    if (fd < 0)
        return -1;
    // A study file written since the digests were loaded may have changed
    // within the second that the table's mtime shows: load both afresh.
    int result = studytable_load(t, fd, keysChanged);
    if (result >= 0) {
        int k = studykeys_load(stem, t->studyCount, &t->keys);
        if (k == 0) {
            logprintf(LOGLEVEL_NOTICE, log, "Rebuilding the key digests of %d studies.\n",
                      (int)t->studyCount);
            k = studykeys_rebuild(stem, t->studyCount, &t->keys, log) == 0 ? 1 : -1;
        }
        t->keysCurrent = k == 1;
        t->keysAbsent = false;
        result = 1;
    }
    // Closing the descriptor ends the lock.
    close(fd);
    return result;
}

void studytable_noteRecord(studytable *t, long index, const studydata *rec)
{
    if (!t->keysCurrent)
        return;
    std::vector<studykeys_record> &r = t->keys.records;
    if (index == (long)r.size())
        r.push_back(studykeys_make(rec));
    else if (index >= 0 && index < (long)r.size())
        r[(size_t)index] = studykeys_make(rec);
    else
        t->keysCurrent = false;
}

// The hash file's exclusive lock, the only one taken here, is held from
// the search to the last write and guards the data and keys files too. A
// new study is appended to the data file first: a crash before the summary
// is appended leaves a data record past the hash file's end, which readers
// never reach and compaction cuts off.
void studytable_closeFiles(studytable *t)
{
    if (t->heldHashFd >= 0)
        close(t->heldHashFd);
    if (t->heldDataFd >= 0)
        close(t->heldDataFd);
    t->heldHashFd = t->heldDataFd = -1;
    t->heldStem.clear();
}

// The study files of stem open (from an earlier store when the hash file
// still has its name) with the hash file locked exclusively; *st receives
// the hash file's status. 0, or -1 (errno set; nothing held). The two files
// are replaced as a pair under the hash file's lock (compaction, rebuild),
// so a data file opened with a hash file that still has its name does too.
// Whole-file locks belong to the process: nothing else in it holds one on
// these files while a store runs, so closing no descriptor drops ours.
static int lockStudyFiles(studytable *t, const char *stem, const OFString &hashPath,
                          const OFString &dataPath, mode_t mode, struct stat *st)
{
    if (t->heldStem != stem)
        studytable_closeFiles(t);
    for (int attempt = 0; attempt < 10; attempt++) {
        struct stat named;
        if (t->heldHashFd < 0) {
            t->heldHashFd = open(hashPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
            if (t->heldHashFd < 0)
                return -1;
            t->heldStem = stem;
        }
        if (VLCompat_LockWholeFile(t->heldHashFd, F_WRLCK) != 0) {
            int saved = errno;
            studytable_closeFiles(t);
            errno = saved;
            return -1;
        }
        // Compaction and rebuilds replace the files by rename while others
        // wait for the lock on the old one: a lock on a file that no longer
        // has this name guards nothing, so open the names again.
        if (fstat(t->heldHashFd, st) == 0 && stat(hashPath.c_str(), &named) == 0 &&
            st->st_ino == named.st_ino && st->st_dev == named.st_dev) {
            if (t->heldDataFd < 0)
                t->heldDataFd = open(dataPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
            if (t->heldDataFd >= 0)
                return 0;
        }
        int saved = errno;
        VLCompat_LockWholeFile(t->heldHashFd, F_UNLCK);
        studytable_closeFiles(t);
        errno = saved;
    }
    errno = EAGAIN;
    return -1;
}

int studytable_add(studytable *t, const char *stem, const DcmDataset *ds, mode_t mode, FILE *log,
                   int *changed, bool emptiedClear)
{
    OFString hashPath = OFString(stem) + ".hash";
    OFString dataPath = OFString(stem) + ".dat";
    int hashFd = -1, dataFd = -1, locked = 0, keysFd = -1;
    int result = -1;
    studyhash newHash = {};
    studydata newData = {};
    studydata stored;
    struct stat st;
    long n, found = -1;

    *changed = 0;
    // The search needs the study's key alone: the records are made whole
    // for a new study, and an indexed one has ds merged into its own.
    studyindex_makeKey(ds, &newHash, &newData);

    if (lockStudyFiles(t, stem, hashPath, dataPath, mode, &st) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot open study index %s: %s\n", hashPath.c_str(),
                  strerror(errno));
        goto out;
    }
    hashFd = t->heldHashFd;
    dataFd = t->heldDataFd;
    locked = 1;
    // Both files may just have been created.
    if (st.st_size == 0)
        *changed |= STUDYTABLE_CREATED;
    if (st.st_size % (off_t)sizeof(studyhash) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Study index %s malformed (%ld bytes).\n", hashPath.c_str(),
                  (long)st.st_size);
        goto out;
    }
    n = (long)(st.st_size / (off_t)sizeof(studyhash));
    if (n > INT32_MAX - 1)
        goto out;
    if (n != t->studyCount) {
        // Records were added or removed by another process: reload.
        size_t bytes = (size_t)n * sizeof(studyhash);
        if (studytable_resize(t, (int)n) != 0)
            goto out;
        if (fullio_pread(hashFd, t->studyTable, bytes, 0) != (ssize_t)bytes) {
            studytable_resize(t, 0);
            goto out;
        }
        t->keysCurrent = false;
        t->keysAbsent = false;
    }
    // The key digests are restamped after the study files are written; a
    // crash in between leaves them stale (index/studykeys.h).
    if (!t->keysAbsent) {
        errno = 0;
        keysFd = studykeys_begin(stem, n);
        t->keysAbsent = keysFd < 0 && errno == ENOENT;
    }

    // Newest first; a record is read from disk only when its CRC matches.
    for (long i = n - 1; i >= 0 && found < 0; i--) {
        if (t->studyTable[i].studyUidCrc != newHash.studyUidCrc)
            continue;
        if (studyindex_readRecord(dataFd, i, &stored, sizeof stored) == 1 &&
            studyindex_keyEquals(stored.studyInstanceUid, newData.studyInstanceUid))
            found = i;
    }

    if (found >= 0) {
        studyhash current;
        // Merge into the file's record i, not into this process's copy: another
        // process may have merged into it in place since the table was loaded.
        if (studyindex_readRecord(hashFd, found, &current, sizeof current) != 1)
            goto out;
        t->studyTable[found] = current;
        studydata dataBefore = stored;
        studyindex_makeRecords(ds, &t->studyTable[found], &stored, log);
        if (emptiedClear)
            studyindex_clearEmptied(ds, &t->studyTable[found], &stored);
        if (memcmp(&stored, &dataBefore, sizeof stored) != 0)
            *changed |= STUDYTABLE_DATA;
        if (memcmp(&t->studyTable[found], &current, sizeof current) != 0)
            *changed |= STUDYTABLE_HASH;
        if (memcmp(&stored, &dataBefore, sizeof stored) != 0 &&
            studyindex_writeRecord(dataFd, found, &stored, sizeof stored) != 0) {
            t->studyTable[found] = current;
            logprintf(LOGLEVEL_WARNING, log, "Cannot write study record: %s\n", strerror(errno));
            goto out;
        }
        if (memcmp(&t->studyTable[found], &current, sizeof current) != 0 &&
            studyindex_writeRecord(hashFd, found, &t->studyTable[found], sizeof current) != 0) {
            logprintf(LOGLEVEL_WARNING, log, "Cannot write study summary: %s\n", strerror(errno));
            goto out;
        }
        bool dataChanged = memcmp(&stored, &dataBefore, sizeof stored) != 0;
        if (dataChanged || memcmp(&t->studyTable[found], &current, sizeof current) != 0) {
            studykeys_record keys = studykeys_make(&stored);
            *changed |= STUDYTABLE_KEYS;
            studykeys_commit(keysFd, stem, found, dataChanged ? &keys : nullptr);
            keysFd = -1;
            studytable_noteRecord(t, found, &stored);
        }
    } else {
        struct stat dataSt;
        if (fstat(dataFd, &dataSt) != 0)
            goto out;
        studyindex_makeRecords(ds, &newHash, &newData, log);
        *changed |= STUDYTABLE_DATA | STUDYTABLE_HASH;
        // Grow the table first, so that a failure leaves both files as they were.
        if (studytable_resize(t, (int)n + 1) != 0)
            goto out;
        if (studyindex_writeRecord(dataFd, n, &newData, sizeof newData) != 0) {
            logprintf(LOGLEVEL_WARNING, log, "Cannot append study record: %s\n", strerror(errno));
            studytable_resize(t, (int)n);
            goto out;
        }
        if (studyindex_writeRecord(hashFd, n, &newHash, sizeof newHash) != 0) {
            logprintf(LOGLEVEL_WARNING, log, "Cannot append study summary: %s\n", strerror(errno));
            // The two files must keep one record per study: take the data
            // record back too.
            if (ftruncate(dataFd, dataSt.st_size) != 0)
                logprintf(LOGLEVEL_ERROR, log, "Cannot truncate %s: %s\n", dataPath.c_str(),
                          strerror(errno));
            studytable_resize(t, (int)n);
            goto out;
        }
        t->studyTable[n] = newHash;
        studykeys_record keys = studykeys_make(&newData);
        *changed |= STUDYTABLE_KEYS;
        studykeys_commit(keysFd, stem, n, &keys);
        keysFd = -1;
        studytable_noteRecord(t, n, &newData);
    }
    result = 0;
out:
    if (keysFd >= 0)
        close(keysFd);
    if (locked)
        VLCompat_LockWholeFile(hashFd, F_UNLCK);
    // After a failure the files are opened afresh by the next store.
    if (result != 0)
        studytable_closeFiles(t);
    return result;
}

long studytable_markDeleted(studytable *t, int hashFd, int dataFd, const char *study)
{
    uint32_t crc = studyindex_uidCrc(study);
    long found = -1;
    studydata rec;
    for (long i = 0; i < t->studyCount && found < 0; i++) {
        if (t->studyTable[i].studyUidCrc == crc &&
            studyindex_readRecord(dataFd, i, &rec, sizeof(rec)) == 1 &&
            studyindex_keyEquals(rec.studyInstanceUid, study))
            found = i;
    }
    if (found < 0)
        return -1;
    // The flag goes onto the file's own record: another process may have
    // merged into it since this table was loaded, within the same second of
    // modification time that a reload would not notice.
    studyhash h;
    if (studyindex_readRecord(hashFd, found, &h, sizeof(h)) != 1)
        h = t->studyTable[found];
    h.patientNameBits |= STUDYHASH_DELETED;
    t->studyTable[found] = h;
    studyindex_writeRecord(hashFd, found, &h, sizeof(h));
    studyindex_clearRecord(dataFd, found, sizeof(studydata));
    return found;
}

// Writes the records to a new version of the file at path under the name
// aside, flushed but not yet in place: 0, or -1 after a log (the temporary
// file then goes with f).
static int writeAside(durable_file *f, const OFString &path, const OFString &aside,
                      const void *records, size_t bytes, FILE *log)
{
    if (f->create(path.c_str(), 0664, aside.c_str()) != 0 || f->write(records, bytes) != 0 ||
        f->flush() != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot write %s: %s\n", aside.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

// Puts a file written aside in place: 0, or -1 after a log.
static int place(durable_file *f, FILE *log)
{
    if (f->commit() != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot replace %s: %s\n", f->path().c_str(),
                  strerror(errno));
        return -1;
    }
    return 0;
}

// Compaction never changes either study file in place. The kept records
// are written to STUDYINDEX.dat.compact.tmp and STUDYINDEX.hash.compact.tmp
// and flushed; then the data file is renamed into place (and its directory
// flushed), then the hash file. A failure before the first rename leaves
// the old pair. A crash
// - before the first rename leaves the old pair (and temporary files that
//   the next compaction overwrites);
// - between the renames leaves the new data file beside the old hash file,
//   whose deleted flags name exactly the records that were dropped: the next
//   compaction (the listener runs one at start) finishes the job by writing
//   the hash file alone;
// - after the second rename leaves the new pair.
// Readers and writers take the hash file's lock through
// studyindex_openLocked, which notices a replaced file, so no process uses
// the new data file with the old hash file while the lock is held here.
int studytable_compact(studytable *t, const char *stem, int fd, FILE *log)
{
    OFString dataPath = OFString(stem) + ".dat", hashPath = OFString(stem) + ".hash";
    OFString dataAside = dataPath + ".compact.tmp", hashAside = hashPath + ".compact.tmp";
    int dataFd = -1;
    int result = -1;
    long n, dataRecords, live = 0, kept = 0;
    struct stat st;
    studyhash *keptHash = nullptr;
    studydata *keptData = nullptr;
    int finishing;
    durable_file newData, newHash;

    // What a compaction or a keys writer killed before its rename left is
    // no longer anyone's: under this lock no other compaction runs, and the
    // temporary files are written afresh by each. (The listener compacts at
    // every start, so a kill leaves nothing beyond the next start.)
    unlink(dataAside.c_str());
    unlink(hashAside.c_str());
    studykeys_removeStale(stem);
    // Reload whatever the mtime says: a record merged by another process in
    // the second of our last load is not visible from the mtime. A malformed
    // file is left alone.
    if (studytable_load(t, fd, 1) < 0) {
        logprintf(LOGLEVEL_ERROR, log, "Study index malformed, not compacted.\n");
        return -1;
    }
    n = t->studyCount;
    dataFd = open(dataPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (dataFd < 0 || fstat(dataFd, &st) != 0)
        goto out;
    dataRecords = (long)(st.st_size / (off_t)sizeof(studydata));
    for (long i = 0; i < n; i++)
        if (!(t->studyTable[i].patientNameBits & STUDYHASH_DELETED))
            live++;
    // A data file that holds exactly the live records of a longer hash file
    // is the one an interrupted compaction renamed into place.
    finishing = dataRecords < n && dataRecords == live;
    if (dataRecords < n && !finishing) {
        logprintf(LOGLEVEL_ERROR, log,
                  "Study index out of step (%ld summaries, %ld records), not compacted.\n", n,
                  dataRecords);
        goto out;
    }
    // No study flagged and the files in step: nothing to drop, so the data
    // file (512 MB at a million studies, every minute from the listener's
    // housekeeping) is not read. Deletes flag before they clear, so a
    // cleared record without its flag is left to a compaction with work.
    if (live == n && dataRecords == n) {
        result = 0;
        goto out;
    }
    keptHash = (studyhash *)calloc((size_t)n + 1, sizeof(studyhash));
    keptData = (studydata *)calloc((size_t)n + 1, sizeof(studydata));
    if (keptHash == nullptr || keptData == nullptr)
        goto out;
    for (long i = 0; i < n; i++) {
        if (t->studyTable[i].patientNameBits & STUDYHASH_DELETED)
            continue;
        if (!finishing) {
            // A cleared data record is a delete cut short after its flag was
            // due: it goes as well.
            if (studyindex_readRecord(dataFd, i, &keptData[kept], sizeof(studydata)) != 1 ||
                !studyindex_isLive(&keptData[kept]))
                continue;
        }
        keptHash[kept++] = t->studyTable[i];
    }
    // Records past the hash file's end are an append cut short: dropped too.
    if (!finishing && kept == n && dataRecords == n) {
        result = 0;
        goto out;
    }
    if (finishing)
        logprintf(LOGLEVEL_NOTICE, log, "Finishing an interrupted study index compaction.\n");
    // Both files are written aside before either is renamed: a write that
    // fails (a full disk) then leaves the old pair, never a new data file
    // beside the old hash file that only another compaction could mend.
    if ((!finishing && writeAside(&newData, dataPath, dataAside, keptData,
                                  (size_t)kept * sizeof(studydata), log) != 0) ||
        writeAside(&newHash, hashPath, hashAside, keptHash, (size_t)kept * sizeof(studyhash),
                   log) != 0 ||
        (!finishing && place(&newData, log) != 0) || place(&newHash, log) != 0) {
        // The table may already describe the data file in place: load afresh.
        t->studyTableTime = 0;
        goto out;
    }
    // The key digests last: a crash before they are written leaves the old
    // keys file, whose stamps name the replaced study files: stale, rebuilt.
    if (finishing)
        studykeys_rebuild(stem, kept, nullptr, log);
    else
        studykeys_write(stem, keptData, kept, log);
    if (studytable_resize(t, (int)kept) != 0)
        goto out;
    if (kept > 0)
        memcpy(t->studyTable, keptHash, (size_t)kept * sizeof(studyhash));
    if (stat(hashPath.c_str(), &st) == 0)
        t->studyTableTime = (uint32_t)st.st_mtime;
    t->keysCurrent = studykeys_load(stem, kept, &t->keys) == 1;
    t->keysAbsent = false;
    result = 1;
out:
    free(keptHash);
    free(keptData);
    if (dataFd >= 0)
        close(dataFd);
    return result;
}

int studytable_compactFile(studytable *t, const char *stem, FILE *log)
{
    OFString path = OFString(stem) + ".hash";
    int fd = studyindex_openLocked(path.c_str(), O_RDWR, 0, F_WRLCK);
    if (fd < 0)
        return -1;
    int result = studytable_compact(t, stem, fd, log);
    // Closing the descriptor ends the lock.
    close(fd);
    return result;
}
