// Backup and restore of a store (storeindex backup and restore, through
// core/maintenance.h): a consistent copy of a running store, taken without
// stopping it, and its return onto an empty base directory.
//
// A backup, and what a kill at each step leaves:
//   1. the backup's own byte of B/uid/STUDYLOCKS is taken for the whole run
//      (one backup at a time; a start removes a snapshot only while nobody
//      holds it), and a snapshot left by a dead backup is removed;
//   2. the lock of every study is taken (studylock_acquireAll): every
//      writer places and indexes an image, and deletes one, under its
//      study's lock, so in this moment no image is half placed, half
//      indexed or half deleted. Image files, stubs and heads never change
//      once placed (they are replaced by rename), so they are hard-linked
//      into the snapshot directory B/BACKUP-SNAPSHOT; the index files,
//      CHECKSUMS and other small files that are written in place are
//      copied; the study index under its own lock (its compaction takes no
//      study lock). Killed here: the snapshot is left, which the next backup
//      or the next start of a server removes; the store is not changed;
//   3. the study locks are let go: writers waited only for the links and
//      copies (some 0.1 s per 10,000 images);
//   4. the snapshot is copied to DEST (any file system), flushed, and the
//      marker DEST/VELTO-BACKUP written last (temporary name, flush,
//      rename): a DEST without it is no backup (a restore refuses it);
//   5. the snapshot is removed.
// With -S (the image journal) every image a live worker has answered is
// placed in the tree before its answer, so the tree holds it; a journal
// that no live process holds (its worker died) is copied whole, and the
// restore writes its images into the tree as any start does.
// Images moved to the object tier: their stubs and heads are copied, the
// objects stay where they are (the bucket is their only copy).
#ifndef VELTO_STORE_STOREBACKUP_H
#define VELTO_STORE_STOREBACKUP_H

#include <stdio.h>

#include <string>
#include <vector>

struct studylock_file;

// The snapshot directory in B.
#define STOREBACKUP_SNAPSHOT "BACKUP-SNAPSHOT"
// The marker a complete backup holds at its top, written last.
#define STOREBACKUP_MARKER "VELTO-BACKUP"
// The marker in B while a restore copies into it (removed when it is done).
#define STOREBACKUP_RESTORING "RESTORING"

// Results of storebackup_run and storebackup_restoreFiles (storeindex's
// exit codes).
enum {
    STOREBACKUP_OK = 0,      // done
    STOREBACKUP_FAILED = 1,  // begun and failed (the store is as it was; DEST holds no backup)
    STOREBACKUP_REFUSED = 2, // not begun: the arguments or the places are unusable
};

// Backs up the store at base (a server may be running on it; the caller
// holds the store lock shared, so that no rebuild runs) into dest, which
// must not exist or be an empty directory outside base. locks: the caller's
// store's study lock file (store/studylock.h). skip: directories below
// base that are not copied (the tier's read-back cache), as full paths;
// withImages: directories below base copied under the study locks with the
// index (the forwarding queue), the rest of base after them.
// Progress and figures to out, causes of failure to err (null: nothing).
//
// test (null: none) is for the tests: how long before the first pass a
// change still counts as recent (the file system's clock ticks), how long
// to wait for the study locks, and what to call between the two passes
// (changes of the store as writers make them).
struct storebackup_test {
    double recentSeconds = 2;
    // How long the backup waits for the lock of every study before it
    // gives up (and lets every writer go).
    double lockWaitSeconds = 10;
    void (*betweenPasses)(void *arg) = nullptr;
    void *arg = nullptr;
};
int storebackup_run(const char *base, const char *dest, studylock_file *locks,
                    const std::vector<std::string> &skip,
                    const std::vector<std::string> &withImages, FILE *out, FILE *err,
                    const storebackup_test *test = nullptr);

// Removes the snapshot that a backup killed in its run left in base, unless
// a backup is running (for a process that starts on the store): 1 removed,
// 0 none or a backup runs, -1 it could not be removed (logged).
int storebackup_removeLeft(const char *base, studylock_file *locks, FILE *log);

// The first half of a restore: copies the complete backup at backup into
// base, which must not exist or be an empty directory (or one that a restore
// cut short left: it is emptied and the restore starts over), with the
// marker B/RESTORING in place until storebackup_restored. Then the caller
// opens the store and finishes what the backup holds of dead processes
// (the recovery of any start). STOREBACKUP_*.
int storebackup_restoreFiles(const char *backup, const char *base, FILE *out, FILE *err);

// The end of a restore: removes the marker (flushed). 0, or -1 (errno set).
int storebackup_restored(const char *base);

// True when base holds the marker of a restore that has not ended.
bool storebackup_restoring(const char *base);

#endif
