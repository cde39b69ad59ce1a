// Key digests of the study index: STUDYINDEX.keys, beside STUDYINDEX.hash
// and STUDYINDEX.dat, holds for each study record a 32-bit digest of its
// Patient ID and of its Patient's Name, in the form in which a query
// compares them (the ID with case, the name without, index/keymatch.h),
// and the name's first 8 bytes in that form. A query for one exact ID or
// name, or for a name pattern that starts with a few plain characters
// (SMITH*), tests these 16 bytes per study instead of reading the 512-byte
// data record of every study. Knows nothing of the store: callers pass the
// index stem (.../uid/STUDYINDEX) and hold the hash file's lock, which
// guards all three study files.
//
// The file is derived data and never trusted blindly. Its header records
// the inode, size and modification time (ns) of STUDYINDEX.dat and
// STUDYINDEX.hash as they were when the digests last described them; any
// write to either file that did not go through studykeys_begin/_commit
// (a crash between the record and the digest, a program that knows nothing
// of this file, a compaction) changes them, and the file counts as stale.
// A missing, short or stale file is rebuilt from STUDYINDEX.dat. A foreign
// program's rewrite in place within one tick of the file system's clock (a
// few ms) after the last restamp is the one change it cannot see; the
// programs of this tree never write a study file without restamping.
//
// A digest of 0 means "no digest" (a value the digest cannot stand for, a
// multi-valued ID, a name with component groups): such a record is always
// read (a name digest of 0 voids the name's prefix too). A real digest that
// computes to 0 is stored as 1.
#ifndef VELTO_INDEX_STUDYKEYS_H
#define VELTO_INDEX_STUDYKEYS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <type_traits>
#include <vector>

#include "index/keymatch.h"
#include "index/studyindex.h"

// One record of STUDYINDEX.keys, 16 bytes, little-endian; record i belongs
// to study record i.
struct studykeys_record {
    uint32_t patientId;   // digest of Patient ID (0010,0020), or 0
    uint32_t patientName; // digest of Patient's Name (0010,0010), or 0
    char namePrefix[8];   // the name's first 8 bytes as compared, NUL-padded
};

// Identity of a study file at a moment: inode, size, mtime in ns.
struct studykeys_stamp {
    uint64_t inode;
    uint64_t size;
    int64_t mtimeNs;
};

// The header at the start of STUDYINDEX.keys, 64 bytes; the records follow.
struct studykeys_header {
    char magic[8];        // "VSTKEYS1"
    uint32_t recordSize;  // 8
    uint32_t reserved;    // 0
    studykeys_stamp data; // STUDYINDEX.dat
    studykeys_stamp hash; // STUDYINDEX.hash
};

static_assert(sizeof(studykeys_record) == 16, "studykeys record is 16 bytes");
static_assert(sizeof(studykeys_stamp) == 24, "studykeys stamp is 24 bytes");
static_assert(sizeof(studykeys_header) == 64, "studykeys header is 64 bytes");
static_assert(std::is_trivially_copyable<studykeys_header>::value, "header is raw bytes");

// The digests in memory, as loaded: records[i] belongs to study i; studies
// at or past records.size() have none (always read). loaded: the keys
// file's header as loaded (the study files it describes); stamp: the keys
// file itself (inode, size, mtime); both for studykeys_changed.
struct studykeys_table {
    std::vector<studykeys_record> records;
    studykeys_header loaded = {};
    studykeys_stamp stamp = {0, 0, 0};
    bool failed = false; // a rebuild for the study files of `loaded` failed
};

// Digests of a stored field (width bytes, NUL-padded) as keymatch compares
// it: the ID with leading and trailing spaces dropped; the name also
// without case (ASCII letters) and without empty trailing components. 0
// when the value holds a backslash (ID) or a "=" (name), never 0 else.
uint32_t studykeys_idDigest(const char *field, size_t width);
uint32_t studykeys_nameDigest(const char *field, size_t width);
// Both digests of a study data record.
studykeys_record studykeys_make(const studydata *record);

