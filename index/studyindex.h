// Study index records: the fixed-size records of STUDYINDEX.hash,
// STUDYINDEX.dat, SERIESINDEX.dat and IMAGEINDEX.dat, their offsets, the
// summaries kept in a studyhash record (text bits, date numbers, modality
// bits, UID CRC), the field lists of the series and image records, and
// whole-record I/O on index files. The study records are filled from a
// dataset by studyindex_makeRecords.
//
// Every index file is an array of records without header, little-endian
// 32-bit integers, NUL-padded text fields (a value as wide as its field has
// no NUL); a record whose first byte is NUL is not live.
#ifndef VELTO_INDEX_STUDYINDEX_H
#define VELTO_INDEX_STUDYINDEX_H

#include "dcmtk/config/osconfig.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <type_traits>
#include <vector>

#include "dcmtk/dcmdata/dctagkey.h"

class DcmDataset;

// Width of every record key (the first field of each record).
enum { STUDYINDEX_KEY_WIDTH = 64 };

// studyhash: the study summary record of STUDYINDEX.hash, 28 bytes. Record
// i describes the same study as studydata record i of STUDYINDEX.dat.
struct studyhash {
    uint32_t patientNameBits;        // text bits of Patient's Name; bit 0: deleted
    uint32_t studyDescriptionBits;   // text bits of Study Description
    uint32_t referringPhysicianBits; // text bits of Referring Physician's Name
    uint32_t birthDate;              // Patient's Birth Date as YYYYMMDD, or 0
    uint32_t studyDate;              // Study Date as YYYYMMDD, or 0
    uint32_t modalityBits;           // union of the modality bits of the study
    uint32_t studyUidCrc;            // CRC-32 of the Study Instance UID
};

// Bit 0 of studyhash.patientNameBits: the study is deleted, awaiting compaction.
enum { STUDYHASH_DELETED = 0x00000001u };

// studydata: the study text record of STUDYINDEX.dat, 512 bytes. Converted
// fields hold UTF-8 (from the dataset's Specific Character Set).
struct studydata {
    char studyInstanceUid[64];          // (0020,000D), the key
    char patientName[64];               // (0010,0010), converted
    char patientId[64];                 // (0010,0020), converted
    char studyDescription[64];          // (0008,1030), converted
    char referringPhysician[64];        // (0008,0090), converted
    char referringPhysicianAddress[64]; // (0008,0092), converted
    char modalities[8][2];              // codes in order first seen; empty slot ends
    char birthDate[8];                  // (0010,0030)
    char studyDate[8];                  // (0008,0020)
    char studyTime[6];                  // (0008,0030), HHMMSS
    char patientSex[2];                 // (0010,0040)
    char clinicalTrialSiteName[24];     // (0012,0031), converted
    char clinicalTrialSponsorName[16];  // (0012,0010), converted
    char clinicalTrialProtocolName[16]; // (0012,0021), converted
    char accessionNumber[16];           // (0008,0050), converted
    char studyId[16];                   // (0020,0010), converted
};

// Series record of SERIESINDEX.dat, 320 bytes; values as in the dataset.
struct seriesrecord {
    char seriesInstanceUid[64]; // (0020,000E), the key
    char studyInstanceUid[64];  // (0020,000D)
    char seriesDescription[64]; // (0008,103E)
    char protocolName[64];      // (0018,1030)
    char seriesDate[8];         // (0008,0021)
    char seriesTime[6];         // (0008,0031)
    char seriesNumber[12];      // (0020,0011)
    char bodyPartExamined[16];  // (0018,0015)
    char patientPosition[4];    // (0018,5100)
    char modality[2];           // (0008,0060)
    char reserved[16];          // always zero
};

// Image record of IMAGEINDEX.dat, 768 bytes; values as in the dataset,
// multi-valued ones with their backslashes.
struct imagerecord {
    char sopInstanceUid[64];      // (0008,0018), the key
    char seriesInstanceUid[64];   // (0020,000E)
    char studyInstanceUid[64];    // (0020,000D)
    char imageType[64];           // (0008,0008)
    char imageComments[256];      // (0020,4000)
    char patientOrientation[32];  // (0020,0020)
    char sliceLocation[16];       // (0020,1041)
    char imagePosition[52];       // (0020,0032)
    char imageOrientation[104];   // (0020,0037)
    char acquisitionNumber[12];   // (0020,0012)
    char instanceNumber[12];      // (0020,0013)
    char imagesInAcquisition[12]; // (0020,1002)
    char acquisitionDate[8];      // (0008,0022)
    char acquisitionTime[6];      // (0008,0032)
    char reserved[2];             // always zero
};

