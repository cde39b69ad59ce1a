// Deleting from the store: LocalStore::DeleteFile removes one image, and
// with it an emptied series and an emptied study, or a series or a study
// alone. Index records are cleared in place (zero bytes); index files of
// emptied levels are moved aside to the bucket's DELETEME and unlinked;
// emptied directories are removed; a deleted study keeps its slot in both
// study files, with the deleted flag set, until compaction.
//
// A delete is announced first in an intent file (store/deleteintent.h) and
// the intent removed after the last step, so that a process killed in
// between leaves a record of what it was doing; LocalStore::FinishDeletes,
// at the next start, runs the delete again in its finishing form, which
// goes on through the levels where a record or file is already gone:
// - killed before the image file is unlinked: the whole delete is redone;
// - after the unlink, before the record is cleared: the record is cleared;
// - after the image record, before the series level: the series index is
//   searched again and, if it holds no other image, the series removed;
// - in the series or study level (record cleared, index file renamed to
//   DELETEME or not yet, directory there or not): the bucket's DELETEME is
//   removed and each remaining step done, a missing one passed over.
// Every step is thus either done or redone; none is done twice in a way
// that matters (clearing a cleared record, unlinking a gone file).
//
// Locks, in the order study lock (store/studylock.h: no store of the
// study places or indexes an image while its delete runs), series index,
// image index, study hash file: a level's
// index file is locked exclusively, as the write path locks it, from the
// search for the record until the record is cleared and, when the level is
// emptied, until the file has been moved aside. So a store into the same
// series waits while its index is searched and changed, and every record
// that it writes lands in a file that the delete has either finished with
// or will see. Every lock is held through the descriptor and ends when the
// descriptor is closed, on every path.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dicomnet/dicomnet.h"

#include "index/studyindex.h"
#include "runtime/logprintf.h"
#include "runtime/vlcompat.h"
#include "store/checksums.h"
#include "store/deleteintent.h"
#include "store/localstore.h"
#include "store/studylock.h"
#include "store/tier.h"

