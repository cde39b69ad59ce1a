// Query execution: LocalStore::FindDataset answers a query identifier from
// the index files one match per call, at patient (answered as study), study,
// series and image level, keeping its place in an iteration handle that the
// caller holds; and the series and image keys of its responses.
//
// Torn records: stores in other processes append and rewrite index records
// while a query reads them. Every record that a query reads is read whole
// (pread) under a shared whole-file lock that is taken just before the read
// and released just after it: on the study hash file for a study data
// record (every writer of STUDYINDEX.dat holds the hash file's exclusive
// lock), on the index file itself for a series or image record (writers hold
// its exclusive lock while they write). A query therefore never sees a
// half-written record, and it never holds a lock between two reads, so a
// store waits at most for one read (a record, or at study level a window of
// neighbouring records of at most 64 KiB read together), and no lock is held
// between calls (a C-MOVE deleting in the same process takes its own locks
// in between).
//
// Speed: a study query tests the 28-byte summaries of the in-memory table
// first and reads the 512-byte data record only of a study that passes;
// each call resumes below the last match, so a whole query reads the table
// once and each candidate's record once.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "dicomnet/dicomnet.h"
#include "index/querymatch.h"
#include "index/studyindex.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/vlcompat.h"
#include "store/localstore.h"

// Kinds of iteration handle. The caller passes the same level at every call
// of one iteration; a handle of another kind is a programming error.
enum {
    FIND_STUDY_HANDLE = 0x53545544,  // "STUD"
    FIND_SERIES_HANDLE = 0x53455249, // "SERI"
    FIND_IMAGE_HANDLE = 0x494d4147,  // "IMAG"
};

// Study data records read together when enough candidates lie close: one
// read of 64 KiB instead of many of 512 bytes each.
enum { STUDY_WINDOW = 128, STUDY_WINDOW_WORTH = 8 };

// Study (and patient) level: the table index last examined, the study data
// file, the hash file whose lock guards it (-1: none, read unlocked), the
// records last read together (window, heap or null: windowCount records
// from windowLow), and the query in both template forms.
struct findStudyHandle {
    uint32_t kind;
    int32_t cursor;
    int dataFd;
    int hashFd;
    studydata *window;
    int32_t windowLow;
    int32_t windowCount;
    studyhash_template th;
    studydata_template td;
};

// Series level: the study's series index and the next record to read.
struct findSeriesHandle {
    uint32_t kind;
    int seriesFd;
    long next;
};

// Image level: the image index being read (-1: none open) and its next
// record; the study's series index when enumerating series (else -1) and
// its next record.
struct findImageHandle {
    uint32_t kind;
    int imageFd;
    long imageNext;
    int seriesFd;
    long seriesNext;
};

// Reads count records of size bytes from record index of fd, under a
// shared lock on lockFd (-1: no lock). The number of whole records read (0
// at the end of the file), or -1 on a read error.
static long readRecordsShared(int lockFd, int fd, long index, void *records, size_t size,
                              long count)
{
    // A failing lock (there is no other reason than lack of lock memory
    // here: this process holds no other lock that could deadlock) still
    // lets the query go on, as unlocked reads always did.
    int locked = lockFd >= 0 && VLCompat_LockWholeFile(lockFd, F_RDLCK) == 0;
    ssize_t n = fullio_pread(fd, records, size * (size_t)count, studyindex_offset(index, size));
    if (locked)
        VLCompat_LockWholeFile(lockFd, F_UNLCK);
    return n < 0 ? -1 : (long)((size_t)n / size);
}

// One record: 1 read whole, 0 end of file, -1 read error.
static int readRecordShared(int lockFd, int fd, long index, void *record, size_t size)
{
    return (int)readRecordsShared(lockFd, fd, index, record, size, 1);
}

