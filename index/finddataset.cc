// Query execution: finddataset_next answers a query identifier from the
// index files one match per call, at patient (each patient once), study,
// series and image level, keeping its place in an iteration handle that the
// caller holds; and the keys of its responses.
//
// Every key of the query is matched and answered. At study level the keys
// are those of the study record (index/querymatch.h) plus the study's
// modalities and its series and image counts. At series and image level a
// key is taken from the series or image record when the record holds it
// whole (a field filled to its width may have been cut, a field with bytes
// of 0x80 or more is in the image's own character set); any other key is
// read from an image file of the series (the first) or the image itself,
// converted to UTF-8. An identifier that holds only UIDs (a retrieve) thus
// never opens an image file.
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
// Speed: a study query tests the key digests of Patient ID and name
// (index/studykeys.h, when the table holder loaded them) and the 28-byte
// summaries of the in-memory table first, and reads the 512-byte data
// record only of a study that passes; each call resumes below the last
// match, so a whole query reads the table once and each candidate's record
// once.
#include "index/finddataset.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcmetinf.h"

#include "dicomnet/dicomnet.h"
#include "index/keymatch.h"
#include "index/querymatch.h"
#include "index/studyindex.h"
#include "index/studykeys.h"
#include "index/studytable.h"
#include "index/uidtree.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/vlcompat.h"

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