// An index file opened read-write and locked exclusively; closing it (at
// the latest when the guard goes) also ends the lock.
struct lockedIndex {
    int fd = -1;
    lockedIndex() = default;
    lockedIndex(const lockedIndex &) = delete;
    lockedIndex &operator=(const lockedIndex &) = delete;
    ~lockedIndex() { release(); }
    // Opens path without creating it and waits for the exclusive lock.
    // 0 open (locked, unless the lock failed, which leaves it open), -1 not open.
    int open(const char *path)
    {
        fd = ::open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return -1;
        // A lock that cannot be had (no lock memory) leaves the delete as
        // unguarded as it always was; it still goes on.
        VLCompat_LockWholeFile(fd, F_WRLCK);
        return 0;
    }
    void release()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// Wording of the two places that remove an emptied level's index file and
// directory: the series level and the study level.
struct removalTexts {
    const char *movedown;     // "... movedown(%s)\n"
    const char *movedNotGone; // DELETEME could not be unlinked
    const char *idxNotGone;   // rename failed and so did the unlink
    const char *rmdirFailed;  // the directory stayed
    unsigned failLevel;       // level of the failure messages
};
static const removalTexts seriesTexts = {
    "Del SERIES - movedown(%s)\n", "Del SERIES moved idx %s not found\n",
    "Del SERIES idx %s not found\n", "Del SERIES rmdir %s failed\n", LOGLEVEL_DEBUG};
static const removalTexts studyTexts = {"Del STUDY - movedown(%s)\n",
                                        "Del SERIES moved idx %s not unlinked.\n",
                                        "Del SERIES idx %s not unlinked after failed rename.\n",
                                        "Del SERIES rmdir %s failed\n", LOGLEVEL_WARNING};

// Moves the index file at path to the study's bucket directory as DELETEME
// and unlinks it there (or unlinks it in place when the move fails).
static void removeIndexFile(LocalStore *store, const char *study, const OFString &path,
                            const removalTexts &t)
{
    OFString bucket = store->GetUidBasePath(study);
    logprintf(LOGLEVEL_DEBUG, store->getLogfile(), t.movedown, path.c_str());
    logprintf(LOGLEVEL_DEBUG, store->getLogfile(), "SERIES movehelp is %s\n", bucket.c_str());
    // The rename takes the index out of its directory in one step, so that
    // no reader finds it there half removed and the directory can go next.
    // Two deletes in one bucket may use DELETEME at the same time; each name
    // then goes with one of the two unlinks, and both files are gone.
    OFString deleteme = bucket + "/DELETEME";
    store->noteChanged(bucket, 1);
    store->noteParentChanged(path);
    if (rename(path.c_str(), deleteme.c_str()) == 0) {
        if (unlink(deleteme.c_str()) != 0)
            logprintf(t.failLevel, store->getLogfile(), t.movedNotGone, deleteme.c_str());
    } else if (unlink(path.c_str()) != 0) {
        logprintf(t.failLevel, store->getLogfile(), t.idxNotGone, path.c_str());
    }
}

// Removes an emptied level's directory: the result of rmdir, 0 or -1.
static int removeDirectory(LocalStore *store, const OFString &dir, const removalTexts &t)
{
    logprintf(LOGLEVEL_DEBUG, store->getLogfile(), "Del SER rmdir(%s)\n", dir.c_str());
    store->noteParentChanged(dir);
    int r = rmdir(dir.c_str());
    if (r != 0)
        logprintf(t.failLevel, store->getLogfile(), t.rmdirFailed, dir.c_str());
    return r;
}

// Study level: marks the study deleted in both study files and the table,
// then removes its series index (locked in series, or opened here) and its
// directory. Result: 1 when a study file cannot be opened, else the rmdir's.
// (Already tolerant of any step being done: it serves finishing as is.)
static int deleteStudyLevel(LocalStore *store, const char *study, lockedIndex &series)
{
    OFString seriesPath = store->GetUidIndexPath(study, NULL) + ".dat";
    if (series.fd < 0)
        series.open(seriesPath.c_str());

    OFString stem = store->GetUidIndexPath(NULL, NULL);
    // The exclusive lock at once, not a shared one changed later: two
    // processes that both hold the shared lock and both ask for the
    // exclusive one would have one of them refused as a deadlock.
    lockedIndex hash;
    hash.fd = studyindex_openLocked((stem + ".hash").c_str(), O_RDWR, 0, F_WRLCK);
    if (hash.fd < 0)
        return 1;
    store->noteChanged(stem + ".hash", 0);
    store->noteChanged(stem + ".dat", 0);
    if (store->markStudyDeleted(hash.fd, study) < 0)
        return 1;
    hash.release();

    removeIndexFile(store, study, seriesPath, studyTexts);
    series.release();
    return removeDirectory(store, store->GetUidPath(study, NULL, NULL, 1), studyTexts);
}

// Series level: clears the series record in the study's series index (held
// in series, or opened here), removes the series' image index (held in
// image, or opened here) and directory, and goes on with the study when it
// has no other series. Result: 1 when the series index or the record is
// missing, else the result of the last removal. finishing: a missing index
// or record is a step done before a crash, and the delete goes on.
static int deleteSeriesLevel(LocalStore *store, const char *study, const char *seriesUid,
                             lockedIndex &series, lockedIndex &image, int finishing)
{
    OFString seriesPath = store->GetUidIndexPath(study, NULL) + ".dat";
    logprintf(LOGLEVEL_DEBUG, store->getLogfile(), "Del SER in %s\n", seriesPath.c_str());
    if (series.fd < 0 && series.open(seriesPath.c_str()) != 0)
        return finishing ? deleteStudyLevel(store, study, series) : 1;
    OFString imagePath = store->GetUidIndexPath(study, seriesUid) + ".dat";
    // Series before image, the order of every nested lock of this file.
    if (image.fd < 0)
        image.open(imagePath.c_str());

    seriesrecord rec;
    studyindex_search s = studyindex_searchKey(series.fd, seriesUid, &rec, sizeof(rec));
    if (s.found < 0 && !finishing) {
        logprintf(LOGLEVEL_DEBUG, store->getLogfile(), "Del SERIES - not found!\n");
        return 1;
    }
    if (s.found >= 0) {
        studyindex_clearRecord(series.fd, s.found, sizeof(rec));
        store->noteChanged(seriesPath, 0);
    }

    removeIndexFile(store, study, imagePath, seriesTexts);
    image.release();
    // The series' checksum lines name only images that are gone now (a
    // crash before this unlink leaves them, stale and harmless, for the
    // repeated delete).
    OFString seriesDir = store->GetUidPath(study, seriesUid, NULL, 1);
    unlink(checksums_path(seriesDir.c_str()).c_str());
    int result = removeDirectory(store, seriesDir, seriesTexts);

    // Not found, the search has passed over every record already.
    if (!s.others && s.found >= 0)
        s.others = studyindex_liveAfter(series.fd, s.found, &rec, sizeof(rec));
    if (s.others)
        return result;
    return deleteStudyLevel(store, study, series);
}

// Image level: clears the image record, unlinks the image file, and goes on
// with the series when it has no other image. finishing: as for the series.
static int deleteImageLevel(LocalStore *store, const char *study, const char *seriesUid,
                            const char *sop, int finishing)
{
    logprintf(LOGLEVEL_DEBUG, store->getLogfile(), "Del IMG\n");
    lockedIndex series, image;
    // The series index is locked first (held while the image index is
    // searched): a store locks each index in turn, and a cascading delete
    // needs both, always in this order.
    series.open((store->GetUidIndexPath(study, NULL) + ".dat").c_str());
    if (image.open((store->GetUidIndexPath(study, seriesUid) + ".dat").c_str()) != 0)
        return finishing ? deleteSeriesLevel(store, study, seriesUid, series, image, 1) : 1;

    imagerecord rec;
    studyindex_search s = studyindex_searchKey(image.fd, sop, &rec, sizeof(rec));
    if (s.found < 0 && !finishing) {
        logprintf(LOGLEVEL_WARNING, store->getLogfile(), "Del IMG - not found!\n");
        return 1;
    }
    // The file goes before its record: a crash in between leaves an entry
    // without its file, which a repeated delete finds and finishes (a file
    // without its entry could be neither found nor deleted). A file that
    // is already gone is such a repeat.
    OFString file = store->GetUidPath(study, seriesUid, sop, 1);
    store->noteParentChanged(file);
    logprintf(LOGLEVEL_DEBUG, store->getLogfile(), "Del IMG - unlink(%s)\n", file.c_str());
    int result = unlink(file.c_str()) == 0 || errno == ENOENT ? 0 : -1;
    // An image in the object tier: its object, then its stub. When the
    // object cannot be deleted the image stays indexed with its stub, and
    // the delete fails (to be repeated once the tier is back).
    if (result == 0 && tier_forgetImage(store->getTier(), file.c_str(), store->getLogfile()) != 0)
        return -1;
    if (s.found >= 0) {
        studyindex_clearRecord(image.fd, s.found, sizeof(rec));
        store->noteChanged(store->GetUidIndexPath(study, seriesUid) + ".dat", 0);
    }
    // The image's checksum record ends; not flushed, and a failure (a full
    // disk) is passed over: a record left behind names an image that is
    // gone, which check reports and scrub drops.
    if (result == 0)
        checksums_forget(store->GetUidPath(study, seriesUid, NULL, 1).c_str(), sop);

    if (!s.others && s.found >= 0)
        s.others = studyindex_liveAfter(image.fd, s.found, &rec, sizeof(rec));
    if (s.others)
        return result;
    return deleteSeriesLevel(store, study, seriesUid, series, image, finishing);
}

// The delete of the image, series or study (finishing: see deleteSeriesLevel).
static int deleteAny(LocalStore *store, const char *study, const char *series, const char *image,
                     int finishing)
{
    if (image)
        return deleteImageLevel(store, study, series, image, finishing);
    lockedIndex seriesIndex, imageIndex;
    if (series)
        return deleteSeriesLevel(store, study, series, seriesIndex, imageIndex, finishing);
    return deleteStudyLevel(store, study, seriesIndex);
}

// Checks the UIDs of a delete: 0 usable. The image form needs all three
// UIDs, the series form the study's; and a UID that is refused for storing
// names nothing in the store (a "/" would lead out of it).
static int checkDeleteUids(LocalStore *store, const char *study, const char *series,
                           const char *image)
{
    if (!study || (image && !series))
        return 1;
    if (store->CheckUid(study, "Study Instance UID") != LS_OK ||
        (series && store->CheckUid(series, "Series Instance UID") != LS_OK) ||
        (image && store->CheckUid(image, "SOP Instance UID") != LS_OK))
        return 1;
    return 0;
}

// deleteintent_finisher of FinishDeletes: the delete in its finishing form,
// flushed before the intent goes.
static void finishDelete(void *arg, const char *study, const char *series, const char *image)
{
    LocalStore *store = (LocalStore *)arg;
    if (checkDeleteUids(store, study, series, image) != 0)
        return;
    // A store of the study by a process that runs beside this start (a web
    // server) waits until the delete is finished.
    studylock lock;
    OFString uidDir = store->GetUidPath(nullptr, nullptr, nullptr, 1);
    if (studylock_acquire(store->getStudyLocks(), &lock, uidDir.c_str(), study,
                          store->getLogfile()) != 0)
        return;
    // A DELETEME of the bucket can only be ours: no other delete runs.
    OFString deleteme = store->GetUidBasePath(study) + "/DELETEME";
    if (unlink(deleteme.c_str()) == 0)
        store->noteChanged(store->GetUidBasePath(study), 1);
    deleteAny(store, study, series, image, 1);
    store->SyncWrites();
}

// A cluster node's delete of one image (DeleteFile on a cluster node,
// whose core hands it images one at a time): the row, then the object,
// then this node's file, under an intent file written first. A kill leaves:
// - before the row's delete commits: the image whole, and the intent,
//   whose finishing at the next start (FinishDeletes) deletes it;
// - after the row, before the object: an image no node serves (a read asks
//   for the row first) with its object and maybe its file: the finishing
//   deletes both;
// - after the object, before the file: the file alone, never served (no
//   row), removed by the finishing (and by the first read that finds it).
// The other nodes' cached files are theirs to drop: the core records the
// delete in the database for them (core/archive.cc). A gateway that cannot
// delete the object keeps the intent (the next start tries again) and
// fails the delete; the image is gone for readers already.
// finishing: the next start's form, which goes on past a missing row.
static int deleteShared(LocalStore *store, const char *study, const char *series, const char *image,
                        bool finishing)
{
    OFString file = store->GetUidPath(study, series, image, 1);
    int r = store->index().remove(study, series, image);
    if (r == INDEX_FAILED)
        return -1;
    // Not indexed (nor being stored: the row's study lock is waited for):
    // no image of this node to delete, unless a delete cut short left it.
    if (r == INDEX_MISSING && !finishing)
        return 1;
    if (store->getTier() == nullptr || tier_deleteObject(*store->getTier(), store->getBaseDir(),
                                                         file.c_str(), store->getLogfile()) != 0)
        return -2;
    if (unlink(file.c_str()) == 0)
        store->noteParentChanged(file);
    else if (errno != ENOENT)
        return -1;
    return 0;
}

static void finishShared(void *arg, const char *study, const char *series, const char *image)
{
    LocalStore *store = (LocalStore *)arg;
    if (checkDeleteUids(store, study, series, image) != 0 || image == nullptr)
        return;
    if (deleteShared(store, study, series, image, true) == 0)
        logprintf(LOGLEVEL_NOTICE, store->getLogfile(), "Finished the delete of %s.\n",
                  store->GetUidPath(study, series, image, 1).c_str());
}

int LocalStore::DeleteFile(const char *study, const char *series, const char *image)
{
    if (checkDeleteUids(this, study, series, image) != 0)
        return 1;
    if (sharedIndex()) {
        // One image at a time on a cluster node (the core lists a study's).
        if (image == nullptr)
            return 1;
        OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
        deleteintent intent;
        if (deleteintent_begin(uidDir.c_str(), study, series, image, &intent, logStream) != 0)
            return errno == ENOENT ? 1 : -1;
        int r = deleteShared(this, study, series, image, false);
        if (r == -2) {
            // The intent stays for the next start: closed, not removed.
            close(intent.fd);
            intent.fd = -1;
            return -1;
        }
        deleteintent_end(&intent, logStream);
        if (r == 0)
            removeEmptyDirs(study, series);
        return r;
    }
    deleteintent intent;
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    // Held until the intent is gone: a store of this study waits, so that
    // it never places a file in a directory the delete is removing, nor
    // writes records the delete has already passed.
    studylock lock;
    if (studylock_acquire(&studyLocks, &lock, uidDir.c_str(), study, logStream) != 0)
        return errno == ENOENT ? 1 : -1;
    if (deleteintent_begin(uidDir.c_str(), study, series, image, &intent, logStream) != 0)
        return errno == ENOENT ? 1 : -1;
    int result = deleteAny(this, study, series, image, 0);
    deleteintent_end(&intent, logStream);
    return result;
}

int LocalStore::DeleteHeld(const char *study, const char *series, const char *image)
{
    if (checkDeleteUids(this, study, series, image) != 0 || image == nullptr)
        return 1;
    // DeleteFile's steps without its lock: the caller holds the study's.
    deleteintent intent;
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    if (deleteintent_begin(uidDir.c_str(), study, series, image, &intent, logStream) != 0)
        return errno == ENOENT ? 1 : -1;
    int result = deleteAny(this, study, series, image, 0);
    removeEmptyDirs(study, series);
    deleteintent_end(&intent, logStream);
    return result;
}

int LocalStore::FinishDeletes()
{
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    return deleteintent_finishAll(uidDir.c_str(), sharedIndex() ? finishShared : finishDelete, this,
                                  logStream);
}

void LocalStore::takeBack(const char *study, const char *series, const char *image)
{
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    OFString file = GetUidPath(study, series, image, 1);
    logprintf(LOGLEVEL_WARNING, logStream, "Taking back %s: its store failed.\n", file.c_str());
    // What the take-back changes is no journal record's to make again (the
    // record is taken back too): it is flushed before the release.
    int covered = journalCovers;
    journalCovers = 0;
    // The intent first (a full disk may refuse it: the take-back goes on
    // without), then the file, then the records, as any delete does; the
    // finishing form passes over every record that was never written.
    deleteintent intent;
    int announced =
        deleteintent_begin(uidDir.c_str(), study, series, image, &intent, logStream) == 0;
    noteParentChanged(file);
    if (unlink(file.c_str()) != 0 && errno != ENOENT)
        logprintf(LOGLEVEL_ERROR, logStream, "Cannot remove %s: %s\n", file.c_str(),
                  strerror(errno));
    deleteAny(this, study, series, image, 1);
    removeEmptyDirs(study, series);
    if (announced)
        deleteintent_end(&intent, logStream);
    journalCovers = covered;
}

void LocalStore::takeBackLocked(const char *study, const char *series, const char *image,
                                ino_t placed)
{
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    OFString file = GetUidPath(study, series, image, 1);
    struct stat st;
    if (sharedIndex()) {
        // A cluster node's image failed after its row committed (its
        // companion could not be kept, its file not closed): taken back as
        // a delete is made, row, object and file, under an intent.
        if (stat(file.c_str(), &st) != 0 || st.st_ino != placed)
            return;
        logprintf(LOGLEVEL_WARNING, logStream, "Taking back %s: its store failed.\n", file.c_str());
        deleteintent intent;
        if (deleteintent_begin(uidDir.c_str(), study, series, image, &intent, logStream) != 0)
            return;
        if (deleteShared(this, study, series, image, true) == -2) {
            close(intent.fd); // the next start finishes it
            intent.fd = -1;
            return;
        }
        deleteintent_end(&intent, logStream);
        return;
    }
    studylock lock;
    if (studylock_acquire(&studyLocks, &lock, uidDir.c_str(), study, logStream) == 0 &&
        stat(file.c_str(), &st) == 0 && st.st_ino == placed)
        takeBack(study, series, image);
}

// The UIDs of a data set, or null when one is missing or refused.
static int datasetUids(LocalStore *store, DcmDataset *ds, const char *uid[3])
{
    uid[0] = dicomnet_getTagString(ds, DCM_StudyInstanceUID);
    uid[1] = dicomnet_getTagString(ds, DCM_SeriesInstanceUID);
    uid[2] = dicomnet_getTagString(ds, DCM_SOPInstanceUID);
    return uid[0] != nullptr && uid[1] != nullptr && uid[2] != nullptr &&
           checkDeleteUids(store, uid[0], uid[1], uid[2]) == 0;
}

int LocalStore::finishStore(const char *path, int fd)
{
    struct stat st;
    int entered = 0;
    DcmFileFormat file;
    const char *uid[3] = {nullptr, nullptr, nullptr};
    // Large elements (the pixels) stay on disk: only the attributes the
    // index holds are read.
    if (fstat(fd, &st) != 0 || file.loadFile(path).bad() ||
        !datasetUids(this, file.getDataset(), uid)) {
        // Unreadable: cut short while it was written, so never placed.
        if (fstat(fd, &st) == 0 && st.st_nlink > 1)
            logprintf(LOGLEVEL_ERROR, logStream, "Cannot read %s, which is placed.\n", path);
        else if (unlink(path) == 0)
            logprintf(LOGLEVEL_NOTICE, logStream, "Removed %s (a store cut short).\n", path);
        return 0;
    }
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    OFString target = GetUidPath(uid[0], uid[1], uid[2], 1);
    if (sharedIndex()) {
        // A cluster node's store cut short (placeShared): the row is
        // written last, by COMMIT. With a row the placed file is the
        // image's cache and stays; without one the image was never
        // acknowledged, and its placed file goes with the temporary name.
        std::vector<index_image> found;
        struct stat placed;
        bool mine = st.st_nlink > 1 && stat(target.c_str(), &placed) == 0 &&
                    placed.st_ino == st.st_ino && placed.st_dev == st.st_dev;
        // A database that cannot be asked (-1) keeps the placed file: it
        // may be the only copy of an acknowledged image not yet uploaded.
        if (mine && index().locate({uid[2]}, &found) == 0 && unlink(target.c_str()) == 0)
            removeEmptyDirs(uid[0], uid[1]);
        unlink(path);
        noteChanged(uidDir, 1);
        logprintf(LOGLEVEL_NOTICE, logStream, "Finished %s (a store cut short).\n", path);
        return 0;
    }
    index_transaction *t = index().begin(uid[0]);
    if (t == nullptr)
        return 0;
    struct stat placed;
    if (st.st_nlink > 1 && stat(target.c_str(), &placed) == 0 && placed.st_ino == st.st_ino &&
        placed.st_dev == st.st_dev) {
        // Placed and maybe partly indexed: the records are written (again);
        // each step replaces its own record, so nothing is entered twice.
        // Records that cannot be written take the image back (the abort),
        // as its store would have.
        // Its checksum line, which the crash may have come before, is
        // computed from the file (the bytes placed) when it is not there.
        checksums_record sum, had;
        OFString seriesDir = GetUidPath(uid[0], uid[1], nullptr, 1);
        int lined = checksums_computeFd(fd, &sum) == 0 &&
                    ((checksums_lookup(seriesDir.c_str(), uid[2], &had) == 0 &&
                      had.sha256 == sum.sha256 && had.size == sum.size) ||
                     checksums_append(seriesDir.c_str(), uid[2], sum, logStream) == 0);
        if (lined)
            noteChanged(OFString(checksums_path(seriesDir.c_str()).c_str()), 0);
        else
            logprintf(LOGLEVEL_ERROR, logStream, "No checksum recorded for %s.\n", target.c_str());
        if (index().add(t, file.getDataset(), INDEX_ADD_PLACED) == INDEX_OK) {
            logprintf(LOGLEVEL_NOTICE, logStream, "Entered %s in the index (a store cut short).\n",
                      target.c_str());
            entered = 1;
        } else {
            index().abort(t);
            t = nullptr;
        }
    } else {
        removeEmptyDirs(uid[0], uid[1]);
        logprintf(LOGLEVEL_NOTICE, logStream, "Removed %s (a store cut short).\n", path);
    }
    unlink(path);
    noteChanged(uidDir, 1);
    if (t != nullptr)
        index().commit(t);
    return entered;
}

int LocalStore::FinishStores()
{
    OFString uidDir = GetUidPath(nullptr, nullptr, nullptr, 1);
    DIR *dir = opendir(uidDir.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT)
            return 0;
        logprintf(LOGLEVEL_ERROR, logStream, "Cannot list %s: %s\n", uidDir.c_str(),
                  strerror(errno));
        return -1;
    }
    std::vector<std::string> names;
    const size_t prefix = strlen(LS_INCOMING_PREFIX);
    for (struct dirent *de; (de = readdir(dir)) != nullptr;) {
        size_t n = strlen(de->d_name);
        if (n > prefix + 4 && strncmp(de->d_name, LS_INCOMING_PREFIX, prefix) == 0 &&
            strcmp(de->d_name + n - 4, ".tmp") == 0)
            names.push_back(de->d_name);
    }
    closedir(dir);
    int entered = 0;
    for (const std::string &name : names) {
        std::string path = std::string(uidDir.c_str()) + "/" + name;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        // Locked: a live process (a web server beside this start) is
        // writing it.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            entered += finishStore(path.c_str(), fd);
        close(fd);
    }
    if (!names.empty())
        SyncWrites();
    return entered;
}