// What a query asks of the digests: the digest that a stored ID and name
// must have (0: no condition), and the first prefixLen bytes (at most 8)
// that the name must start with (0: no condition).
struct studykeys_query {
    uint32_t id = 0;
    uint32_t name = 0;
    char prefix[8] = {};
    size_t prefixLen = 0;
};

// Compiles the query's Patient ID key (KEYMATCH_TEXT) and Patient's Name
// key (KEYMATCH_PN), either null. A key puts no condition where it can
// match values of other digests too (universal, empty-value, a backslash;
// wildcards, which leave the name only the prefix before the first one).
studykeys_query studykeys_compile(const keymatch_key *id, const keymatch_key *name);
// True when q puts any condition.
inline bool studykeys_any(const studykeys_query &q)
{
    return q.id != 0 || q.name != 0 || q.prefixLen != 0;
}

// False when record r cannot match a query q.
inline bool studykeys_mayMatch(const studykeys_record &r, const studykeys_query &q)
{
    if (q.id != 0 && r.patientId != 0 && r.patientId != q.id)
        return false;
    if (r.patientName == 0)
        return true;
    if (q.name != 0 && r.patientName != q.name)
        return false;
    return q.prefixLen == 0 || memcmp(r.namePrefix, q.prefix, q.prefixLen) == 0;
}

// Path of the keys file of an index stem: stem + ".keys".
std::string studykeys_path(const char *stem);

// Loads the digests of the first count studies into *t when the keys file
// holds exactly count records and its stamps match the study files as they
// are now (the caller holds the hash file's lock, shared or exclusive). 1
// loaded; 0 missing, short, malformed or stale (*t emptied); -1 read error
// (*t emptied, errno set).
int studykeys_load(const char *stem, long count, studykeys_table *t);

// Rebuilds the keys file of the first count study records from
// STUDYINDEX.dat (a record the data file lacks gets no digest) under a
// temporary name, flushed and renamed into place, and loads it into *t
// (may be null). The caller holds the hash file's lock, shared or
// exclusive (writers of the keys file in place hold it exclusively). 0, or
// -1 after a log on log (nothing replaced; *t emptied, t->failed set).
int studykeys_rebuild(const char *stem, long count, studykeys_table *t, FILE *log);

// A writer's update, under the hash file's exclusive lock. Before it
// changes either study file: studykeys_begin opens the keys file when it
// describes the count records of the files as they are (the stamps match),
// and returns its descriptor, else -1 (a stale file stays stale: the write
// that follows changes the stamps again). After its writes: studykeys_commit
// writes record (null: none) at index, then restamps the header from the
// study files as they now are, and closes fd (-1: does nothing). 0 done,
// -1 failed: the stamps are left as they were, so the file counts as stale.
// A crash between the two leaves the old stamps: stale, never trusted.
int studykeys_begin(const char *stem, long count);
int studykeys_commit(int fd, const char *stem, long index, const studykeys_record *record);

// Writes a whole keys file for the given data records (count of them) and
// the study files as they are now, through a temporary name, flush and
// rename (compaction, after both study files are in place). 0, or -1 after
// a log.
int studykeys_write(const char *stem, const studydata *records, long count, FILE *log);

// Removes the temporary keys files (KEYS.PID.tmp) beside the keys file of
// stem that writers killed before their rename left: those that no writer
// holds locked.
void studykeys_removeStale(const char *stem);

// True when the keys file or either study file is no longer as it was when
// t was loaded (written since, replaced or removed), or t holds nothing: a
// reader's cue to load again. A write to a study file that did not restamp
// the keys shows here too, so the next load finds the file stale. After a
// failed rebuild (t->failed), only a change of the study files counts: a
// store whose keys cannot be written is not read whole at every look.
bool studykeys_changed(const char *stem, const studykeys_table &t);

// What a check finds of the keys file beside count study records: 0
// consistent; 1 missing; 2 malformed or short; 3 stale (stamps); 4 a
// record that differs from STUDYINDEX.dat's (its index in *badIndex).
int studykeys_check(const char *stem, long count, long *badIndex);

#endif
