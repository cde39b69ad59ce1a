// The store's UID tree as its check, rebuild and tier mover see it: one
// scan of B/uid into lists of bucket, study and series directories with
// their image files, index files and leftovers, and whole reads of index
// files. Shared by the check, the rebuild and the mover.
#ifndef VELTO_STORE_STORETREE_H
#define VELTO_STORE_STORETREE_H

#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Name of the marker file in B/uid that exists while a rebuild replaces the
// index files; one left behind means the rebuild was interrupted.
#define STORETREE_REBUILD_MARKER "REBUILDING"

// One series directory B/uid/XX/YY/study_S/series_R.
struct storetree_series {
    std::string uid;                 // R, from the directory name
    std::string dir;                 // full path
    bool hasIndex = false;           // IMAGEINDEX.dat exists
    std::vector<std::string> images; // SOP instance UIDs of image_I.dcm files, sorted
    std::vector<std::string> tiered; // SOP instance UIDs of image_I.dcm.tier stubs, sorted
    std::vector<std::string> headed; // SOP instance UIDs of image_I.dcm.head heads, sorted
    std::vector<std::string> stale;  // full paths of *.tmp files
    // Full paths of image_I.dcm.compressing files: compressions cut short
    // (store/storecompress.h), which the next pass finishes.
    std::vector<std::string> compressing;
};

// One study directory B/uid/XX/YY/study_S.
struct storetree_study {
    std::string uid;                      // S, from the directory name
    std::string dir;                      // full path
    std::string bucket;                   // "XX/YY" it was found in
    bool hasIndex = false;                // SERIESINDEX.dat exists
    std::vector<storetree_series> series; // sorted by directory name
    std::vector<std::string> stale;       // full paths of *.tmp files
};

// The whole UID tree.
struct storetree {
    std::string base;                     // B as given
    std::string uidDir;                   // B/uid
    bool exists = false;                  // B/uid exists (else the store is empty)
    bool rebuildMarker = false;           // B/uid/REBUILDING exists
    std::vector<storetree_study> studies; // in directory order (bucket, then name)
    std::vector<std::string> stale;       // *.tmp outside study directories
    std::vector<std::string> deleteme;    // DELETEME files of bucket directories
    std::vector<std::string> intents;     // B/uid/DELETING.* of unfinished deletes
    std::vector<std::string> journals;    // B/uid/JOURNAL.*, image journals
    std::vector<std::string> unreadable;  // directories that could not be listed
};

// Scans B/uid into tree. Returns 0 (also when B/uid does not exist, with
// tree->exists false), or -1 when B itself cannot be read; directories below
// that cannot be listed are collected in tree->unreadable.
int storetree_scan(const char *base, storetree *tree);

// Reads the whole file at path into bytes. Returns 1 read, 0 the file does
// not exist, -1 it could not be read (errno set).
int storetree_readFile(const std::string &path, std::vector<unsigned char> *bytes);

// The text of a fixed-width field (up to its first NUL, at most width bytes).
std::string storetree_field(const char *field, size_t width);

// Non-zero when the len bytes at p are all zero.
int storetree_allZero(const void *p, size_t len);

// Non-zero when name ends in ".tmp".
int storetree_isTmp(const char *name);

#endif
