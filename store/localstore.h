// LocalStore: the image store of one server process. Its base directory
// and UID tree, the write path of a received image, the patient link tree,
// deleting, and the entry points to its index (index/: the record formats,
// the in-memory study table, matching and query execution, which know
// nothing of the store). One store exists per process; processes share
// only the files below the base directory, coordinated by whole-file fcntl
// locks on the index files.
//
// Results are small integers (LS_* below); nothing is thrown. Paths are
// returned as OFString. Messages go to logStream through logprintf.
#ifndef VELTO_STORE_LOCALSTORE_H
#define VELTO_STORE_LOCALSTORE_H

#include "dcmtk/config/osconfig.h"

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/ofstd/ofstring.h"

#include "index/finddataset.h"
#include "index/indexbackend.h"
#include "index/querymatch.h"
#include "index/retrievelist.h"
#include "index/studyindex.h"
#include "index/studytable.h"
#include "store/capacity.h"
#include "store/studylock.h"
#include "store/tier.h"

struct elementwalk;      // dicomnet/elementwalk.h
class fileindex;         // store/fileindex.h
struct journal;          // store/journal.h
struct checksums_record; // store/checksums.h

// Result codes of the store's operations.
enum {
    LS_OK = 0,          // done
    LS_EXISTS = 1,      // image file exists and was not overwritten
    LS_MISSING = 2,     // file not readable (Have* queries)
    LS_INDEX_ERROR = 3, // index or image file could not be written
    LS_BASEDIR = 4,     // base directory unusable
    LS_DIR_ERROR = 5,   // a directory could not be created
    LS_BAD_UID = 6,     // a UID is missing or refused
};

// Flags of FindDataset.
enum {
    LS_FIND_COMBINED_DATETIME = 1, // StudyDate with StudyTime as one date-time range
};

// Longest UID the store accepts: index keys are 64 bytes wide.
enum { LS_UID_MAX = 64 };

// Names of the temporary files of images being stored, in B/uid, begin with
// this (and end in ".tmp").
#define LS_INCOMING_PREFIX "STORING."

// Built-in base directory when no "LocalStoreDir" file is found.
#define LS_DEFAULT_BASEDIR "/ct/dicom"

class LocalStore
{
public:
    // --- configuration and layout ---
    // Reads "LocalStoreDir" along the configuration search path (else
    // "/ct/dicom"), checks the directory and loads the study table.
    LocalStore();
    // Uses dir (borrowed, must outlive the store) as the base directory; reads
    // no configuration file; checks it and loads the study table.
    explicit LocalStore(const char *dir);
    // Frees baseDir if owned and the study table.
    ~LocalStore();
    LocalStore(const LocalStore &) = delete;
    LocalStore &operator=(const LocalStore &) = delete;

    // Sets the log stream (borrowed; null logs nothing).
    void setLogfile(FILE *stream);
    // Replaces baseDir by the first line of file (CR/LF cut) when it opens;
    // null or an unopenable file changes nothing.
    void ReadBaseDirConfig(const char *file);
    // Searches for "LocalStoreDir" again (for a prefix learnt after
    // construction); when the first file found names another base directory,
    // switches to it and reloads the study table. 1 switched, 0 unchanged.
    int ReloadBaseDirConfig();
    // 0 if dir is readable, searchable and writable, else 4 after a level-8 log.
    int check_and_complain_dir(const char *dir);
    // 0 if uid is a usable UID (1..64 bytes, no "/", no control byte), else 6
    // after a level-16 log naming what (e.g. "Study Instance UID").
    int CheckUid(const char *uid, const char *what);
    // Creates B, B/uid and the study (and series) directories; existing ones
    // count as made. 0, or 5 after logging the failed step.
    int CreateUidPath(const char *study, const char *series);
    // [B]/uid[/XX/YY/study_S][/series_R][/image_I.dcm]; null levels left out.
    OFString GetUidPath(const char *study, const char *series, const char *image, int withBase);
    // GetUidPath of the dataset's study, series and SOP instance UIDs.
    OFString GetUidPath(DcmDataset *ds, int withBase);
    // Index stem of the level below: .../IMAGEINDEX, .../SERIESINDEX or
    // B/uid/STUDYINDEX (callers append ".dat" or ".hash").
    OFString GetUidIndexPath(const char *study, const char *series);
    // The study's bucket directory B/uid/XX/YY (no trailing "/").
    OFString GetUidBasePath(const char *study);
    // 0 if the dataset's image file is readable, else 2.
    int HaveDataset(DcmDataset *ds);
    // 0 if the image file (or directory) of the UIDs is readable, else 2.
    int HaveFile(const char *study, const char *series, const char *image);
    // Modification time (s) of the image file, or of the index of the level
    // below when image is null; 0 when not readable.
    uint32_t HaveFileTime(const char *study, const char *series, const char *image);
    // Size of the image file in bytes, or 0xFFFFFFFF.
    uint32_t HaveFileSize(const char *study, const char *series, const char *image);
    // Bytes of B/uid's file system (f_frsize * f_blocks); 0 on failure.
    uint64_t LS_GetTotalSpace();
    // Bytes available to unprivileged users (f_bsize * f_bavail); 0 on failure.
    uint64_t LS_GetFreeSpace();