static void closeIfOpen(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

struct findHandle {
    uint32_t kind;
    explicit findHandle(uint32_t k) : kind(k) {}
    virtual ~findHandle() {}
};

// Study (and patient) level: the table index last examined, the study data
// file, the hash file whose lock guards it (-1: none, read unlocked), the
// records last read together (window, heap or null: windowCount records
// from windowLow), the compiled query, and at patient level the patients
// already answered.
struct findStudyHandle : findHandle {
    int32_t cursor = 0;
    int dataFd = -1;
    int hashFd = -1;
    studydata *window = nullptr;
    int32_t windowLow = 0;
    int32_t windowCount = 0;
    querymatch_study q;
    studykeys_query keys; // what the Patient ID and name keys ask of the digests
    bool patientLevel = false;
    std::set<std::string> patientsAnswered;
    // Patient level with the patient's related counts asked for: the
    // matching studies of each patient (table indexes, newest first), in
    // the order the patients are answered, collected at the first call.
    bool patientCounts = false;
    bool collected = false;
    std::vector<std::vector<int32_t>> patients;
    size_t patientAt = 0;
    findStudyHandle() : findHandle(FIND_STUDY_HANDLE) {}
    ~findStudyHandle() override
    {
        closeIfOpen(&dataFd);
        closeIfOpen(&hashFd);
        free(window);
    }
};

// Where a key of a series or image query is answered from.
enum {
    KEY_RECORD,           // a field of the series or image record
    KEY_FILE,             // the image file
    KEY_SERIES_INSTANCES, // Number of Series Related Instances: counted
};

// One key of a series or image query.
struct levelKey {
    DcmTagKey tag;
    int source;
    const studyindex_field *field; // KEY_RECORD: the record's field, else null
    keymatch_key key;
};

// The values of one image file, read when a key needs them.
struct fileValues {
    OFString path;
    bool tried = false;
    DcmFileFormat file;
};

// Series level: the studies named (a UID list), the one whose series index
// is open and its next record, and the compiled keys.
struct findSeriesHandle : findHandle {
    std::vector<std::string> studies;
    size_t studyAt = 0;
    int seriesFd = -1;
    long next = 0;
    std::vector<levelKey> keys;
    findSeriesHandle() : findHandle(FIND_SERIES_HANDLE) {}
    ~findSeriesHandle() override { closeIfOpen(&seriesFd); }
};

// Image level: the studies named, the one being read (inStudy), its series
// index (-1: none open)
// and its next record, the image index being read (-1: none open) and its
// next record, the series it belongs to, the one series named by a single
// UID (read without the series index), and the compiled keys (the series
// UID key among them).
struct findImageHandle : findHandle {
    std::vector<std::string> studies;
    size_t studyAt = 0;
    bool inStudy = false;
    std::string study;
    int seriesFd = -1;
    long seriesNext = 0;
    int imageFd = -1;
    long imageNext = 0;
    std::string series;
    std::string namedSeries;
    bool namedSeriesDone = false;
    keymatch_key seriesKey;
    std::vector<levelKey> keys;
    findImageHandle() : findHandle(FIND_IMAGE_HANDLE) {}
    ~findImageHandle() override
    {
        closeIfOpen(&seriesFd);
        closeIfOpen(&imageFd);
    }
};

// Reads count records of size bytes from record index of fd, under a
// shared lock on lockFd (-1: no lock). The number of whole records read (0
// at the end of the file), or -1 on a read error.
static long readRecordsShared(int lockFd, int fd, long index, void *records, size_t size,
                              long count)
{
    // A failing lock (there is no other reason than lack of lock memory
    // here: this process holds no other lock that could deadlock) still
    // lets the query go on, as unlocked reads always did. The lock is the
    // descriptor's own, not the process's: queries run in several threads
    // of storeweb at once, each with descriptors of its own, and another
    // query's unlock or close of the same file must not end this one's
    // lock in the middle of its read (the caller's own writes to these
    // files never overlap its queries).
    int locked = lockFd >= 0 && VLCompat_LockDescription(lockFd, F_RDLCK) == 0;
    ssize_t n = fullio_pread(fd, records, size * (size_t)count, studyindex_offset(index, size));
    if (locked)
        VLCompat_LockDescription(lockFd, F_UNLCK);
    return n < 0 ? -1 : (long)((size_t)n / size);
}

// One record: 1 read whole, 0 end of file, -1 read error.
static int readRecordShared(int lockFd, int fd, long index, void *record, size_t size)
{
    return (int)readRecordsShared(lockFd, fd, index, record, size, 1);
}

// Ends an iteration: closes what the handle holds, frees it and sets the
// caller's pointer to null.
static void freeFindHandle(void **handle)
{
    if (!*handle)
        return;
    findHandle *h = (findHandle *)*handle;
    if (h->kind != FIND_STUDY_HANDLE && h->kind != FIND_SERIES_HANDLE &&
        h->kind != FIND_IMAGE_HANDLE)
        abort(); // not a handle of ours
    delete h;
    *handle = NULL;
}

// Opens the series index of study (series null) or the image index of
// (study, series) read-only; -1 when it cannot. A UID unfit to name a file
// (a "/" would lead out of the store) names no index.
static int openIndex(const finddataset_index *ix, const char *study, const char *series)
{
    if (uidtree_checkUid(study, "Study Instance UID", ix->log) != 0 ||
        (series && uidtree_checkUid(series, "Series Instance UID", ix->log) != 0)) {
        errno = ENOENT;
        return -1;
    }
    return open((uidtree_indexStem(ix->baseDir, study, series, ix->log) + ".dat").c_str(),
                O_RDONLY | O_CLOEXEC);
}

// A record field as a string of at most width bytes.
static std::string fieldString(const char *field, size_t width)
{
    return std::string(field, strnlen(field, width));
}

static bool hasHighByte(const std::string &s)
{
    for (unsigned char c : s) {
        if (c >= 0x80 || c == 0x1b)
            return true;
    }
    return false;
}

static void addKey(DcmDataset *ds, const DcmTagKey &tag, const char *value)
{
    dicomnet_Key_Add(ds, tag.getGroup(), tag.getElement(), value);
}

// Creates the response identifier if the caller has none and sets its
// Query/Retrieve Level to the level text as received.
static DcmDataset *startResponse(DcmDataset **result, const char *levelText)
{
    if (!*result)
        *result = dicomnet_Dataset_Create();
    addKey(*result, DCM_QueryRetrieveLevel, levelText);
    return *result;
}

// The UIDs of a backslash list, without padding; empty ones dropped.
static std::vector<std::string> uidList(const char *value)
{
    keymatch_key k;
    keymatch_compile(&k, KEYMATCH_UID, value);
    std::vector<std::string> out;
    for (const std::string &uid : k.list) {
        if (!uid.empty())
            out.push_back(uid);
    }
    return out;
}

// Counts the live records of an index file (records of size bytes); -1
// when it cannot be read.
static long countLive(const OFString &path, size_t size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    long live = 0;
    char buf[64 * 768];
    long perRead = (long)(sizeof(buf) / size);
    for (long at = 0;; at += perRead) {
        long n = readRecordsShared(fd, fd, at, buf, size, perRead);
        for (long i = 0; i < n; i++)
            live += studyindex_isLive(buf + (size_t)i * size);
        if (n < perRead)
            break;
    }
    close(fd);
    return live;
}

// The first live image record of a series: 1 found, 0 none.
static int firstImage(const finddataset_index *ix, const std::string &study,
                      const std::string &series, imagerecord *rec)
{
    int fd = openIndex(ix, study.c_str(), series.c_str());
    if (fd < 0)
        return 0;
    int found = 0;
    for (long i = 0; !found && readRecordShared(fd, fd, i, rec, sizeof(*rec)) == 1; i++)
        found = studyindex_isLive(rec);
    close(fd);
    return found;
}

// The value of tag in an image file, in UTF-8; false when the file cannot
// be read or lacks the element. The file is read once, up to its pixel
// data, at the first key that needs it.
static bool fileValue(const finddataset_index *ix, fileValues *f, const DcmTagKey &tag,
                      std::string *out)
{
    if (!f->tried) {
        f->tried = true;
        // An image moved to the object tier keeps its data set up to the
        // pixel data beside its place ("image_I.dcm.head"), so that a query
        // never needs the tier.
        if (access(f->path.c_str(), F_OK) != 0 && errno == ENOENT)
            f->path += ".head";
        OFCondition c = f->file.loadFileUntilTag(f->path, EXS_Unknown, EGL_noChange, 4096,
                                                 ERM_autoDetect, DCM_PixelData);
        if (c.bad()) {
            logprintf(LOGLEVEL_WARNING, ix->log, "query: cannot read %s: %s\n", f->path.c_str(),
                      c.text());
            f->path.clear();
        }
    }
    if (f->path.empty())
        return false;
    DcmDataset *ds = f->file.getDataset();
    DcmElement *e = NULL;
    OFString v;
    // The syntax an image is stored in, asked for by its attribute: the
    // meta header's (also one the toolkit does not know, such as HTJ2K).
    if (tag == DCM_AvailableTransferSyntaxUID && !ds->tagExists(tag)) {
        if (f->file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, v).bad() || v.empty())
            return false;
        out->assign(v.c_str(), v.length());
        return true;
    }
    if (ds->findAndGetElement(tag, e).bad() || !e)
        return false;
    if (e->getOFStringArray(v).bad())
        return false;
    out->assign(v.c_str(), v.length());
    DcmEVR vr = e->getVR();
    bool text = vr == EVR_PN || vr == EVR_LO || vr == EVR_SH || vr == EVR_ST || vr == EVR_LT ||
                vr == EVR_UT || vr == EVR_UC;
    const char *scs = dicomnet_getTagString(ds, DCM_SpecificCharacterSet);
    if (text && scs && hasHighByte(*out)) {
        const char *u = dicomnet_convertSCS(out->c_str(), scs, vr == EVR_PN, "UTF-8");
        if (u)
            out->assign(u);
    }
    return true;
}

