// The in-memory study table: a process's copy of STUDYINDEX.hash (the
// studyhash records, index/studyindex.h), its reload when another process
// changed the file, entering a study into the study files (the write path
// of an image), marking one deleted, and compaction, which drops deleted
// studies from both study files. Knows the files by their stem
// (B/uid/STUDYINDEX), nothing of the store that holds the table.
//
// Locking: the hash file's whole-file lock guards both study files. The
// functions that take a descriptor expect the caller to hold that lock;
// the others take it themselves (studyindex_openLocked).
#ifndef VELTO_INDEX_STUDYTABLE_H
#define VELTO_INDEX_STUDYTABLE_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>

#include "index/studyindex.h"
#include "index/studykeys.h"

// The table and what it was loaded from. Owned by its holder, who frees
// the records with studytable_free; zero-initialised it is empty.
struct studytable {
    studyhash *studyTable = nullptr; // records in file order (heap, owned); null when empty
    int32_t studyCount = 0;          // records in studyTable
    uint32_t studyTableTime = 0;     // mtime (s) of STUDYINDEX.hash at the last load; 0 before
    // The key digests of the studies (index/studykeys.h), loaded with the
    // table by studytable_refresh; trusted only while keysCurrent, which
    // every other load of the table clears.
    studykeys_table keys;
    bool keysCurrent = false;
    // What studytable_add keeps between the stores of a process: the study
    // files of heldStem open (-1: not), so that a store locks them without
    // opening them again; and keysAbsent, set when the keys file was not
    // there and the study files have not been changed by another process
    // since, so that a store does not look for it again (a keys file made
    // meanwhile is then left stale, which its readers notice and mend).
    int heldHashFd = -1;
    int heldDataFd = -1;
    std::string heldStem;
    bool keysAbsent = false;
};

// Closes the study files that studytable_add keeps open.
void studytable_closeFiles(studytable *t);

// True when t's key digests describe its records one for one.
inline bool studytable_keysUsable(const studytable *t)
{
    return t->keysCurrent && t->keys.records.size() == (size_t)t->studyCount;
}

// Resizes the table to exactly n records (n < 0 aborts): 0 ok; non-zero:
// the memory could not be had and the table is emptied.
int studytable_resize(studytable *t, int n);
// Frees the records; the table is then empty.
void studytable_free(studytable *t);

// True when the hash file at hashPath exists with a whole number of records
// and its record count or mtime differs from the table's.
bool studytable_mustUpdate(const studytable *t, const char *hashPath);
// Loads the table from fd (locked by the caller) when its record count or
// mtime changed, or always with force: 1 loaded, 0 current, -1 failed (a
// malformed file or a failed read; a failed read leaves the table empty).
int studytable_load(studytable *t, int fd, int force);
// Opens hashPath, locks it shared, loads (not forced), closes: 1, 0 or -1
// as studytable_load (-1 also when the file cannot be opened).
int studytable_update(studytable *t, const char *hashPath);

// studytable_update and the key digests (stem: B/uid/STUDYINDEX): when the
// hash file, the data file or the keys file changed since the last load,
// loads table and digests together under the hash file's shared lock; a
// missing, short or stale keys file is rebuilt from the data file first
// (logged on log). 1 loaded, 0 current, -1 failed (the digests are then
// not used).
int studytable_refresh(studytable *t, const char *stem, FILE *log);
// Whether studytable_refresh would load anything now. Only reads the table
// (and stats the files): a holder that lets other threads walk the table
// may call it while they do, and take them out only for the refresh.
bool studytable_stale(const studytable *t, const char *stem);
// After the caller wrote study record index (appended at the end or
// rewritten) with data record rec: the in-memory digests follow when they
// are current.
void studytable_noteRecord(studytable *t, long index, const studydata *rec);

// What studytable_add changed, for the caller's flush bookkeeping.
enum {
    STUDYTABLE_CREATED = 1, // the hash file was empty: both files may be new in their directory
    STUDYTABLE_DATA = 2,    // stem.dat
    STUDYTABLE_HASH = 4,    // stem.hash
    STUDYTABLE_KEYS = 8,    // the key digests (studykeys_path)
};

// Enters the study of ds into the study files of stem (created with mode
// when missing) under the hash file's exclusive lock: merged into the
// record with its Study Instance UID (newest first; into the hash file's
// own summary, read afresh), or appended to both files; the key digests
// follow (index/studykeys.h). The table is reloaded first when the file's
// record count differs from it, and follows what was written. 0 done, -1
// failed (logged on log, but for a failed read). *changed: STUDYTABLE_*
// bits of the files written, also after a failure (a file may then have
// been written in part).
// With emptiedClear (a changed image: core/change.h), an attribute that ds
// holds empty clears its field of a merged record (studyindex_clearEmptied).
int studytable_add(studytable *t, const char *stem, const DcmDataset *ds, mode_t mode, FILE *log,
                   int *changed, bool emptiedClear = false);

// Marks a study deleted (hashFd and dataFd: the two study files open
// read-write, the hash file locked exclusively by the caller): the first
// record whose summary has the study's UID CRC and whose data record has
// its key gets the deleted flag, on the hash file's own record (read
// afresh) and in the table, and its data record is overwritten with zero
// bytes. The record number, or -1 when the study is not in the table.
long studytable_markDeleted(studytable *t, int hashFd, int dataFd, const char *study);

// Drops deleted studies from stem.dat and stem.hash (fd: stem.hash open
// read-write, locked exclusively by the caller), through temporary files
// renamed into place, and loads the result: 1 removed some, 0 none, -1
// failed (logged on log).
int studytable_compact(studytable *t, const char *stem, int fd, FILE *log);
// Opens stem.hash, locks it exclusively, compacts, closes: 1, 0 or -1.
int studytable_compactFile(studytable *t, const char *stem, FILE *log);

#endif