    // --- write path ---
    // Writes the image under a temporary name (or links it to sourceFile,
    // linkMode 1 symbolic, 2 hard), places it under its name, then enters ds
    // in the study, series and image index, all of the placing and indexing
    // under the study's lock (store/studylock.h). An existing image is
    // refused when overwriteFile is 0 (1, no index file touched), else
    // replaced. 0 stored, 1 exists, 3 an index file could not be opened or
    // written, the image not written or (with setSyncEachImage) not
    // flushed, 5 directory error, 6 UID missing or refused. On every result
    // but 0 a new image is not in the tree, nor in the index, nor (with -S)
    // in the journal. ds is only read.
    //
    // with (null: none) is what the caller keeps with the image (the
    // core's forwarding jobs), made durable before the image can count as
    // stored and settled when it is known whether the image stays.
    struct companion {
        // Before the image is placed (and, with -S, before its journal
        // record is committed): 0 held, or -1 after a log, which refuses the
        // image (3) with nothing of it placed.
        int (*hold)(void *arg);
        // The image's file stays in place: stored (and on disk as the store
        // promises), or answered as failed but not removable (a replaced
        // image whose records could not be rewritten, a take-back that
        // failed). Needs no room on the disk. 0, or -1 after a log: a
        // stored new image is then taken back and refused (3), and what
        // hold made is dropped, or left for the next start if the image
        // still stays.
        int (*keep)(void *arg);
        // The image is not stored (refused, failed, taken back): what hold
        // made is removed; unlinks only, so a full disk cannot stop it.
        void (*drop)(void *arg);
        // What hold made is left as it is, for the next start.
        void (*leave)(void *arg);
        void *arg;
    };
    // A crash leaves what hold made with the image placed or not: the
    // caller's start settles it by whether the image is in the store.
    int WriteDataset(DcmDataset *ds, int overwriteFile, const char *sourceFile, int linkMode,
                     const companion *with = nullptr);
    // Encodes ds as a Part 10 file in xfer into fd (a new temporary file,
    // named tmp for the log), as the write path does: every piece written
    // with a checked write, the bytes hashed into *sum. Not flushed. 0, or
    // LS_INDEX_ERROR after a log. (A change of stored images writes its new
    // files through it.)
    int WriteImageFile(DcmDataset *ds, int fd, const char *tmp, E_TransferSyntax xfer,
                       checksums_record *sum);
    // --- streamed write path (store/incoming.cc) ---
    // An image received as the bytes of its data set, in the transfer syntax
    // it is stored in (Explicit VR Little Endian, or an encapsulated one):
    // the bytes go into a temporary file behind a meta header as they come,
    // never all held in memory, and only the head of the data set (what
    // comes before the pixel data) is parsed, for the checks, the index and
    // the announcement. The file then goes the way of WriteDataset's: the
    // same journal record with -S, the same placing and indexing.
    struct incoming;
    // Starts an image in transferSyntax (a UID). walk is the caller's walk
    // of the same bytes (borrowed; each piece is fed to it before
    // FeedIncoming): it tells where the head ends and proves the encoding.
    incoming *BeginIncoming(const char *transferSyntax, const struct elementwalk *walk);
    // The next piece of the data set, last set with its end. A failure
    // (a write, the head's parse) is kept: the rest is dropped and
    // StoreIncoming reports it.
    void FeedIncoming(incoming *in, const unsigned char *bytes, size_t n, bool last);
    // The parsed head once the data set is whole (owned by in), or null when
    // it could not be parsed or a file could not be written.
    DcmDataset *IncomingHead(incoming *in);
    // Stores the whole image as WriteDataset does (overwriteFile, results
    // and journal alike; LS_INDEX_ERROR also for a failed write). Once.
    int StoreIncoming(incoming *in, int overwriteFile, const companion *with = nullptr);
    // Frees in (null is fine) and removes a temporary file not placed.
    void EndIncoming(incoming *in);
    // The attributes a streamed image's head is parsed for, when the
    // caller's walk records the head's elements (elementwalk's
    // recordElements): the store's own (the UIDs, the index records, the
    // link tree) and extra, what the caller reads of the head. The head's
    // other elements stay in the file as they came, unparsed: a head of
    // hundreds of elements (private groups, per-frame sequences) costs no
    // more to take in than one of the few that matter. Until this is
    // called, the whole head is parsed.
    void setHeadTags(const std::vector<DcmTagKey> &extra);
    bool headTagsSet() const { return !headTags.empty(); }