// Compiles the keys of a series or image query: every element of the
// identifier but the level, the character set, sequences, private and
// command or meta elements. Text keys are converted to UTF-8.
static void compileLevelKeys(DcmDataset *query, const studyindex_field *fields, size_t nfields,
                             bool seriesLevel, std::vector<levelKey> *keys)
{
    const char *scs = dicomnet_getTagString(query, DCM_SpecificCharacterSet);
    for (unsigned long i = 0; i < query->card(); i++) {
        DcmElement *e = query->getElement(i);
        DcmTagKey tag = e->getTag();
        DcmEVR vr = e->getVR();
        if (tag.getGroup() <= 0x0002 || (tag.getGroup() & 1) || tag == DCM_QueryRetrieveLevel ||
            tag == DCM_SpecificCharacterSet || vr == EVR_SQ)
            continue;
        levelKey k;
        k.tag = tag;
        k.field = NULL;
        k.source = KEY_FILE;
        for (size_t f = 0; f < nfields; f++) {
            if (fields[f].tag == tag) {
                k.source = KEY_RECORD;
                k.field = &fields[f];
            }
        }
        if (seriesLevel && tag == DCM_NumberOfSeriesRelatedInstances)
            k.source = KEY_SERIES_INSTANCES;
        OFString v;
        e->getOFStringArray(v);
        std::string value(v.c_str(), v.length());
        if (scs && hasHighByte(value)) {
            const char *u = dicomnet_convertSCS(value.c_str(), scs, vr == EVR_PN, "UTF-8");
            if (u)
                value = u;
        }
        keymatch_compile(&k.key, querymatch_kindOfVr(DcmVR(vr).getVRName()), value.c_str());
        // Counts are answered, not matched.
        if (k.source == KEY_SERIES_INSTANCES)
            keymatch_compile(&k.key, KEYMATCH_TEXT, NULL);
        keys->push_back(k);
    }
}

// Matches one series or image record against the keys and, when it passes,
// answers every key into resp (created by the caller only then: answers
// are collected first). The record's fields are used where they hold the
// value whole; other keys come from the image file of file.
static bool matchLevelKeys(const finddataset_index *ix, const std::vector<levelKey> &keys,
                           const char *rec, fileValues *file, const std::string &study,
                           const std::string &series, std::vector<std::string> *answers)
{
    answers->clear();
    for (const levelKey &k : keys) {
        std::string value;
        bool fromRecord = false;
        if (k.source == KEY_RECORD) {
            value = fieldString(rec + k.field->offset, k.field->width);
            // A UID field holds every UID whole; another field filled to
            // its width may have been cut, and bytes of 0x80 or more are in
            // the image's character set.
            bool whole = value.size() < k.field->width || k.field->width == STUDYINDEX_KEY_WIDTH;
            fromRecord = whole && !hasHighByte(value);
        }
        if (k.source == KEY_SERIES_INSTANCES) {
            long n = countLive(
                uidtree_indexStem(ix->baseDir, study.c_str(), series.c_str(), ix->log) + ".dat",
                sizeof(imagerecord));
            value = std::to_string(n < 0 ? 0 : n);
        } else if (!fromRecord) {
            if (!fileValue(ix, file, k.tag, &value))
                value.clear();
        }
        if (!keymatch_matches(k.key, value.data(), value.size()))
            return false;
        answers->push_back(value);
    }
    return true;
}

// Puts the collected answers into the response; notes UTF-8 bytes.
static void answerLevelKeys(DcmDataset *resp, const std::vector<levelKey> &keys,
                            const std::vector<std::string> &answers)
{
    bool high = false;
    for (size_t i = 0; i < keys.size(); i++) {
        addKey(resp, keys[i].tag, answers[i].c_str());
        high = high || hasHighByte(answers[i]);
    }
    if (high)
        addKey(resp, DCM_SpecificCharacterSet, "ISO_IR 192");
}

// ---------------------------------------------------------------------------
// Study level.

