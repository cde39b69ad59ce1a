// Study queries: a query identifier compiled into the summary template
// tested against the in-memory studyhash records and the keys tested
// against the studydata records of the candidates (index/keymatch.h does
// the matching of each key).
#ifndef VELTO_INDEX_QUERYMATCH_H
#define VELTO_INDEX_QUERYMATCH_H

#include "dcmtk/config/osconfig.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <type_traits>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"

#include "index/keymatch.h"
#include "index/studyindex.h"

// Highest date number: the upper end of an open date range.
enum { QUERYMATCH_DATE_MAX = 99991231 };

// studyhash_template: a study query in summary form, nine words. A 0 in the
// bit and CRC words imposes no condition; the date words bound the accepted
// date numbers: from 0 to 99991231 is no condition, and a study without a
// date (0) fails every other range.
struct studyhash_template {
    uint32_t patientNameBits;        // text bits of the Patient's Name pattern
    uint32_t studyDescriptionBits;   // text bits of the Study Description pattern
    uint32_t referringPhysicianBits; // text bits of the Referring Physician pattern
    uint32_t birthDateFrom;          // lowest accepted birth date (0)
    uint32_t birthDateTo;            // highest accepted birth date (99991231)
    uint32_t studyDateFrom;          // lowest accepted study date (0)
    uint32_t studyDateTo;            // highest accepted study date (99991231)
    uint32_t modalityBits;           // bits of the requested modality
    uint32_t studyUidCrc;            // CRC-32 of the requested Study Instance UID
};

static_assert(std::is_trivially_copyable<studyhash_template>::value, "template is raw words");

// Sets th to "no condition": every word 0 except the two upper date bounds.
void querymatch_initTemplate(studyhash_template *th);

// The summary test without its trace lines: non-zero when record r passes
// template t (not deleted, UID CRC, the three name summaries, modality,
// birth and study date ranges), 0 when it does not.
int querymatch_summaryPasses(const studyhash *r, const studyhash_template *t);

// The summary test with its trace lines: "Check Del" at level 128 and a
// line per step at level 512 on log (formatted only when the mask lets
// them out). 0 when record r passes template t, 1 when not.
int querymatch_summaryTest(const studyhash *r, const studyhash_template *t, FILE *log);

// Parses a date or a date range (A-B, A-, -B; empty or "*": no condition)
// into [*from, *to] as date numbers: leading digits, 0 and 99991231 for an
// open end. Logged "converting daterange ..." at level 128 on log.
void querymatch_dateRange(const char *range, unsigned int *from, unsigned int *to, FILE *log);

// One key tested against a field of the studydata record.
struct querymatch_studyKey {
    keymatch_key key;
    size_t offset; // of the field in the record
    size_t width;
};

// Flags of querymatch_compileStudy.
enum {
    QUERYMATCH_COMBINED_DATETIME = 1, // StudyDate with StudyTime as one range
};

// A study (or patient) level query compiled: the summary template, the keys
// on record fields, and the keys that need more than the record.
struct querymatch_study {
    studyhash_template th;
    std::vector<querymatch_studyKey> keys; // non-universal keys only
    bool combined = false;                 // dateTime holds StudyDate+StudyTime
    keymatch_key dateTime;
    keymatch_key modalities; // Modalities in Study (0008,0061), CODES
    keymatch_key modality;   // Modality (0008,0060) at study level, CODES
};

// Compiles query into *q: text keys converted to UTF-8 from the query's
// Specific Character Set (logged "Template-in : " / "Template-out: " at
// level 512 on log). flags: QUERYMATCH_* above.
void querymatch_compileStudy(const DcmDataset *query, querymatch_study *q, int flags, FILE *log);

// True when the study query matches key (querymatch_compileStudy compiles
// it; Modality (0008,0060) too, against the study's modalities), false for
// a key that only series or image queries match.
bool querymatch_isStudyKey(const DcmTagKey &key);

// True when record r passes every record key of q (not the modality keys,
// which the caller tests against the study's modality list).
bool querymatch_studyRecord(const studydata *r, const querymatch_study *q);

// The key kind for a value representation ("PN", "UI", "DA", ...): how a
// key of that VR is matched.
int querymatch_kindOfVr(const char *vr);

// True when every key of a query identifier (and of the items of its
// sequences, nested at most 8 deep) fits its value representation: each
// value of a key (between backslashes, padding not counted) holds at most
// twice the VR's longest value plus one byte, which leaves room for a
// wildcard between every character, for the two ends of a date or time
// range and for a list of UIDs, and four times for the texts whose longest
// value counts characters (SH, LO, PN per component group, ST, LT, UC, UT:
// multi-byte character sets). No stored value can match a longer key, and
// matching one is what made a worker spend its whole alarm. False with
// *offending set (may be null) to the first key that does not fit.
bool querymatch_keysFit(DcmItem *identifier, DcmTagKey *offending);

#endif