    // Links the stored image into B/patient/... (a name part longer than the
    // file system takes is shortened, keeping a digest of the whole, and
    // logged). 0, or 5 if a directory failed (logged); the image stays
    // stored either way.
    int WriteSymlinks(DcmDataset *ds);
    // Appends every attribute WriteSymlinks reads to out: a data set holding
    // only these (and the UIDs) gives the same link.
    static void linkTreeTags(std::vector<DcmTagKey> *out);
    // Writes len bytes fully (short writes repeated): bytes written, the count
    // so far when a write returns 0, or the negative result of a failing write.
    static ssize_t write_all(int fd, const void *buf, size_t len);

    // --- durability ---
    // on non-zero: each image is on disk before WriteDataset returns: as a
    // record of this process's image journal (store/journal.h), flushed,
    // while the tree and the index reach the disk at the next SyncWrites;
    // an image too large for the journal (or when no journal can be used)
    // is flushed with its index records and directories (SyncWrites).
    // Otherwise everything reaches the disk at the next SyncWrites.
    void setSyncEachImage(int on);
    // Flushes exactly the files and directories that this process created
    // or changed (image files, their directories, index files) since the
    // last call: fdatasync for files, fsync for directories; a path that is
    // gone since (deleted later) is passed over. Then empties the image
    // journal. 0 done or nothing to do, -1 after a level-8 log naming the
    // path (what failed stays noted, so a later call tries it again).
    int SyncWrites();
    // Writes the images of every image journal that no live process holds
    // (left by one that died before its images were flushed in the tree)
    // into the tree and the index, flushes them and empties the journals.
    // For a process that starts on the store, before it reads the index.
    // The number of images written, or -1 (logged; the journal is kept).
    int ReplayJournals();
    // 1 when all that this process changed since the last SyncWrites are
    // images that its journal holds (on disk already), so that the flush of
    // the tree may come after the peer has been answered; else 0.
    int JournalHoldsAll();
    // Flushes the stored image of the UIDs with its directories and index
    // files, whoever wrote it: 0 on disk, 2 (LS_MISSING) not stored or not
    // readable, -1 the flush failed (logged at level 8).
    int SyncImage(const char *study, const char *series, const char *image);
    // SyncImage without the flush: notes the image's paths for the next
    // SyncWrites (many images then share one flush of their directories and
    // index files). 0, or 2 (LS_MISSING).
    int NoteImage(const char *study, const char *series, const char *image);
    // NoteImage for a stored image whose file the caller has just flushed
    // through a descriptor of its own: notes its index files and directories
    // only, and takes the file off the list if this process wrote it.
    void NoteFlushedImage(const char *study, const char *series, const char *image);