// Modality codes of two characters: a study record's slot (two characters
// wide) that holds one of these holds it whole. Any other full slot may be
// the start of a longer code (SE of SEG, OP of OPT, SR of SRF, ...) and is
// read back from the study's series.
static bool wholeTwoLetterCode(const char *slot)
{
    static const char codes[] = "AR AS AU BI BM CD CF CP CR CS CT DD DF DG DM DS DX ES FA FS GM "
                                "HC HD IO KO LP LS MA MG MR MS NM OT PR PT PX RF RG TG US VA VF "
                                "XA XC ";
    for (const char *c = codes; *c; c += 3) {
        if (c[0] == slot[0] && c[1] == slot[1])
            return true;
    }
    return false;
}

// The study's modalities, backslash-separated in the order first seen.
static std::string studyModalities(const finddataset_index *ix, const studydata *rec)
{
    std::string list;
    bool exact = true;
    for (int slot = 0; slot < 8 && rec->modalities[slot][0] != '\0'; slot++) {
        std::string code = fieldString(rec->modalities[slot], 2);
        if (code.size() == 2 && !wholeTwoLetterCode(rec->modalities[slot]))
            exact = false;
        list += (list.empty() ? "" : "\\") + code;
    }
    if (exact)
        return list;
    // Read the codes back from the series index, and the code of a series
    // whose field may be cut from its first image.
    std::string study = fieldString(rec->studyInstanceUid, sizeof(rec->studyInstanceUid));
    int fd = openIndex(ix, study.c_str(), NULL);
    if (fd < 0)
        return list;
    std::vector<std::string> codes;
    seriesrecord srec;
    for (long i = 0; readRecordShared(fd, fd, i, &srec, sizeof(srec)) == 1; i++) {
        if (!studyindex_isLive(&srec))
            continue;
        std::string code = fieldString(srec.modality, sizeof(srec.modality));
        if (code.size() == 2 && !wholeTwoLetterCode(srec.modality)) {
            std::string series =
                fieldString(srec.seriesInstanceUid, sizeof(srec.seriesInstanceUid));
            imagerecord irec;
            if (firstImage(ix, study, series, &irec)) {
                fileValues f;
                f.path = uidtree_path(ix->baseDir, study.c_str(), series.c_str(),
                                      fieldString(irec.sopInstanceUid, 64).c_str(), ix->log);
                std::string full;
                if (fileValue(ix, &f, DCM_Modality, &full) && !full.empty())
                    code = full;
            }
        }
        bool seen = false;
        for (const std::string &c : codes)
            seen = seen || c == code;
        if (!seen && !code.empty())
            codes.push_back(code);
    }
    close(fd);
    list.clear();
    for (const std::string &c : codes)
        list += (list.empty() ? "" : "\\") + c;
    return list;
}

// Number of series and of images of a study.
static void studyCounts(const finddataset_index *ix, const std::string &study, long *series,
                        long *images)
{
    *series = 0;
    *images = 0;
    int fd = openIndex(ix, study.c_str(), NULL);
    if (fd < 0)
        return;
    seriesrecord srec;
    for (long i = 0; readRecordShared(fd, fd, i, &srec, sizeof(srec)) == 1; i++) {
        if (!studyindex_isLive(&srec))
            continue;
        (*series)++;
        std::string uid = fieldString(srec.seriesInstanceUid, sizeof(srec.seriesInstanceUid));
        long n =
            countLive(uidtree_indexStem(ix->baseDir, study.c_str(), uid.c_str(), ix->log) + ".dat",
                      sizeof(imagerecord));
        if (n > 0)
            *images += n;
    }
    close(fd);
}

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

static void studyResponse(const finddataset_index *ix, DcmDataset *query, DcmDataset **result,
                          const char *levelText, int cursor, const studydata *rec,
                          const std::string &modalities)
{
    DcmDataset *resp = startResponse(result, levelText);
    logprintf(LOGLEVEL_DEBUG, ix->log, "entry %d data matches, responding\n", cursor);
    bool high = false;
    for (const studyAnswer &a : studyAnswers) {
        if (query->tagExists(a.tag)) {
            std::string text = fieldString((const char *)rec + a.offset, a.width);
            high = high || hasHighByte(text);
            addKey(resp, a.tag, text.c_str());
        }
    }
    if (query->tagExists(DCM_ModalitiesInStudy))
        addKey(resp, DCM_ModalitiesInStudy, modalities.c_str());
    if (query->tagExists(DCM_NumberOfStudyRelatedSeries) ||
        query->tagExists(DCM_NumberOfStudyRelatedInstances)) {
        long series, images;
        studyCounts(ix, fieldString(rec->studyInstanceUid, sizeof(rec->studyInstanceUid)), &series,
                    &images);
        if (query->tagExists(DCM_NumberOfStudyRelatedSeries))
            addKey(resp, DCM_NumberOfStudyRelatedSeries, std::to_string(series).c_str());
        if (query->tagExists(DCM_NumberOfStudyRelatedInstances))
            addKey(resp, DCM_NumberOfStudyRelatedInstances, std::to_string(images).c_str());
    }
    // The index keeps its texts in UTF-8.
    if (high)
        addKey(resp, DCM_SpecificCharacterSet, "ISO_IR 192");
}