static_assert(sizeof(studyhash) == 28, "studyhash is 28 bytes");
static_assert(offsetof(studyhash, patientNameBits) == 0, "studyhash word 0");
static_assert(offsetof(studyhash, studyDescriptionBits) == 4, "studyhash word 1");
static_assert(offsetof(studyhash, referringPhysicianBits) == 8, "studyhash word 2");
static_assert(offsetof(studyhash, birthDate) == 12, "studyhash word 3");
static_assert(offsetof(studyhash, studyDate) == 16, "studyhash word 4");
static_assert(offsetof(studyhash, modalityBits) == 20, "studyhash word 5");
static_assert(offsetof(studyhash, studyUidCrc) == 24, "studyhash word 6");

static_assert(sizeof(studydata) == 512, "studydata is 512 bytes");
static_assert(offsetof(studydata, patientName) == 64, "studydata layout");
static_assert(offsetof(studydata, patientId) == 128, "studydata layout");
static_assert(offsetof(studydata, studyDescription) == 192, "studydata layout");
static_assert(offsetof(studydata, referringPhysician) == 256, "studydata layout");
static_assert(offsetof(studydata, referringPhysicianAddress) == 320, "studydata layout");
static_assert(offsetof(studydata, modalities) == 384, "studydata layout");
static_assert(offsetof(studydata, birthDate) == 400, "studydata layout");
static_assert(offsetof(studydata, studyDate) == 408, "studydata layout");
static_assert(offsetof(studydata, studyTime) == 416, "studydata layout");
static_assert(offsetof(studydata, patientSex) == 422, "studydata layout");
static_assert(offsetof(studydata, clinicalTrialSiteName) == 424, "studydata layout");
static_assert(offsetof(studydata, clinicalTrialSponsorName) == 448, "studydata layout");
static_assert(offsetof(studydata, clinicalTrialProtocolName) == 464, "studydata layout");
static_assert(offsetof(studydata, accessionNumber) == 480, "studydata layout");
static_assert(offsetof(studydata, studyId) == 496, "studydata layout");

static_assert(sizeof(seriesrecord) == 320, "series record is 320 bytes");
static_assert(offsetof(seriesrecord, studyInstanceUid) == 64, "series record layout");
static_assert(offsetof(seriesrecord, seriesDescription) == 128, "series record layout");
static_assert(offsetof(seriesrecord, protocolName) == 192, "series record layout");
static_assert(offsetof(seriesrecord, seriesDate) == 256, "series record layout");
static_assert(offsetof(seriesrecord, seriesTime) == 264, "series record layout");
static_assert(offsetof(seriesrecord, seriesNumber) == 270, "series record layout");
static_assert(offsetof(seriesrecord, bodyPartExamined) == 282, "series record layout");
static_assert(offsetof(seriesrecord, patientPosition) == 298, "series record layout");
static_assert(offsetof(seriesrecord, modality) == 302, "series record layout");
static_assert(offsetof(seriesrecord, reserved) == 304, "series record layout");

static_assert(sizeof(imagerecord) == 768, "image record is 768 bytes");
static_assert(offsetof(imagerecord, seriesInstanceUid) == 64, "image record layout");
static_assert(offsetof(imagerecord, studyInstanceUid) == 128, "image record layout");
static_assert(offsetof(imagerecord, imageType) == 192, "image record layout");
static_assert(offsetof(imagerecord, imageComments) == 256, "image record layout");
static_assert(offsetof(imagerecord, patientOrientation) == 512, "image record layout");
static_assert(offsetof(imagerecord, sliceLocation) == 544, "image record layout");
static_assert(offsetof(imagerecord, imagePosition) == 560, "image record layout");
static_assert(offsetof(imagerecord, imageOrientation) == 612, "image record layout");
static_assert(offsetof(imagerecord, acquisitionNumber) == 716, "image record layout");
static_assert(offsetof(imagerecord, instanceNumber) == 728, "image record layout");
static_assert(offsetof(imagerecord, imagesInAcquisition) == 740, "image record layout");
static_assert(offsetof(imagerecord, acquisitionDate) == 752, "image record layout");
static_assert(offsetof(imagerecord, acquisitionTime) == 760, "image record layout");
static_assert(offsetof(imagerecord, reserved) == 766, "image record layout");

static_assert(std::is_trivially_copyable<studyhash>::value, "studyhash is raw bytes");
static_assert(std::is_trivially_copyable<studydata>::value, "studydata is raw bytes");
static_assert(std::is_trivially_copyable<seriesrecord>::value, "series record is raw bytes");
static_assert(std::is_trivially_copyable<imagerecord>::value, "image record is raw bytes");

// Modality bits of the codes the index summarises (any other code: 0).
enum {
    MODALITY_CT = 0x00000001u,
    MODALITY_MR = 0x00000002u,
    MODALITY_PT = 0x00000004u,
    MODALITY_ST = 0x00000008u,
    MODALITY_CR = 0x00000010u,
    MODALITY_NM = 0x00000020u,
    MODALITY_US = 0x00000040u,
    MODALITY_RG = 0x00000080u,
    MODALITY_XA = 0x00000100u,
    MODALITY_OT = 0x10000000u,
};

