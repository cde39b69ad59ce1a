// Query execution over an index directory: answers a C-FIND identifier
// (or the identifier of a retrieve) from the study, series and image index
// files below a base directory, one match per call, at patient (each
// patient once), study, series and image level. Newest study first; series
// and images in index order.
#ifndef VELTO_INDEX_FINDDATASET_H
#define VELTO_INDEX_FINDDATASET_H

#include <stdio.h>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/dcmdata/dcdatset.h"

#include "index/studytable.h"

// What a query reads, all borrowed: the base directory of the UID tree
// (index/uidtree.h), the study table loaded from its STUDYINDEX.hash
// (which its holder may reload between two calls of one iteration), and
// the log stream (null: nothing logged).
struct finddataset_index {
    const char *baseDir;
    const studytable *table;
    FILE *log;
};

// Flags of finddataset_next.
enum {
    FINDDATASET_COMBINED_DATETIME = 1, // StudyDate with StudyTime as one date-time range
};

// One match per call; *handle is the caller's iteration state (null to
// start; the same ix, query, level and flags at every call of one
// iteration). 0: a match, its keys added to *result (created when null,
// owned by the caller); 1: no further match; -1: cannot answer. At the end
// of an iteration (1 or -1) the handle is freed and *handle set to null.
// Without a query or a result, and for a level other than PATIENT, STUDY,
// SERIES or IMAGE (logged), 1 at once, the handle untouched. level null:
// taken from the query's (0008,0052); a level given by the caller (a
// retrieve) also adds the three UIDs to every image match.
int finddataset_next(const finddataset_index *ix, void **handle, DcmDataset *query,
                     DcmDataset **result, const char *level, int flags);

// Ends an iteration before its last match (a cancelled query, a caller that
// needs no more): frees the handle and sets *handle to null. A null
// *handle (no iteration, or one that has ended) is left alone.
void finddataset_end(void **handle);

#endif