// True when study i of the table may match: its key digests (when the
// table has them) and its summary do not rule it out.
static bool studyCandidate(const findStudyHandle *h, const studytable *table, int32_t i)
{
    if (studykeys_any(h->keys) && studytable_keysUsable(table) &&
        !studykeys_mayMatch(table->keys.records[(size_t)i], h->keys))
        return false;
    return querymatch_summaryPasses(&table->studyTable[i], &h->q.th);
}

// Data record c of a study that passed the summary test: a pointer to it
// (in the handle's window or in *buf), or null when it is not in the file or
// cannot be read. When enough of the studies just below c pass as well
// (the next calls will want them), c and the records below it are read
// together into the window; a selective query reads its few records one by
// one.
static const studydata *readStudyRecord(findStudyHandle *h, const studytable *table, int32_t c,
                                        studydata *buf)
{
    if (h->window && c >= h->windowLow && c < h->windowLow + h->windowCount)
        return &h->window[c - h->windowLow];
    int32_t low = c >= STUDY_WINDOW - 1 ? c - (STUDY_WINDOW - 1) : 0;
    int more = 0;
    for (int32_t i = c - 1; i >= low && more < STUDY_WINDOW_WORTH - 1; i--)
        more += studyCandidate(h, table, i);
    if (more >= STUDY_WINDOW_WORTH - 1 && !h->window)
        h->window = (studydata *)malloc(STUDY_WINDOW * sizeof(studydata));
    if (more < STUDY_WINDOW_WORTH - 1 || !h->window)
        return readRecordShared(h->hashFd, h->dataFd, c, buf, sizeof(*buf)) == 1 ? buf : NULL;
    long n =
        readRecordsShared(h->hashFd, h->dataFd, low, h->window, sizeof(studydata), c - low + 1);
    h->windowLow = low;
    h->windowCount = n < 0 ? 0 : (int32_t)n;
    if (c >= low + h->windowCount)
        return NULL;
    return &h->window[c - low];
}

// What the query's Patient ID and Patient's Name keys ask of the digests.
static void keyDigests(findStudyHandle *h)
{
    const keymatch_key *id = NULL, *name = NULL;
    for (const querymatch_studyKey &k : h->q.keys) {
        if (k.offset == offsetof(studydata, patientId))
            id = &k.key;
        else if (k.offset == offsetof(studydata, patientName))
            name = &k.key;
    }
    h->keys = studykeys_compile(id, name);
}

// The next study below h->cursor that matches the query: its data record
// (valid until the next call; in the handle's window or in *buf), with the
// study's modalities in *modalities when the query needs them; null when no
// study is left.
static const studydata *nextStudyMatch(const finddataset_index *ix, findStudyHandle *h,
                                       DcmDataset *query, studydata *buf, std::string *modalities)
{
    const studytable *table = ix->table;
    int debug = (logprintf_getmask() & LOGLEVEL_DEBUG) != 0;
    bool wantModalities = query->tagExists(DCM_ModalitiesInStudy);
    bool digests = studykeys_any(h->keys) && studytable_keysUsable(table);
    for (;;) {
        // The table only grows while a worker runs; should it have been
        // reloaded smaller, go on from its end.
        if (h->cursor > table->studyCount)
            h->cursor = table->studyCount;
        h->cursor--;
        if (h->cursor < 0)
            return NULL;
        if (!debug) {
            // Untraced, the cheapest tests run in a tight loop: the UID's
            // CRC or the digests rule out nearly every study of a selective
            // query (a million in a few ms).
            int32_t c = h->cursor;
            uint32_t crc = h->q.th.studyUidCrc;
            while (c >= 0 &&
                   ((crc != 0 && table->studyTable[c].studyUidCrc != crc) ||
                    (digests && !studykeys_mayMatch(table->keys.records[(size_t)c], h->keys))))
                c--;
            h->cursor = c;
            if (c < 0)
                return NULL;
        }
        if (debug)
            logprintf(LOGLEVEL_DEBUG, ix->log, "checking entry %d\n", h->cursor);
        // The digests first: 16 bytes per study rule out all but the
        // studies of one ID or name (or name start).
        if (digests && !studykeys_mayMatch(table->keys.records[(size_t)h->cursor], h->keys))
            continue;
        if (querymatch_summaryTest(&table->studyTable[h->cursor], &h->q.th, ix->log) != 0)
            continue;
        logprintf(LOGLEVEL_DEBUG, ix->log, "entry %d hash matches\n", h->cursor);
        const studydata *rec = readStudyRecord(h, table, h->cursor, buf);
        if (!rec || !studyindex_isLive(rec) || !querymatch_studyRecord(rec, &h->q))
            continue;
        modalities->clear();
        if (wantModalities || !h->q.modalities.universal || !h->q.modality.universal) {
            *modalities = studyModalities(ix, rec);
            if (!keymatch_matches(h->q.modalities, modalities->data(), modalities->size()) ||
                !keymatch_matches(h->q.modality, modalities->data(), modalities->size()))
                continue;
        }
        return rec;
    }
}