// Byte offset of record number index in a file of records of recordSize
// bytes. index must not be negative (aborts).
off_t studyindex_offset(long index, size_t recordSize);

// Text bits of text (null counts as empty): letters a-z/A-Z set bits 1-26,
// digits bit 30, any of ! ( ) , - . / : ; [ ] { } bit 29; others nothing.
uint32_t studyindex_textBits(const char *text);
// Date number: an 8-character value read as decimal YYYYMMDD, else 0.
uint32_t studyindex_dateNumber(const char *date);
// Modality bit of a whole code, compared exactly (table above), else 0.
uint32_t studyindex_modalityBit(const char *code);
// CRC-32 (IEEE 802.3, table crc32_table, which must be filled) of the UID's
// characters; 0 for null or empty.
uint32_t studyindex_uidCrc(const char *uid);

// Copies value into a field of width bytes as strncpy does (NUL-padded; a
// value of width or more characters fills the field with no NUL). Null
// leaves the field unchanged.
void studyindex_setField(char *field, size_t width, const char *value);
// Non-zero when the key field (at most 64 characters) equals uid.
int studyindex_keyEquals(const char *keyField, const char *uid);
// Non-zero when the record's first byte is not NUL.
int studyindex_isLive(const void *record);

// Fills the study records from ds, or merges ds into records that hold
// a study already (null record: left alone). The data record's texts are
// converted to UTF-8 from ds's Specific Character Set (an undecodable
// value is kept and logged at level 16 on log); the summary's text bits are
// taken of the values as stored, its modality bits are or-ed in.
void studyindex_makeRecords(const DcmDataset *ds, studyhash *hash, studydata *data, FILE *log);
// After studyindex_makeRecords of a changed image (core/change.h), whose
// empty attributes are values and not "not given": each field of the study
// records whose attribute ds holds empty is cleared (its summary too).
void studyindex_clearEmptied(const DcmDataset *ds, studyhash *hash, studydata *data);

// Sets the study's key alone in zeroed records (its UID and the UID's CRC),
// as studyindex_makeRecords sets it: what a search for the study needs.
void studyindex_makeKey(const DcmDataset *ds, studyhash *hash, studydata *data);

// Appends to out every attribute that the records of an image are made of
// (study, series and image records alike): a data set holding only these
// gives the same records as the whole one.
void studyindex_recordTags(std::vector<DcmTagKey> *out);

// One field of a series or image record: the attribute it holds, where and
// how wide. The lists are in record order.
struct studyindex_field {
    DcmTagKey tag; // attribute
    size_t offset; // byte offset in the record
    size_t width;  // field width in bytes
};
enum { STUDYINDEX_SERIES_FIELDS = 10, STUDYINDEX_IMAGE_FIELDS = 14 };
extern const studyindex_field studyindex_seriesFields[STUDYINDEX_SERIES_FIELDS];
extern const studyindex_field studyindex_imageFields[STUDYINDEX_IMAGE_FIELDS];

// The series or image record of ds: zeroed, then every field of the field
// list above set from its element as studyindex_setField sets it (an absent
// element leaves its field empty).
void studyindex_makeSeries(const DcmDataset *ds, seriesrecord *record);
void studyindex_makeImage(const DcmDataset *ds, imagerecord *record);

// Whole-record I/O at record number index of fd (full transfer, EINTR
// retried). Read: 1 a whole record read, 0 end of file or a short tail
// (damage, never half a record), -1 read error.
int studyindex_readRecord(int fd, long index, void *record, size_t recordSize);
// Write: 0 the whole record is written, -1 failed. When a failed or short
// write leaves the file ending inside the record (an append), the file is
// cut back to the record's start, so no torn record stays at the end.
int studyindex_writeRecord(int fd, long index, const void *record, size_t recordSize);

// Result of studyindex_searchKey.
struct studyindex_search {
    long found; // record number of the key, or -1
    int others; // a live record with another key was passed over
};
// Reads fd's records of recordSize bytes (into record) from the start up to
// the first whose key (the first 64 bytes) equals key.
studyindex_search studyindex_searchKey(int fd, const char *key, void *record, size_t recordSize);
// Non-zero when a live record follows record number after (read into record).
int studyindex_liveAfter(int fd, long after, void *record, size_t recordSize);
// Overwrites record number index (at most 768 bytes) with zero bytes, which
// leaves it not live: as studyindex_writeRecord.
int studyindex_clearRecord(int fd, long index, size_t recordSize);

// Opens path (open flags and mode; O_CLOEXEC added) and waits for a whole-
// file lock of lockType (F_RDLCK or F_WRLCK) on the file that still has that
// name once the lock is held (a file replaced by rename meanwhile is opened
// again). The locked descriptor (caller closes it), or -1 with errno set.
int studyindex_openLocked(const char *path, int flags, mode_t mode, int lockType);

#endif