    // --- work done on the peer's time ---
    // Between two commands of an association, while nothing of the next one
    // has come: what the next image would do first, done while the peer
    // prepares it. After an image was stored, the temporary file of the
    // next one is made ahead (openIncoming hands it out). 1 when more may be
    // left to do, 0 when nothing is.
    int Idle();
    // Removes the temporary file that Idle made ahead and no image used: at
    // the association's end, before its flush.
    void EndIdle();
    // Finds the study and series of stored instances by their SOP instance
    // UIDs, in one walk of the index (studies newest first; each series'
    // image index read once) after refreshStudyTable: (*places)[i] for
    // instances[i], with study and series empty when it is not indexed. The
    // number found.
    int LocateImages(const std::vector<std::string> &instances,
                     std::vector<retrievelist_image> *places);
    // Notes a file (isDir 0) or directory (1) of the store as changed, for
    // the next SyncWrites; noteParentChanged notes the directory holding path.
    void noteChanged(const OFString &path, int isDir);
    // noteChanged for an image file just written through fd: 0 when the
    // store takes fd (kept for the flush, closed after it), -1 when it
    // holds enough descriptors already (the caller closes fd).
    int noteWritten(const OFString &path, int fd);
    void noteParentChanged(const OFString &path);

    // --- store-wide lock ---
    // Takes a lock on the base directory (flock) without waiting: shared
    // (exclusive 0) by a running server, exclusive by a tool that rewrites
    // the whole index. The descriptor that holds the lock (the lock ends
    // when it and every copy of it, forked ones included, are closed; not
    // inherited by exec), or -1 with errno EAGAIN when another process holds
    // a lock in the way, or another errno when the directory cannot be opened.
    int LockStore(int exclusive);

    // --- delete ---
    // Deletes the image (then an emptied series, then an emptied study), or
    // the series, or the study. 1 not found / index missing, else 0 or -1
    // from the last unlink/rmdir.
    int DeleteFile(const char *study, const char *series, const char *image);
    // DeleteFile of one image by a caller that holds the study's lock
    // already (a change of stored images, which holds several): the same
    // intent and steps, and its emptied directories removed. 1 not found,
    // else 0 or -1.
    int DeleteHeld(const char *study, const char *series, const char *image);
    // Finishes the stores that a killed process left (its temporary files
    // B/uid/STORING.*.tmp that no live process holds): an image already
    // placed under its name is entered in the index, anything else removed
    // with the empty directories it made. For a process that starts on the
    // store, after FinishDeletes, before it reads the index. The number of
    // images entered, or -1 when B/uid cannot be listed (logged).
    int FinishStores();
    // Finishes the deletes that a killed process left half done (recorded
    // in B/uid/DELETING.* intent files; store/deleteintent.h), each flushed
    // before its intent is removed. For a process that starts on the store
    // before it reads the index. The number finished, or -1 (logged).
    int FinishDeletes();

    // --- study records and table ---
    // Fills or merges the study records from ds (null record: left alone;
    // studyindex_makeRecords logging on this store's log stream).
    void studyDataMake(const DcmDataset *ds, studyhash *hash, studydata *data);
    // Resizes the table to exactly n records: 0 ok; non-zero: table emptied.
    int reallocStudyHash(int n);
    // True when STUDYINDEX.hash's record count or mtime differs from the table.
    bool mustUpdateStudyHash();
    // Reload from fd (locked by the caller): 1 reloaded, 0 current, -1 failed.
    int updateStudyHash(int fd);
    // Open, lock shared, reload, unlock, close: 1, 0 or -1 as above.
    int updateStudyHash();
    // updateStudyHash with the study key digests that queries use
    // (STUDYINDEX.keys, rebuilt when missing or stale): for a process that
    // answers queries, or forks workers that do. 1, 0 or -1 as above.
    int refreshStudyTable();
    // Whether refreshStudyTable would load anything now; changes nothing
    // (studytable_stale).
    bool studyTableStale();
    // Drop deleted studies from both study files (fd read-write, locked
    // exclusively by the caller): 1 removed some, 0 none, -1 failed.
    int compactStudyHash(int fd);
    // Open, lock exclusive, compact, unlock, close: 1, 0 or -1 as above.
    int compactStudyHash();
    // The study step of a delete (fd: STUDYINDEX.hash open read-write and
    // locked exclusively by the caller): reloads the table if the file
    // changed, sets the deleted flag of the study's summary (in the table
    // and the file) and clears its data record. 0 done, 1 the study is not
    // in the index (logged at level 128), -1 the data file cannot be opened.
    int markStudyDeleted(int fd, const char *study);
    // The table as loaded now (valid until the next call that loads,
    // grows or compacts it).
    const studytable &getStudyTable() const { return table; }
    // The index as the index code reads it (index/finddataset.h,
    // index/retrievelist.h): base directory, study table and log stream,
    // borrowed from this store, whose calls keep them up to date.
    finddataset_index getIndex() const { return {baseDir, &table, logStream}; }

