// The index as an interface: what the archive asks of whatever keeps the
// records of its stored images (today the index files below the store's
// base directory, store/fileindex.h; later another kind, e.g. a database
// that several nodes share). The core reaches the index through this
// header only; a new backend implements index_backend and passes the
// conformance suite (tests/index/test_indexbackend.cc).
//
// The contract:
// - Results are INDEX_* below; nothing is thrown. A failure of the
//   backend's environment (a file, a connection) is logged by the backend
//   and returned; a misuse (a transaction used after its end) aborts.
// - Records: for each image its study, series and image attributes (the
//   index's record keys, index_seriesRecordKeys and index_imageRecordKeys,
//   and the study keys that index/querymatch.h's querymatch_isStudyKey
//   names); what a match carries beyond them is read from the image files.
// - Matching: every match that find returns passes the key matcher's rules
//   (index/querymatch.h, index/keymatch.h: single values, wildcards, date
//   and time ranges, UID lists, universal keys, sequences, the case rules),
//   which stay in one place. A backend may narrow its walk ahead of them
//   with a filter of its own only where that filter is exact or drops
//   nothing the matcher takes (the file backend's study digests only ever
//   pass too much; the matcher then decides).
// - Ownership: a data set handed in is only read and stays the caller's; a
//   data set handed out is the caller's to delete. A transaction and a
//   cursor are the backend's, ended by commit or abort, or deleted by the
//   caller (a cursor).
// - Threads: one backend object serves one process. find, a cursor's next
//   and stale may run on several threads at once provided nothing else of
//   the backend runs meanwhile; every other call is serialised by the
//   caller with every use of the backend. Several processes may use one
//   index at once: the backend serialises their changes (per study) and
//   each sees the others' after refresh.
// - Durability: a change is on disk at the caller's next flush of the
//   store (the file backend notes what it changed for it); a process killed
//   at any step leaves each image's records whole or absent after the
//   store's recovery at the next start.
#ifndef VELTO_INDEX_INDEXBACKEND_H
#define VELTO_INDEX_INDEXBACKEND_H

#include "dcmtk/config/osconfig.h"

#include <stdint.h>

#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"

// Results of the index's operations.
enum {
    INDEX_OK = 0,              // done
    INDEX_MISSING = 1,         // not in the index (change, remove)
    INDEX_FAILED = -1,         // the index could not be read or written (logged)
    INDEX_BAD_IDENTIFIER = -2, // a retrieve identifier's level or unique key missing or refused
    INDEX_EXISTS = 2,          // add of a new image whose SOP Instance UID is indexed already
};

// Flags of find.
enum {
    INDEX_FIND_COMBINED_DATETIME = 1, // StudyDate with StudyTime as one date-time range
};

// How add takes an image.
enum {
    // Not indexed before: abort takes it out again, and so does recover
    // after a process killed before its commit.
    INDEX_ADD_NEW = 0,
    // Maybe indexed already: its records are rewritten; abort keeps what it
    // has, and a process killed meanwhile may leave old and new records
    // mixed, each naming the image (it stays found).
    INDEX_ADD_REPLACE = 1,
    // Not indexed before, its file placed by a caller whose own start
    // finishes a store cut short (the store's temporary file,
    // store/writedataset.cc): abort takes it out; after a kill the caller's
    // start enters it whole or takes it out, so the backend keeps no
    // record of its own for it.
    INDEX_ADD_PLACED = 2,
};

// One image of the index: its three UIDs.
struct index_image {
    std::string study;
    std::string series;
    std::string instance;
};

// The changes of one study, serialised against every other process's
// changes of it (the file backend: the study's lock, store/studylock.h).
// Opaque: made by begin, ended by commit or abort.
class index_transaction
{
public:
    virtual ~index_transaction();
};

// One query's walk over the index, one match at a time. Deleting it ends
// the walk early (a cancelled C-FIND, a page that is full).
class index_cursor
{
public:
    virtual ~index_cursor();
    // The next match: 0 with its keys in *result (created when null, owned
    // by the caller); 1 no further match; -1 the index cannot be read.
    // After 1 or -1 every further call returns 1.
    virtual int next(DcmDataset **result) = 0;
};

// What the store knows of an image's file as it adds it: for a backend that
// keeps it beside the image's records (the database's size, checksum and
// location columns).
struct index_file {
    uint64_t size = 0;
    std::string sha256; // 64 lower-case hex digits
    // Its home copy is in the object store's bucket (a cluster node that
    // acknowledges once the object is put), not only on one node's disk.
    bool inTier = false;
};

class index_backend
{
public:
    virtual ~index_backend();