// A patient is known by the ID; without one, by the name.
static std::string patientOf(const studydata *rec)
{
    std::string id = fieldString(rec->patientId, sizeof(rec->patientId));
    return id.empty() ? "\n" + fieldString(rec->patientName, sizeof(rec->patientName)) : id;
}

// Collects the matching studies of every patient (h->patients).
static void collectPatients(const finddataset_index *ix, findStudyHandle *h, DcmDataset *query)
{
    std::map<std::string, size_t> seen;
    studydata buf;
    std::string modalities;
    for (const studydata *rec; (rec = nextStudyMatch(ix, h, query, &buf, &modalities));) {
        auto at = seen.emplace(patientOf(rec), h->patients.size());
        if (at.second)
            h->patients.emplace_back();
        h->patients[at.first->second].push_back(h->cursor);
    }
    h->collected = true;
}

// Answers the next collected patient: its newest study's keys and the
// patient's related counts. 0 answered, 1 none left.
static int answerPatient(const finddataset_index *ix, findStudyHandle *h, DcmDataset *query,
                         DcmDataset **result, const char *levelText)
{
    while (h->patientAt < h->patients.size()) {
        const std::vector<int32_t> &studies = h->patients[h->patientAt++];
        studydata rec;
        if (readRecordShared(h->hashFd, h->dataFd, studies[0], &rec, sizeof(rec)) != 1 ||
            !studyindex_isLive(&rec))
            continue;
        std::string modalities;
        if (query->tagExists(DCM_ModalitiesInStudy))
            modalities = studyModalities(ix, &rec);
        studyResponse(ix, query, result, levelText, studies[0], &rec, modalities);
        long series = 0, images = 0;
        if (query->tagExists(DCM_NumberOfPatientRelatedSeries) ||
            query->tagExists(DCM_NumberOfPatientRelatedInstances)) {
            for (int32_t c : studies) {
                studydata other;
                long s = 0, i = 0;
                if (readRecordShared(h->hashFd, h->dataFd, c, &other, sizeof(other)) == 1)
                    studyCounts(ix, fieldString(other.studyInstanceUid, 64), &s, &i);
                series += s;
                images += i;
            }
        }
        if (query->tagExists(DCM_NumberOfPatientRelatedStudies))
            addKey(*result, DCM_NumberOfPatientRelatedStudies,
                   std::to_string(studies.size()).c_str());
        if (query->tagExists(DCM_NumberOfPatientRelatedSeries))
            addKey(*result, DCM_NumberOfPatientRelatedSeries, std::to_string(series).c_str());
        if (query->tagExists(DCM_NumberOfPatientRelatedInstances))
            addKey(*result, DCM_NumberOfPatientRelatedInstances, std::to_string(images).c_str());
        return 0;
    }
    return 1;
}

