// Study query templates and matching: the summary template tested against
// the in-memory studyhash records, the text template tested against the
// studydata records of the candidates, and the pattern match of the text
// test. The templates are filled from a query identifier by
// LocalStore::studyDataMakeTemplate; dateRangeHash and studyHashCompare are
// LocalStore members as well (store/localstore.h).
#ifndef VELTO_INDEX_QUERYMATCH_H
#define VELTO_INDEX_QUERYMATCH_H

#include <stddef.h>
#include <stdint.h>
#include <type_traits>

#include "index/studyindex.h"

// Highest date number: the upper end of an open date range.
enum { QUERYMATCH_DATE_MAX = 99991231 };

// studyhash_template: a study query in summary form, nine words. A 0 in the
// bit and CRC words imposes no condition; the date words bound the accepted
// date numbers (a study without a date passes every range).
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

// studydata_template: a study query in text form, 1106 bytes of NUL-padded
// fields (cut at the width); an empty field matches every record.
struct studydata_template {
    char studyInstanceUid[128];          // (0020,000D) as given
    char patientName[128];               // (0010,0010) UTF-8
    char patientId[128];                 // (0010,0020) UTF-8
    char studyDescription[128];          // (0008,1030) UTF-8
    char referringPhysician[128];        // (0008,0090) UTF-8
    char referringPhysicianAddress[128]; // (0008,0092) UTF-8
    char clinicalTrialSponsorName[64];   // (0012,0010) UTF-8
    char clinicalTrialProtocolName[64];  // (0012,0021) UTF-8
    char clinicalTrialSiteName[64];      // (0012,0031) UTF-8
    char birthDate[32];                  // (0010,0030) date or range, not text-tested
    char studyDate[32];                  // (0008,0020) date or range, not text-tested
    char studyTime[32];                  // (0008,0030) never tested
    char accessionNumber[16];            // (0008,0050) UTF-8
    char studyId[16];                    // (0020,0010) UTF-8
    char modalities[8][2];               // requested modality, not text-tested
    char patientSex[2];                  // (0010,0040) as given
};

static_assert(sizeof(studyhash_template) == 36, "studyhash_template is 9 words");
static_assert(offsetof(studyhash_template, studyUidCrc) == 32, "studyhash_template word 8");
static_assert(sizeof(studydata_template) == 1106, "studydata_template is 1106 bytes");
static_assert(offsetof(studydata_template, patientName) == 128, "template layout");
static_assert(offsetof(studydata_template, patientId) == 256, "template layout");
static_assert(offsetof(studydata_template, studyDescription) == 384, "template layout");
static_assert(offsetof(studydata_template, referringPhysician) == 512, "template layout");
static_assert(offsetof(studydata_template, referringPhysicianAddress) == 640, "template layout");
static_assert(offsetof(studydata_template, clinicalTrialSponsorName) == 768, "template layout");
static_assert(offsetof(studydata_template, clinicalTrialProtocolName) == 832, "template layout");
static_assert(offsetof(studydata_template, clinicalTrialSiteName) == 896, "template layout");
static_assert(offsetof(studydata_template, birthDate) == 960, "template layout");
static_assert(offsetof(studydata_template, studyDate) == 992, "template layout");
static_assert(offsetof(studydata_template, studyTime) == 1024, "template layout");
static_assert(offsetof(studydata_template, accessionNumber) == 1056, "template layout");
static_assert(offsetof(studydata_template, studyId) == 1072, "template layout");
static_assert(offsetof(studydata_template, modalities) == 1088, "template layout");
static_assert(offsetof(studydata_template, patientSex) == 1104, "template layout");
static_assert(std::is_trivially_copyable<studyhash_template>::value, "template is raw words");
static_assert(std::is_trivially_copyable<studydata_template>::value, "template is raw bytes");

// Sets th to "no condition": every word 0 except the two upper date bounds.
void querymatch_initTemplate(studyhash_template *th);

// The summary test without its trace lines: non-zero when record r passes
// template t (not deleted, UID CRC, the three name summaries, modality,
// birth and study date ranges), 0 when it does not.
int querymatch_summaryPasses(const studyhash *r, const studyhash_template *t);

// 0 when value matches pattern, non-zero when not. "*" is a wildcard only as
// the first or last character; "?" and everything else stand for
// themselves; ASCII letters compare without case. Null counts as "".
int wildcardMatch(const char *value, const char *pattern);

// The study text test: 0 when every text field of record matches the
// corresponding pattern of t (fields taken at most their widths), 1 when
// one does not. Dates, time and modality are not tested here.
int querymatch_studyText(const studydata *record, const studydata_template *t);

#endif