    // --- changes ---
    // Begins the changes of study: null when the study cannot be locked
    // (logged). One transaction at a time per process; it ends with commit
    // or abort, each of which deletes it.
    virtual index_transaction *begin(const char *study) = 0;
    // Begins the changes of several studies at once (a change of stored
    // images that moves them between studies, or spans a patient's
    // studies): null when one cannot be locked (logged; none is held
    // then). The file backend takes their locks in one fixed order (the
    // lock file's byte order), so that two such transactions never wait for
    // each other crosswise.
    virtual index_transaction *beginStudies(const std::vector<std::string> &studies) = 0;
    // Ends t keeping its changes: INDEX_OK (they are noted for the next
    // flush of the store), or INDEX_FAILED (logged) when the backend cannot
    // make sure of them: its images added INDEX_ADD_NEW may then be taken
    // out by the next recover.
    virtual int commit(index_transaction *t) = 0;
    // Ends t taking out the images it added as INDEX_ADD_NEW or _PLACED (with the file
    // backend, whose records are the image tree's, each image's file too,
    // as a delete that a crash leaves finished at the next start); images
    // added as INDEX_ADD_REPLACE keep the records they have.
    virtual void abort(index_transaction *t) = 0;
    // Adds the records of the image in ds (its study, series and SOP
    // instance UIDs, checked by the caller), or replaces them when the image
    // is indexed: one image never has two. how: INDEX_ADD_*. INDEX_OK or
    // INDEX_FAILED (then abort: records may be half written). A backend
    // whose own records decide duplicates (the database's UNIQUE key, which
    // several nodes share) answers INDEX_EXISTS for an image added
    // INDEX_ADD_NEW or _PLACED whose SOP Instance UID another transaction
    // has committed (waiting for one that is still open): nothing written,
    // the caller aborts. The file backend never does (its duplicates are
    // found by the link of the image's file).
    virtual int add(index_transaction *t, DcmDataset *ds, int how) = 0;
    // add, with what is known of the image's file kept with its records by
    // a backend that keeps it (the file backend keeps checksums in the
    // image tree's own files, and ignores file).
    virtual int addFile(index_transaction *t, DcmDataset *ds, int how, const index_file &file)
    {
        (void)file;
        return add(t, ds, how);
    }
    // Rewrites the records of an indexed image from ds (its attributes
    // changed): INDEX_OK, INDEX_MISSING (not indexed: nothing written) or
    // INDEX_FAILED.
    virtual int change(index_transaction *t, DcmDataset *ds) = 0;
    // Takes an image out of the index inside t, whose studies include the
    // image's (then its emptied series and study); with the file backend
    // its file too, as remove does, announced by a delete intent that the
    // next start finishes after a kill. INDEX_OK, INDEX_MISSING (not
    // indexed there: a backend that keeps one record per SOP Instance UID
    // has moved it already with an add into its new study) or INDEX_FAILED.
    virtual int removeIn(index_transaction *t, const char *study, const char *series,
                         const char *instance) = 0;
    // Takes an image out of the index (then its emptied series and study),
    // in a transaction of its own. With the file backend this is the store's
    // whole delete, the image's file included: its records are kept beside
    // the files in one crash-safe sequence. INDEX_OK, INDEX_MISSING (not
    // indexed) or INDEX_FAILED.
    virtual int remove(const char *study, const char *series, const char *instance) = 0;

    // --- reads ---
    // A walk over the index for query (borrowed, unchanged while the walk
    // runs). level null: the query's Query/Retrieve Level (0008,0052); a
    // level given also puts the three UIDs into every image match. flags:
    // INDEX_FIND_*. Never null.
    virtual index_cursor *find(DcmDataset *query, const char *level, int flags) = 0;
    // The images that a C-MOVE or C-GET identifier selects (UID lists at
    // every level, Patient ID at the patient level), into *out (cleared
    // first) in the order they are to be sent: INDEX_OK (possibly none),
    // INDEX_BAD_IDENTIFIER or INDEX_FAILED.
    virtual int select(DcmDataset *identifier, std::vector<index_image> *out) = 0;
    // Every image of one study into *out (cleared first): INDEX_OK (a study
    // not indexed has none) or INDEX_FAILED.
    virtual int studyImages(const char *study, std::vector<index_image> *out) = 0;
    // The study and series of instances by their SOP Instance UIDs, after a
    // refresh: (*out)[i] for instances[i] (its study and series empty when
    // it is not indexed). The number found, or -1 (logged) when the index
    // cannot be read: then nothing is known of any of them.
    virtual int locate(const std::vector<std::string> &instances,
                       std::vector<index_image> *out) = 0;

    // --- other processes, upkeep ---
    // Takes in what other processes changed (the file backend: reloads its
    // study table and the key digests): 1 reloaded, 0 current, -1 failed.
    virtual int refresh() = 0;
    // Whether refresh would load anything now. Changes nothing: safe while
    // other threads walk the index (refresh is not).
    virtual bool stale() = 0;
    // Gives back the room of removed studies: 1 some given back, 0 none, -1
    // failed (logged).
    virtual int compact() = 0;
    // What a process killed in a transaction or a remove left, finished
    // before anyone reads the index (by a process that starts on it): its
    // images added INDEX_ADD_NEW taken out, its removes done. The number
    // finished, or -1 (logged).
    virtual int recover() = 0;
    // In a child forked from the process that made this backend: lets go of
    // what the parent still uses (a database connection's socket) without
    // ending it, so that the object can be deleted in the child. Nothing
    // for a backend of files.
    virtual void forked() {}
    // Records that the home copies of the images (SOP Instance UIDs) are
    // now in the object store's bucket (queued uploads done), in one
    // statement of its own, outside any transaction: INDEX_OK, or
    // INDEX_FAILED (logged). Nothing for a backend that keeps no location.
    virtual int setInTier(const std::vector<std::string> &instances)
    {
        (void)instances;
        return INDEX_OK;
    }
};

// The keys that a series (image) match carries from the index alone,
// whatever the backend, in record order: a query on them is answered
// without reading image files.
const std::vector<DcmTagKey> &index_seriesRecordKeys();
const std::vector<DcmTagKey> &index_imageRecordKeys();

#endif