    // --- queries ---
    // Threads: the store is one object per process and not safe for
    // threads as a whole, but FindDataset, EndFind, getIndex and
    // studyTableStale only read it (each iteration's state is its handle,
    // with descriptors and file locks of its own: index/finddataset.cc), so
    // several threads may run them at once, provided no other call of the
    // store runs meanwhile (the write path, deletes and the table's loads
    // change the table and hold process-wide locks that another thread's
    // close would drop).
    // One match per call; *handle is the caller's iteration state (null to
    // start). 0 match in *result, 1 no further match (handle freed), -1
    // cannot answer (handle freed). level null: taken from (0008,0052).
    // flags: LS_FIND_* (the same at every call of one iteration).
    int FindDataset(void **handle, DcmDataset *query, DcmDataset **result, const char *level,
                    int flags = 0);
    // Ends an iteration of FindDataset before its end: frees *handle (null
    // is fine) and sets it to null.
    void EndFind(void **handle);
    // Parses a date or date range into [*from, *to].
    void dateRangeHash(const char *range, unsigned int *from, unsigned int *to);
    // 0 when record passes the summary test of t, 1 when not.
    int studyHashCompare(studyhash *record, studyhash_template *t);

    // --- the index interface ---
    // The store's index behind the interface (index/indexbackend.h): the
    // file backend over this store's index files, owned by the store.
    // Everything above the store (the core) reaches the index through it.
    // With openSharedIndex (a cluster node) it is the cluster's database
    // instead, owned by the store.
    index_backend &index();
    // Makes the cluster's database the store's index (a cluster node,
    // core/archiveopen.cc): the PostgreSQL backend (index/pgindex.h) on
    // conninfo, its rows those of archive, connected now. The image tree is
    // then a cache of the bucket, and the write path (placeShared) takes
    // the database's word on duplicates rather than the tree's. Before the
    // store is used. 0, or -1 (logged): the files stay the index.
    // node: this node's name, which the database's sessions carry.
    int openSharedIndex(const std::string &conninfo, const std::string &archive,
                        const std::string &node);
    // In a forked child: a backend of its own for the shared index (the
    // parent's connection is the parent's: let go of without a word to its
    // server, index_backend::forked), connected at its first use. Nothing
    // on one host.
    void forkedIndex();
    // Whether the index is the cluster's (openSharedIndex).
    bool sharedIndex() const { return sharedIx != nullptr; }
    // Cluster mode's acknowledgement: with uploadBeforeAck a new image's
    // file is put into the bucket (tier_putImage, under the key tier_key
    // gives it) while its row is written and before it counts as stored;
    // an upload that fails refuses the image. Needs the tier (getTier).
    void setUploadBeforeAck(bool on) { uploadBeforeAck = on; }
    // Without it (ack local) a new image's file is flushed before its row
    // commits, the row naming it this node's ("local"), which queues its
    // upload in the same transaction (the cluster's database does:
    // core/archiveopen.cc); the queue's drainer uploads it later.

