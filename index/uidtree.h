// The UID tree: where the image files and the index files of a store lie
// below its base directory, and which UIDs may name a file there. The
// layout is
//   B/uid/STUDYINDEX.{hash,dat}
//   B/uid/XX/YY/study_S/SERIESINDEX.dat
//   B/uid/XX/YY/study_S/series_R/IMAGEINDEX.dat
//   B/uid/XX/YY/study_S/series_R/image_I.dcm
// with XX and YY the low and the next byte of the study UID's CRC-32 in
// upper-case hexadecimal. Only computes names; touches no file.
#ifndef VELTO_INDEX_UIDTREE_H
#define VELTO_INDEX_UIDTREE_H

#include "dcmtk/config/osconfig.h"

#include <stdio.h>

#include "dcmtk/ofstd/ofstring.h"

// [base]/uid[/XX/YY/study_S][/series_R][/image_I.dcm]: null levels are
// left out; a null base gives the path relative to the base directory
// (beginning with "/"). Each path made is logged on log at level 512
// ("GetUidPath() returning ...").
OFString uidtree_path(const char *base, const char *study, const char *series, const char *image,
                      FILE *log);

// Index stem of the level below: .../IMAGEINDEX (series given),
// .../SERIESINDEX (study given) or base/uid/STUDYINDEX; callers append
// ".dat" or ".hash". Logged as uidtree_path logs.
OFString uidtree_indexStem(const char *base, const char *study, const char *series, FILE *log);

// The study's bucket directory base/uid/XX/YY (no trailing "/"). Logged
// as uidtree_path logs.
OFString uidtree_bucketPath(const char *base, const char *study, FILE *log);

// What makes uid unfit to be taken as a UID, to name a file of the tree
// or an entry of a download: "empty", "longer than 64 characters", "holds
// a character other than a digit or a dot" or "has an empty component";
// null when it is fit. The one test of a UID from outside, wherever one
// comes in (C-STORE, STOW-RS, identifiers, URLs) or a name is built.
const char *uidtree_uidProblem(const char *uid);

// 0 when uid is fit; else -1 after a level-16 line on log naming what
// (e.g. "Study Instance UID"), why, and at most 80 bytes of the UID (other
// than printable ASCII shown as "?").
int uidtree_checkUid(const char *uid, const char *what, FILE *log);

#endif