static void closeIfOpen(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Ends an iteration: closes what the handle holds, frees it and sets the
// caller's pointer to null.
static void freeFindHandle(void **handle)
{
    if (!*handle)
        return;
    switch (*(uint32_t *)*handle) {
    case FIND_STUDY_HANDLE: {
        findStudyHandle *h = (findStudyHandle *)*handle;
        closeIfOpen(&h->dataFd);
        closeIfOpen(&h->hashFd);
        free(h->window);
        break;
    }
    case FIND_SERIES_HANDLE:
        closeIfOpen(&((findSeriesHandle *)*handle)->seriesFd);
        break;
    case FIND_IMAGE_HANDLE:
        closeIfOpen(&((findImageHandle *)*handle)->imageFd);
        closeIfOpen(&((findImageHandle *)*handle)->seriesFd);
        break;
    default:
        abort(); // not a handle of ours
    }
    free(*handle);
    *handle = NULL;
}

// Opens the series index of study (series null) or the image index of
// (study, series) read-only; -1 when it cannot. A UID that the store would
// refuse (a "/" would lead out of the store) names no index.
static int openIndex(LocalStore *store, const char *study, const char *series)
{
    if (store->CheckUid(study, "Study Instance UID") != LS_OK ||
        (series && store->CheckUid(series, "Series Instance UID") != LS_OK)) {
        errno = ENOENT;
        return -1;
    }
    return open((store->GetUidIndexPath(study, series) + ".dat").c_str(), O_RDONLY | O_CLOEXEC);
}

// Copies a record field of width bytes into out (width + 1 bytes) as a
// string; notes in *high whether it holds a byte of 0x80 or more.
static const char *fieldText(char *out, const char *field, size_t width, int *high)
{
    size_t n = strnlen(field, width);
    memcpy(out, field, n);
    out[n] = '\0';
    if (high) {
        for (size_t i = 0; i < n; i++) {
            if ((unsigned char)out[i] >= 0x80)
                *high = 1;
        }
    }
    return out;
}

static void addKey(DcmDataset *ds, const DcmTagKey &tag, const char *value)
{
    DCMTK_Key_Add(ds, tag.getGroup(), tag.getElement(), value);
}

// Creates the response identifier if the caller has none and sets its
// Query/Retrieve Level to the level text as received.
static DcmDataset *startResponse(DcmDataset **result, const char *levelText)
{
    if (!*result)
        *result = DCMTK_Dataset_Create();
    addKey(*result, DCM_QueryRetrieveLevel, levelText);
    return *result;
}

// ---------------------------------------------------------------------------
// Study level.

// Attributes answered at study level, with their field in the data record.
struct studyAnswer {
    DcmTagKey tag;
    size_t offset;
    size_t width;
};
#define STUDY_ANSWER(tag, member)                                                                  \
    {                                                                                              \
        tag, offsetof(studydata, member), sizeof(((studydata *)nullptr)->member)                   \
    }
static const studyAnswer studyAnswers[] = {
    STUDY_ANSWER(DCM_StudyInstanceUID, studyInstanceUid),
    STUDY_ANSWER(DCM_PatientName, patientName),
    STUDY_ANSWER(DCM_PatientID, patientId),
    STUDY_ANSWER(DCM_PatientBirthDate, birthDate),
    STUDY_ANSWER(DCM_PatientSex, patientSex),
    STUDY_ANSWER(DCM_StudyDate, studyDate),
    STUDY_ANSWER(DCM_StudyTime, studyTime),
    STUDY_ANSWER(DCM_StudyDescription, studyDescription),
    STUDY_ANSWER(DCM_StudyID, studyId),
    STUDY_ANSWER(DCM_AccessionNumber, accessionNumber),
    STUDY_ANSWER(DCM_ReferringPhysicianName, referringPhysician),
    STUDY_ANSWER(DCM_ReferringPhysicianAddress, referringPhysicianAddress),
    STUDY_ANSWER(DCM_ClinicalTrialSponsorName, clinicalTrialSponsorName),
    STUDY_ANSWER(DCM_ClinicalTrialProtocolName, clinicalTrialProtocolName),
    STUDY_ANSWER(DCM_ClinicalTrialSiteName, clinicalTrialSiteName),
};

static void studyResponse(LocalStore *store, DcmDataset *query, DcmDataset **result,
                          const char *levelText, int cursor, const studydata *rec)
{
    DcmDataset *resp = startResponse(result, levelText);
    logprintf(LOGLEVEL_DEBUG, store->logStream, "entry %d data matches, responding\n", cursor);
    int high = 0;
    char text[STUDYINDEX_KEY_WIDTH + 1];
    for (const studyAnswer &a : studyAnswers) {
        if (query->tagExists(a.tag))
            addKey(resp, a.tag, fieldText(text, (const char *)rec + a.offset, a.width, &high));
    }
    if (query->tagExists(DCM_ModalitiesInStudy)) {
        // At most 8 codes of 2 characters, 7 backslashes and the NUL.
        char list[8 * 3];
        list[0] = '\0';
        size_t len = 0;
        for (int slot = 0; slot < 8 && rec->modalities[slot][0] != '\0'; slot++) {
            if (slot > 0)
                list[len++] = '\\';
            size_t n = strnlen(rec->modalities[slot], 2);
            memcpy(list + len, rec->modalities[slot], n);
            len += n;
            list[len] = '\0';
        }
        addKey(resp, DCM_ModalitiesInStudy, list);
    }
    // The index keeps its texts in UTF-8.
    if (high)
        addKey(resp, DCM_SpecificCharacterSet, "ISO_IR 192");
}

// Data record c of a study that passed the summary test, into *rec: 1 read,
// 0 not in the file, -1 read error. When enough of the studies just below
// c pass as well (the next calls will want them), c and the records below
// it are read together into the handle's window; a selective query reads
// its few records one by one.
static int readStudyRecord(findStudyHandle *h, const studyhash *table, int32_t c, studydata *rec)
{
    if (h->window && c >= h->windowLow && c < h->windowLow + h->windowCount) {
        *rec = h->window[c - h->windowLow];
        return 1;
    }
    int32_t low = c >= STUDY_WINDOW - 1 ? c - (STUDY_WINDOW - 1) : 0;
    int more = 0;
    for (int32_t i = c - 1; i >= low && more < STUDY_WINDOW_WORTH - 1; i--)
        more += querymatch_summaryPasses(&table[i], &h->th);
    if (more < STUDY_WINDOW_WORTH - 1)
        return readRecordShared(h->hashFd, h->dataFd, c, rec, sizeof(*rec));
    if (!h->window) {
        h->window = (studydata *)malloc(STUDY_WINDOW * sizeof(studydata));
        if (!h->window)
            return readRecordShared(h->hashFd, h->dataFd, c, rec, sizeof(*rec));
    }
    long n =
        readRecordsShared(h->hashFd, h->dataFd, low, h->window, sizeof(studydata), c - low + 1);
    h->windowLow = low;
    h->windowCount = n < 0 ? 0 : (int32_t)n;
    if (n < 0)
        return -1;
    if (c >= low + h->windowCount)
        return 0;
    *rec = h->window[c - low];
    return 1;
}

int LocalStore::findStudyLevel(void **handle, DcmDataset *query, DcmDataset **result,
                               const char *levelText)
{
    if (!*handle) {
        findStudyHandle *h = (findStudyHandle *)calloc(1, sizeof(findStudyHandle));
        if (!h)
            return -1;
        h->kind = FIND_STUDY_HANDLE;
        h->cursor = studyCount;
        h->dataFd = -1;
        h->hashFd = -1;
        querymatch_initTemplate(&h->th);
        studyDataMakeTemplate(query, &h->th, &h->td);
        OFString stem = GetUidIndexPath(NULL, NULL);
        *handle = h;
        h->dataFd = open((stem + ".dat").c_str(), O_RDONLY | O_CLOEXEC);
        if (h->dataFd < 0) {
            // A store that has never held a study has no index yet: that
            // is an empty answer, not a failure.
            return errno == ENOENT && studyCount == 0 ? 1 : -1;
        }
        h->hashFd = open((stem + ".hash").c_str(), O_RDONLY | O_CLOEXEC);
    }
    findStudyHandle *h = (findStudyHandle *)*handle;
    if (h->kind != FIND_STUDY_HANDLE)
        abort();

    int debug = (logprintf_getmask() & LOGLEVEL_DEBUG) != 0;
    for (;;) {
        // The table only grows while a worker runs; should it have been
        // reloaded smaller, go on from its end.
        if (h->cursor > studyCount)
            h->cursor = studyCount;
        h->cursor--;
        if (h->cursor < 0)
            return 1;
        if (debug)
            logprintf(LOGLEVEL_DEBUG, logStream, "checking entry %d\n", h->cursor);
        if (studyHashCompare(&studyTable[h->cursor], &h->th) != 0)
            continue;
        logprintf(LOGLEVEL_DEBUG, logStream, "entry %d hash matches\n", h->cursor);
        studydata rec;
        if (readStudyRecord(h, studyTable, h->cursor, &rec) != 1 || !studyindex_isLive(&rec))
            continue;
        if (querymatch_studyText(&rec, &h->td) != 0)
            continue;
        studyResponse(this, query, result, levelText, h->cursor, &rec);
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Series level.

void LocalStore::addSeriesKeys(DcmDataset *query, DcmDataset *response, const seriesrecord *rec)
{
    char text[STUDYINDEX_KEY_WIDTH + 1];
    for (const studyindex_field &f : studyindex_seriesFields) {
        if (query->tagExists(f.tag))
            addKey(response, f.tag, fieldText(text, (const char *)rec + f.offset, f.width, NULL));
    }
}

int LocalStore::findSeriesLevel(void **handle, DcmDataset *query, DcmDataset **result,
                                const char *levelText)
{
    if (!*handle) {
        const char *study = DCMTK_getTagString(query, DCM_StudyInstanceUID);
        if (!study) {
            logprintf(LOGLEVEL_ERROR, logStream,
                      "SERIES level query without STUDY UID unsupported.\n");
            return -1;
        }
        findSeriesHandle *h = (findSeriesHandle *)calloc(1, sizeof(findSeriesHandle));
        if (!h)
            return -1;
        h->kind = FIND_SERIES_HANDLE;
        *handle = h;
        h->seriesFd = openIndex(this, study, NULL);
        if (h->seriesFd < 0)
            return -1;
    }
    findSeriesHandle *h = (findSeriesHandle *)*handle;
    if (h->kind != FIND_SERIES_HANDLE)
        abort();

    const char *seriesUid = DCMTK_getTagString(query, DCM_SeriesInstanceUID);
    for (;;) {
        seriesrecord rec;
        if (readRecordShared(h->seriesFd, h->seriesFd, h->next, &rec, sizeof(rec)) != 1)
            return 1;
        h->next++;
        if (!studyindex_isLive(&rec))
            continue;
        if (seriesUid && !studyindex_keyEquals(rec.seriesInstanceUid, seriesUid))
            continue;
        DcmDataset *resp = startResponse(result, levelText);
        logprintf(LOGLEVEL_DEBUG, logStream, "series entry matches, responding\n");
        addSeriesKeys(query, resp, &rec);
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Image level.

void LocalStore::addImageKeys(DcmDataset *query, DcmDataset *response, const imagerecord *rec)
{
    char text[sizeof(rec->imageComments) + 1];
    for (const studyindex_field &f : studyindex_imageFields) {
        if (query->tagExists(f.tag))
            addKey(response, f.tag, fieldText(text, (const char *)rec + f.offset, f.width, NULL));
    }
}

// Starts the image response: the level, and the three UIDs when the caller
// forced the level. The image keys follow (addImageKeys).
static DcmDataset *imageResponse(LocalStore *store, DcmDataset **result, const char *levelText,
                                 int levelGiven, const imagerecord *rec)
{
    DcmDataset *resp = startResponse(result, levelText);
    char sop[STUDYINDEX_KEY_WIDTH + 1], series[STUDYINDEX_KEY_WIDTH + 1],
        study[STUDYINDEX_KEY_WIDTH + 1];
    fieldText(sop, rec->sopInstanceUid, sizeof(rec->sopInstanceUid), NULL);
    fieldText(series, rec->seriesInstanceUid, sizeof(rec->seriesInstanceUid), NULL);
    fieldText(study, rec->studyInstanceUid, sizeof(rec->studyInstanceUid), NULL);
    // A retrieve (level forced by the caller) needs the three UIDs to find
    // the file, whatever its identifier asked for.
    if (levelGiven) {
        addKey(resp, DCM_SOPInstanceUID, sop);
        addKey(resp, DCM_SeriesInstanceUID, series);
        addKey(resp, DCM_StudyInstanceUID, study);
    }
    logprintf(LOGLEVEL_DEBUG, store->logStream, "image entry matches, responding %s/%s/%s\n", study,
              series, sop);
    return resp;
}

int LocalStore::findImageLevel(void **handle, DcmDataset *query, DcmDataset **result,
                               const char *levelText, int levelGiven)
{
    const char *sopUid = DCMTK_getTagString(query, DCM_SOPInstanceUID);
    const char *seriesUid = DCMTK_getTagString(query, DCM_SeriesInstanceUID);
    const char *studyUid = DCMTK_getTagString(query, DCM_StudyInstanceUID);
    if (!*handle) {
        if (!studyUid) {
            logprintf(LOGLEVEL_ERROR, logStream,
                      "IMAGE level query without STUDY UID unsupported.\n");
            return -1;
        }
        findImageHandle *h = (findImageHandle *)calloc(1, sizeof(findImageHandle));
        if (!h)
            return -1;
        h->kind = FIND_IMAGE_HANDLE;
        h->imageFd = -1;
        h->seriesFd = -1;
        *handle = h;
        if (!seriesUid) {
            logprintf(LOGLEVEL_DEBUG, logStream,
                      "IMAGE level query without SERIES UID - enumerating.\n");
            h->seriesFd = openIndex(this, studyUid, NULL);
            if (h->seriesFd < 0)
                return -1;
        }
    }
    findImageHandle *h = (findImageHandle *)*handle;
    if (h->kind != FIND_IMAGE_HANDLE)
        abort();

    for (;;) {
        if (h->imageFd < 0) {
            if (h->seriesFd < 0) {
                h->imageFd = openIndex(this, studyUid, seriesUid);
                if (h->imageFd < 0)
                    return -1;
            } else {
                seriesrecord srec;
                do {
                    if (readRecordShared(h->seriesFd, h->seriesFd, h->seriesNext, &srec,
                                         sizeof(srec)) != 1)
                        return 1;
                    h->seriesNext++;
                } while (!studyindex_isLive(&srec));
                char series[STUDYINDEX_KEY_WIDTH + 1];
                fieldText(series, srec.seriesInstanceUid, sizeof(srec.seriesInstanceUid), NULL);
                h->imageFd = openIndex(this, studyUid, series);
                if (h->imageFd < 0 && errno == ENOENT) {
                    // A series listed without an image index holds no
                    // image (a store that failed while a delete took the
                    // series away leaves one). Ending here would drop the
                    // images of every later series from a retrieve that
                    // still reports success.
                    logprintf(LOGLEVEL_WARNING, logStream,
                              "IMAGE level query: series %s has no image index - skipped.\n",
                              series);
                    continue;
                }
                if (h->imageFd < 0)
                    return -1;
            }
            h->imageNext = 0;
        }
        imagerecord rec;
        if (readRecordShared(h->imageFd, h->imageFd, h->imageNext, &rec, sizeof(rec)) != 1) {
            closeIfOpen(&h->imageFd);
            if (h->seriesFd < 0)
                return 1;
            continue;
        }
        h->imageNext++;
        if (!studyindex_isLive(&rec))
            continue;
        if (sopUid && !studyindex_keyEquals(rec.sopInstanceUid, sopUid))
            continue;
        addImageKeys(query, imageResponse(this, result, levelText, levelGiven, &rec), &rec);
        return 0;
    }
}

// ---------------------------------------------------------------------------

int LocalStore::FindDataset(void **handle, DcmDataset *query, DcmDataset **result,
                            const char *level)
{
    if (!handle) {
        logprintf(LOGLEVEL_WARNING, logStream, "LocalStore::FindDataset: No handle pointer.\n");
        return 1;
    }
    if (!result || !query)
        return 1;
    const char *levelText = level;
    if (!levelText)
        levelText = DCMTK_getTagString(query, DCM_QueryRetrieveLevel);
    if (!levelText)
        levelText = "";

    int r;
    if (strcmp(levelText, "PATIENT") == 0) {
        logprintf(LOGLEVEL_INFO, logStream, "Treating PATIENT type query as STUDY\n");
        r = findStudyLevel(handle, query, result, levelText);
    } else if (strcmp(levelText, "STUDY") == 0) {
        r = findStudyLevel(handle, query, result, levelText);
    } else if (strcmp(levelText, "SERIES") == 0) {
        r = findSeriesLevel(handle, query, result, levelText);
    } else if (strcmp(levelText, "IMAGE") == 0) {
        r = findImageLevel(handle, query, result, levelText, level != NULL);
    } else {
        logprintf(LOGLEVEL_ERROR, logStream, "AIEE - QRL %s is not STUDY, SERIES or IMAGE\n",
                  levelText);
        return 1;
    }
    // Every end of an iteration, found or failed, comes here.
    if (r != 0)
        freeFindHandle(handle);
    return r;
}