    // --- fields, read-only ---
    // The base directory as configured; every path starts with it.
    const char *getBaseDir() const { return baseDir; }
    // Non-zero when the base directory is heap memory of this store (read
    // from a configuration file).
    int32_t getBaseDirOwned() const { return baseDirOwned; }
    // The log stream (borrowed), null: nothing logged.
    FILE *getLogfile() const { return logStream; }
    // The store's capacity policy (none until archive_open reads the
    // site's) and its refusals' rate limit: the core's, per store.
    capacity_state *getCapacity() { return &capacity; }
    // What this store's study locks are taken through (store/studylock.h).
    studylock_file *getStudyLocks() { return &studyLocks; }
    // The store's object tier (store/tier.h; null: off): the site's, read by
    // archive_open (or given by a tool that opens the store itself).
    const tier_config *getTier() const { return tier.get(); }
    void setTier(std::unique_ptr<tier_config> cfg) { tier = std::move(cfg); }
    // The buffer the write path encodes an image into, a piece at a time
    // (256 KB, made at its first use): the store's own, as a store is used
    // by one thread at a time and two stores may write at once.
    char *getEncodeBuffer();

private:
    // The file backend runs the store's own index steps (indexImage,
    // takeBack) inside its transactions.
    friend class fileindex;
    fileindex *fileIndex = nullptr; // owned; made by the constructors
    // The cluster's index (openSharedIndex), owned; null on one host.
    std::unique_ptr<index_backend> sharedIx;
    std::string sharedConninfo, sharedArchive, sharedNode;
    bool uploadBeforeAck = false;
    // placeImage's form on a cluster node (store/writedataset.cc).
    int placeShared(DcmDataset *ds, const char *study, const char *series, const char *image,
                    const OFString &tmp, int overwrite, int *placedNew,
                    const checksums_record &sum);

    // Fields, in this order.
    const char *baseDir = nullptr; // see getBaseDir
    int32_t baseDirOwned = 0;      // non-zero: baseDir is heap memory of this store
    studytable table;              // studyTable, studyCount, studyTableTime of STUDYINDEX.hash
    FILE *logStream = nullptr;     // see getLogfile

    // Each store's own, so that two stores in one process keep them apart:
    // see getCapacity, getStudyLocks, getTier, getEncodeBuffer.
    capacity_state capacity;
    studylock_file studyLocks;
    std::unique_ptr<tier_config> tier;
    std::unique_ptr<char[]> encodeBuffer;

