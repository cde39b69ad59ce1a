// The image journal, which makes each image durable with one flush of one
// file (storeserver -S): the worker appends every received image, byte for
// byte as its file holds it and with its UIDs, to a journal file of its own
// and flushes that file before it answers the image. The UID tree and the
// index are written as without -S and reach the disk together when the
// association ends (LocalStore::SyncWrites), after which the journal is
// emptied. A crash in between loses nothing that was answered: whoever
// starts next on the store writes the journal's images into the tree and
// the index again (journal_replay) before anything reads the index.
//
// Journals are B/uid/JOURNAL.N (N from 0), each used by one process at a
// time, which holds a lock (flock) on it; a journal that no live process
// holds and that is not empty was left by a process that died before its
// images were flushed in the tree.
//
// Layout: records one after another from offset 0, each starting on a
// 4096-byte boundary (so that a record is never written into a block that
// holds an earlier one, which a torn write could damage): a 64-byte header
// (journal_header, host byte order), then "S\tR\tI", then the image. A
// record counts when its magic and CRC-32 (of the header with crc 0, then
// what follows) are right and its run and sequence number follow the first
// record's (run r, 0, 1, 2, ...); the first one that does not ends the
// journal. Emptying writes an end record of a new run at offset 0 and
// flushes it. The file is never shortened: later records overwrite blocks
// that are already allocated and written, so that the flush of a record
// writes data only, not the file's size or block map.
#ifndef VELTO_STORE_JOURNAL_H
#define VELTO_STORE_JOURNAL_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>

// File names of journals begin with this.
#define JOURNAL_PREFIX "JOURNAL."

// Images larger than this are not journalled (writing them twice would cost
// more than the flushes the journal saves): journal_add refuses them.
enum { JOURNAL_IMAGE_MAX = 1 << 20 };

// A journal that has grown past this is emptied (after a flush of the
// tree) before the next image goes into it: a journal file stays below
// JOURNAL_FULL + JOURNAL_IMAGE_MAX and 1 MiB of growth, one per worker
// that stores with -S at the same time.
enum { JOURNAL_FULL = 16 << 20 };

struct journal_header {
    char magic[8];        // "VLJRNL1\n"
    uint32_t type;        // JOURNAL_IMAGE or JOURNAL_END
    uint32_t crc;         // see above
    uint64_t run;         // random, new at each emptying
    uint64_t seq;         // 0, 1, 2, ... within a run
    uint32_t uidsLength;  // bytes of "S\tR\tI"
    uint32_t reserved0;   // 0
    uint64_t imageLength; // bytes of the image
    char reserved[16];    // 0
};

enum { JOURNAL_IMAGE = 1, JOURNAL_END = 2 };

// A journal held by this process, and the record being written into it.
struct journal {
    int fd = -1;
    std::string path;
    uint64_t run = 0;
    uint64_t seq = 0; // of the next record
    off_t end = 0;    // where the next record starts; 0: empty
    off_t size = 0;   // bytes of the file, all written
    off_t start = -1; // of the record being written, -1 none
    off_t last = -1;  // of the last record committed, -1 none (or emptied since)
    off_t fill = 0;   // where its next piece goes
    uint32_t crc = 0; // of its uids and image so far
    uint32_t uidsLength = 0;
    uint64_t imageLength = 0;
    int tooLarge = 0; // the record was refused: larger than JOURNAL_IMAGE_MAX
    int broken = 0;   // a write or flush failed: not used again
};

// What a replay does with a journal's records: image is called for each,
// in order, with the UIDs and the image's bytes (borrowed for the call),
// and writes it into the tree and the index: 0, or -1 (logged; the journal
// is then kept). flush then brings all of that to disk before the journal
// is emptied: 0, or -1 (logged; the journal is kept).
struct journal_replayer {
    int (*image)(void *arg, const char *study, const char *series, const char *image,
                 const unsigned char *bytes, size_t length);
    int (*flush)(void *arg);
    void *arg;
};

// Takes the first journal of uidDir that no other process holds, creating
// it if need be. One left with records by a dead process is replayed first
// (then emptied); one that cannot be replayed is left alone for the next.
// 0 taken (j open, empty), -1 none (logged, except errno ENOENT: uidDir
// does not exist yet).
int journal_take(const char *uidDir, journal *j, const journal_replayer *replay, FILE *log);

// Closes j (ending the lock) without emptying it. Leaves j as new.
void journal_close(journal *j);

// Starts a record of the UIDs at j->end: 0, -1 (logged; j broken, except
// when the file cannot grow: then nothing is logged and j stays usable).
int journal_begin(journal *j, const char *study, const char *series, const char *image, FILE *log);

// Appends the next piece of the image to the record: 0, or -1 (logged;
// j broken). Once the image is larger than JOURNAL_IMAGE_MAX, or the file
// cannot grow (ENOSPC, EDQUOT, EFBIG), the record is refused (j->tooLarge)
// and later pieces are passed over; the journal stays usable.
int journal_add(journal *j, const void *piece, size_t length, FILE *log);

// Ends the record: writes its header and flushes the journal. 0 on disk;
// 1 refused (too large: nothing is on disk for it); -1 failed (logged; j
// broken, and the record must not be taken as written).
int journal_commit(journal *j, FILE *log);

// Drops the record being written (its bytes stay past the journal's end,
// where they never count).
void journal_abandon(journal *j);

// Takes back the last record committed, for an image that was then refused
// or failed (it must never be written by a replay): its header is cleared
// and flushed, so that the journal ends before it, and the next record
// takes its place. 0, or -1 (logged; j broken, the record may still count).
int journal_retract(journal *j, FILE *log);

// Empties j once everything it holds is on disk elsewhere: an end record
// of a new run at offset 0, flushed. 0, or -1 (logged; j broken).
int journal_empty(journal *j, FILE *log);

// Replays every journal of uidDir that no live process holds, emptying
// each whose records were all written. The number of records replayed
// (0 also when uidDir does not exist), -1 when one could not be (logged).
int journal_replayAll(const char *uidDir, const journal_replayer *replay, FILE *log);

// The records of the journal at path: 0 none or held by a live process
// (which empties it itself), else the number a replay would write; -1
// unreadable (errno set).
long journal_pending(const char *path);

// Non-zero when name (without directory) is the name of a journal.
int journal_isJournal(const char *name);

#endif