static int findStudyLevel(const finddataset_index *ix, void **handle, DcmDataset *query,
                          DcmDataset **result, const char *levelText, int flags)
{
    if (!*handle) {
        findStudyHandle *h = new findStudyHandle;
        h->cursor = ix->table->studyCount;
        h->patientLevel = strcmp(levelText, "PATIENT") == 0;
        // The counts of a patient's studies need all of them: they are
        // collected first. (The patient-level keys are the same in every
        // study of a patient, so the studies that match are all of them.)
        h->patientCounts =
            h->patientLevel && (query->tagExists(DCM_NumberOfPatientRelatedStudies) ||
                                query->tagExists(DCM_NumberOfPatientRelatedSeries) ||
                                query->tagExists(DCM_NumberOfPatientRelatedInstances));
        int qflags = (flags & FINDDATASET_COMBINED_DATETIME) ? QUERYMATCH_COMBINED_DATETIME : 0;
        querymatch_compileStudy(query, &h->q, qflags, ix->log);
        keyDigests(h);
        OFString stem = uidtree_indexStem(ix->baseDir, NULL, NULL, ix->log);
        *handle = h;
        h->dataFd = open((stem + ".dat").c_str(), O_RDONLY | O_CLOEXEC);
        if (h->dataFd < 0) {
            // A store that has never held a study has no index yet: that
            // is an empty answer, not a failure.
            return errno == ENOENT && ix->table->studyCount == 0 ? 1 : -1;
        }
        h->hashFd = open((stem + ".hash").c_str(), O_RDONLY | O_CLOEXEC);
    }
    findStudyHandle *h = (findStudyHandle *)*handle;
    if (h->kind != FIND_STUDY_HANDLE)
        abort();

    if (h->patientCounts) {
        if (!h->collected)
            collectPatients(ix, h, query);
        return answerPatient(ix, h, query, result, levelText);
    }
    studydata buf;
    std::string modalities;
    for (;;) {
        const studydata *rec = nextStudyMatch(ix, h, query, &buf, &modalities);
        if (!rec)
            return 1;
        if (h->patientLevel && !h->patientsAnswered.insert(patientOf(rec)).second)
            continue;
        studyResponse(ix, query, result, levelText, h->cursor, rec, modalities);
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Series level.

// Opens the series index of the next study named: 1 open, 0 none left, -1
// the only study named has no series index.
static int nextStudySeries(const finddataset_index *ix, std::vector<std::string> &studies,
                           size_t *at, int *fd, long *next)
{
    while (*at < studies.size()) {
        const std::string &study = studies[(*at)++];
        *fd = openIndex(ix, study.c_str(), NULL);
        *next = 0;
        if (*fd >= 0)
            return 1;
        // One study named: its missing index is an error as it always was;
        // of a list, a study that is not here simply matches nothing.
        if (studies.size() == 1)
            return -1;
    }
    return 0;
}

static int findSeriesLevel(const finddataset_index *ix, void **handle, DcmDataset *query,
                           DcmDataset **result, const char *levelText)
{
    if (!*handle) {
        const char *study = dicomnet_getTagString(query, DCM_StudyInstanceUID);
        std::vector<std::string> studies = uidList(study);
        if (studies.empty()) {
            logprintf(LOGLEVEL_ERROR, ix->log,
                      "SERIES level query without STUDY UID unsupported.\n");
            return -1;
        }
        findSeriesHandle *h = new findSeriesHandle;
        *handle = h;
        h->studies = studies;
        compileLevelKeys(query, studyindex_seriesFields, STUDYINDEX_SERIES_FIELDS, true, &h->keys);
    }
    findSeriesHandle *h = (findSeriesHandle *)*handle;
    if (h->kind != FIND_SERIES_HANDLE)
        abort();

    std::vector<std::string> answers;
    for (;;) {
        if (h->seriesFd < 0) {
            int r = nextStudySeries(ix, h->studies, &h->studyAt, &h->seriesFd, &h->next);
            if (r <= 0)
                return r < 0 ? -1 : 1;
        }
        seriesrecord rec;
        if (readRecordShared(h->seriesFd, h->seriesFd, h->next, &rec, sizeof(rec)) != 1) {
            closeIfOpen(&h->seriesFd);
            continue;
        }
        h->next++;
        if (!studyindex_isLive(&rec))
            continue;
        std::string study = fieldString(rec.studyInstanceUid, sizeof(rec.studyInstanceUid));
        std::string series = fieldString(rec.seriesInstanceUid, sizeof(rec.seriesInstanceUid));
        // The series' attributes that the record lacks are read from its
        // first image.
        fileValues file;
        imagerecord first;
        if (firstImage(ix, study, series, &first))
            file.path = uidtree_path(ix->baseDir, study.c_str(), series.c_str(),
                                     fieldString(first.sopInstanceUid, 64).c_str(), ix->log);
        else
            file.tried = true;
        if (!matchLevelKeys(ix, h->keys, (const char *)&rec, &file, study, series, &answers))
            continue;
        DcmDataset *resp = startResponse(result, levelText);
        logprintf(LOGLEVEL_DEBUG, ix->log, "series entry matches, responding\n");
        answerLevelKeys(resp, h->keys, answers);
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Image level.

// Starts the image response: the level, and the three UIDs when the caller
// forced the level. The image keys follow.
static DcmDataset *imageResponse(const finddataset_index *ix, DcmDataset **result,
                                 const char *levelText, int levelGiven, const imagerecord *rec)
{
    DcmDataset *resp = startResponse(result, levelText);
    std::string sop = fieldString(rec->sopInstanceUid, sizeof(rec->sopInstanceUid));
    std::string series = fieldString(rec->seriesInstanceUid, sizeof(rec->seriesInstanceUid));
    std::string study = fieldString(rec->studyInstanceUid, sizeof(rec->studyInstanceUid));
    // A retrieve (level forced by the caller) needs the three UIDs to find
    // the file, whatever its identifier asked for.
    if (levelGiven) {
        addKey(resp, DCM_SOPInstanceUID, sop.c_str());
        addKey(resp, DCM_SeriesInstanceUID, series.c_str());
        addKey(resp, DCM_StudyInstanceUID, study.c_str());
    }
    logprintf(LOGLEVEL_DEBUG, ix->log, "image entry matches, responding %s/%s/%s\n", study.c_str(),
              series.c_str(), sop.c_str());
    return resp;
}

// Opens the image index of the next series to read: 1 open, 0 none left,
// -1 an index that should be there cannot be opened.
static int nextImageIndex(const finddataset_index *ix, findImageHandle *h)
{
    for (;;) {
        if (!h->inStudy) {
            if (h->studyAt >= h->studies.size())
                return 0;
            h->study = h->studies[h->studyAt++];
            h->inStudy = true;
            h->namedSeriesDone = false;
            if (h->namedSeries.empty()) {
                h->seriesFd = openIndex(ix, h->study.c_str(), NULL);
                h->seriesNext = 0;
                if (h->seriesFd < 0) {
                    // One study named: its missing index is an error as it
                    // always was; of a list, a study that is not here
                    // simply matches nothing.
                    h->inStudy = false;
                    if (h->studies.size() == 1)
                        return -1;
                    continue;
                }
            }
        }
        if (!h->namedSeries.empty()) {
            if (h->namedSeriesDone) {
                h->inStudy = false;
                continue;
            }
            h->namedSeriesDone = true;
            h->series = h->namedSeries;
            h->imageFd = openIndex(ix, h->study.c_str(), h->series.c_str());
            h->imageNext = 0;
            if (h->imageFd >= 0)
                return 1;
            if (h->studies.size() == 1)
                return -1;
            continue;
        }
        seriesrecord srec;
        if (readRecordShared(h->seriesFd, h->seriesFd, h->seriesNext, &srec, sizeof(srec)) != 1) {
            closeIfOpen(&h->seriesFd);
            h->inStudy = false;
            continue;
        }
        h->seriesNext++;
        if (!studyindex_isLive(&srec))
            continue;
        h->series = fieldString(srec.seriesInstanceUid, sizeof(srec.seriesInstanceUid));
        if (!keymatch_matches(h->seriesKey, h->series.data(), h->series.size()))
            continue;
        h->imageFd = openIndex(ix, h->study.c_str(), h->series.c_str());
        h->imageNext = 0;
        if (h->imageFd >= 0)
            return 1;
        if (errno == ENOENT) {
            // A series listed without an image index holds no image (a
            // store that failed while a delete took the series away leaves
            // one). Ending here would drop the images of every later series
            // from a retrieve that still reports success.
            logprintf(LOGLEVEL_WARNING, ix->log,
                      "IMAGE level query: series %s has no image index - skipped.\n",
                      h->series.c_str());
            continue;
        }
        return -1;
    }
}

static int findImageLevel(const finddataset_index *ix, void **handle, DcmDataset *query,
                          DcmDataset **result, const char *levelText, int levelGiven)
{
    if (!*handle) {
        std::vector<std::string> studies =
            uidList(dicomnet_getTagString(query, DCM_StudyInstanceUID));
        if (studies.empty()) {
            logprintf(LOGLEVEL_ERROR, ix->log,
                      "IMAGE level query without STUDY UID unsupported.\n");
            return -1;
        }
        findImageHandle *h = new findImageHandle;
        *handle = h;
        h->studies = studies;
        const char *seriesUid = dicomnet_getTagString(query, DCM_SeriesInstanceUID);
        keymatch_compile(&h->seriesKey, KEYMATCH_UID, seriesUid);
        if (h->seriesKey.list.size() == 1 && !h->seriesKey.list[0].empty())
            h->namedSeries = h->seriesKey.list[0];
        else
            logprintf(LOGLEVEL_DEBUG, ix->log,
                      "IMAGE level query without SERIES UID - enumerating.\n");
        compileLevelKeys(query, studyindex_imageFields, STUDYINDEX_IMAGE_FIELDS, false, &h->keys);
    }
    findImageHandle *h = (findImageHandle *)*handle;
    if (h->kind != FIND_IMAGE_HANDLE)
        abort();

    std::vector<std::string> answers;
    for (;;) {
        if (h->imageFd < 0) {
            int r = nextImageIndex(ix, h);
            if (r <= 0)
                return r < 0 ? -1 : 1;
        }
        imagerecord rec;
        if (readRecordShared(h->imageFd, h->imageFd, h->imageNext, &rec, sizeof(rec)) != 1) {
            closeIfOpen(&h->imageFd);
            continue;
        }
        h->imageNext++;
        if (!studyindex_isLive(&rec))
            continue;
        std::string study = fieldString(rec.studyInstanceUid, sizeof(rec.studyInstanceUid));
        fileValues file;
        file.path = uidtree_path(
            ix->baseDir, study.c_str(), h->series.c_str(),
            fieldString(rec.sopInstanceUid, sizeof(rec.sopInstanceUid)).c_str(), ix->log);
        if (!matchLevelKeys(ix, h->keys, (const char *)&rec, &file, study, h->series, &answers))
            continue;
        answerLevelKeys(imageResponse(ix, result, levelText, levelGiven, &rec), h->keys, answers);
        return 0;
    }
}

// ---------------------------------------------------------------------------

int finddataset_next(const finddataset_index *ix, void **handle, DcmDataset *query,
                     DcmDataset **result, const char *level, int flags)
{
    if (!result || !query)
        return 1;
    const char *levelText = level;
    if (!levelText)
        levelText = dicomnet_getTagString(query, DCM_QueryRetrieveLevel);
    if (!levelText)
        levelText = "";

    int r;
    if (strcmp(levelText, "PATIENT") == 0 || strcmp(levelText, "STUDY") == 0) {
        r = findStudyLevel(ix, handle, query, result, levelText, flags);
    } else if (strcmp(levelText, "SERIES") == 0) {
        r = findSeriesLevel(ix, handle, query, result, levelText);
    } else if (strcmp(levelText, "IMAGE") == 0) {
        r = findImageLevel(ix, handle, query, result, levelText, level != NULL);
    } else {
        logprintf(LOGLEVEL_ERROR, ix->log, "AIEE - QRL %s is not STUDY, SERIES or IMAGE\n",
                  levelText);
        return 1;
    }
    // Every end of an iteration, found or failed, comes here.
    if (r != 0)
        freeFindHandle(handle);
    return r;
}

void finddataset_end(void **handle)
{
    freeFindHandle(handle);
}