    int syncEachImage = 0;           // see setSyncEachImage
    std::vector<DcmTagKey> headTags; // sorted; empty: the whole head (setHeadTags)
    // This process's image journal (null until the first image with
    // syncEachImage; broken when none can be used); owned.
    struct journal *imageJournal = nullptr;
    // The journal for the next image (taken at the first call, emptied
    // first when full), or null when the image goes without one.
    struct journal *usableJournal();
    // journalCovers: set while WriteDataset stores an image through the
    // journal, whose replay makes every change it notes again; unjournaled:
    // something else was noted since the last SyncWrites.
    int journalCovers = 0;
    int unjournaled = 0;
    // The replay of a journal record (journal_replayer): the image's bytes
    // written into the tree as its file, and the image into the index.
    static int replayImage(void *store, const char *study, const char *series, const char *image,
                           const unsigned char *bytes, size_t length);
    static int replayFlush(void *store);
    // The paths that SyncWrites will flush (defined in store/syncwrites.cc);
    // owned, freed by the destructor.
    struct pendingSync;
    pendingSync *pending = nullptr;
    void dropPendingSync();
    // SyncWrites' steps: flushes one noted path (through a descriptor the
    // store holds for it, if any), or every noted file (isDir 0) or
    // directory (1). 0, or -1 with errno set (flushSet: after a log).
    int flushNoted(const char *path, int isDir);
    int flushSet(int isDir);
    // The part of NoteImage shared by the images of a series: its index
    // files and the directories from the base directory down to it.
    void noteImagePlaces(const char *study, const char *series);
    // Shared part of the two constructors after baseDir is set.
    void finishInit();
    // mkdir with mode 0777; an existing directory counts as made (not an
    // existing file). 0, or -1 with errno set.
    int makeDirectory(const OFString &path);
    // The index steps of WriteDataset: ds entered in the study, series and
    // image index. 0, or the LS_* result of the step that failed. With
    // emptiedClear (the index's change of an image), an attribute ds holds
    // empty clears the study record's field.
    int indexImage(DcmDataset *ds, const char *study, const char *series,
                   bool emptiedClear = false);
    // Creates and locks (flock) a new temporary file in B/uid for an image:
    // its descriptor with *path set, or -1 (logged).
    int openIncoming(OFString *path);
    // openIncoming's making of a new file (the inode into *ino).
    int createIncoming(OFString *path, ino_t *ino);
    // The inode of the temporary file openIncoming made last (a process
    // writes one image at a time).
    ino_t incomingIno = 0;
    // The temporary file Idle made ahead (-1: none), its name and inode;
    // spareWanted: an image was stored since Idle last tried to make one.
    int spareFd = -1;
    OFString sparePath;
    ino_t spareIno = 0;
    int spareWanted = 0;
    // The threads that flush image files as they are stored (defined in
    // store/syncwrites.cc); owned, ended by stopFlusher. handToFlusher: fd
    // (written as path) taken by it, or false; drainFlusher: waits until
    // all are flushed and takes them off the list, 0, or -1 after a level-8
    // log of a failed flush (errno set); runFlusher is the thread's body.
    struct flusher;
    flusher *flush = nullptr;
    static void runFlusher(flusher *f);
    bool handToFlusher(const std::string &path, int fd);
    int drainFlusher();
    void stopFlusher();
    // Under the study's lock: makes the directories, places the complete
    // temporary file tmp under the image's name (link; with overwrite, an
    // existing image is replaced by rename) and enters ds in the index,
    // taking a new image back when that fails. tmp is gone on return;
    // *placedNew 1 when the name was new. sum, the file's checksum, is
    // recorded in the series' CHECKSUMS after the index records
    // (store/checksums.h). An LS_* result.
    int placeImage(DcmDataset *ds, const char *study, const char *series, const char *image,
                   const OFString &tmp, int overwrite, int *placedNew, const checksums_record &sum);
    // The streamed path's temporary file, begun with the meta header and the
    // bytes kept so far (store/incoming.cc). An LS_* result.
    int startIncomingFile(incoming *in);
    // The UIDs of ds for the tree and the index (study, series, instance)
    // into uid, each checked: LS_OK, or LS_BAD_UID after a log.
    int checkUids(DcmDataset *ds, const char *uid[3]);
    // With -S, a journal record begun for the image (null: none, or none
    // can be used); each piece of its file goes into it with journal_add.
    struct journal *beginJournalRecord(const char *study, const char *series, const char *image);
    // The end that both write paths share: the temporary file tmp, open on
    // fd and complete when written is non-zero, goes into its journal
    // record j (committed, or the file flushed with -S), is placed and
    // indexed (placeImage), and fd is closed. WriteDataset's LS_* result.
    // with: WriteDataset's; held before the journal record is committed
    // and the file placed, settled before the return. sum: the checksum of
    // the bytes written (placeImage records it).
    int completeImage(DcmDataset *ds, const char *study, const char *series, const char *image,
                      int fd, const OFString &tmp, int overwrite, struct journal *j, int written,
                      const companion *with, const checksums_record &sum);
    // WriteDataset's form for linkMode 1 and 2.
    int placeLink(DcmDataset *ds, const char *study, const char *series, const char *image,
                  const char *sourceFile, int linkMode);
    // Removes the series and study directories if they are empty.
    void removeEmptyDirs(const char *study, const char *series);
    // Takes back a new image whose store failed after it was placed (the
    // caller holds the study lock): its file and whatever records it got, as
    // a delete in its finishing form, announced by an intent so that a crash
    // in it is finished at the next start. takeBackLocked takes the lock
    // first and does so only while the image's file is still the inode
    // placed (another store may have replaced it since).
    void takeBack(const char *study, const char *series, const char *image);
    void takeBackLocked(const char *study, const char *series, const char *image, ino_t placed);
    // FinishStores' step for one temporary file left by a dead process
    // (open on fd, locked): 1 an image entered, 0 removed.
    int finishStore(const char *path, int fd);
    // Study step of WriteDataset, under the hash file's exclusive lock.
    int addToStudyIndex(DcmDataset *ds, bool emptiedClear = false);
    // Series (slot 0) or image (slot 1) step: replace the record with the
    // same key or append, under the file's exclusive lock.
    int addToRecordIndex(int slot, const char *path, const void *record, size_t recordSize);
    // What the write path remembers of the index file of each slot (defined
    // in store/writedataset.cc); owned, freed by dropIndexCaches.
    struct recordIndexCache;
    recordIndexCache *indexCache[2] = {nullptr, nullptr};
    void dropIndexCaches();
    // The descriptor of the index file at path that the write path holds
    // open, or -1.
    int heldIndexFd(const char *path);
};

#endif
