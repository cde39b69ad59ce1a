// Study index records: summaries (text bits, date numbers, modality bits,
// UID CRC), field helpers, the series and image field lists, whole-record
// I/O, and studyindex_makeRecords, which fills or merges the two study
// records from a dataset.
#include "index/studyindex.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dicomnet/dicomnet.h"
#include "runtime/runtime.h"

off_t studyindex_offset(long index, size_t recordSize)
{
    if (index < 0)
        abort();
    return (off_t)index * (off_t)recordSize;
}

uint32_t studyindex_textBits(const char *text)
{
    uint32_t bits = 0;
    if (text == nullptr)
        return 0;
    for (const unsigned char *p = (const unsigned char *)text; *p != 0; p++) {
        unsigned char c = *p;
        if (c >= 'a' && c <= 'z')
            bits |= 1u << (c - 'a' + 1);
        else if (c >= 'A' && c <= 'Z')
            bits |= 1u << (c - 'A' + 1);
        else if (c >= '0' && c <= '9')
            bits |= 0x40000000u;
        else if (strchr("!(),-./:;[]{}", c) != nullptr)
            bits |= 0x20000000u;
    }
    return bits;
}

uint32_t studyindex_dateNumber(const char *date)
{
    if (date == nullptr || strlen(date) != 8)
        return 0;
    return (uint32_t)strtol(date, nullptr, 10);
}

uint32_t studyindex_modalityBit(const char *code)
{
    static const struct {
        const char *code;
        uint32_t bit;
    } table[] = {
        {"CT", MODALITY_CT}, {"MR", MODALITY_MR}, {"PT", MODALITY_PT}, {"ST", MODALITY_ST},
        {"CR", MODALITY_CR}, {"NM", MODALITY_NM}, {"US", MODALITY_US}, {"RG", MODALITY_RG},
        {"XA", MODALITY_XA}, {"OT", MODALITY_OT},
    };
    if (code == nullptr)
        return 0;
    for (const auto &entry : table)
        if (strcmp(code, entry.code) == 0)
            return entry.bit;
    return 0;
}

uint32_t studyindex_uidCrc(const char *uid)
{
    return crc32_string(uid);
}

void studyindex_setField(char *field, size_t width, const char *value)
{
    if (value == nullptr)
        return;
    size_t i = 0;
    for (; i < width && value[i] != 0; i++)
        field[i] = value[i];
    for (; i < width; i++)
        field[i] = 0;
}

int studyindex_keyEquals(const char *keyField, const char *uid)
{
    return uid != nullptr && strncmp(keyField, uid, STUDYINDEX_KEY_WIDTH) == 0;
}

int studyindex_isLive(const void *record)
{
    return *(const unsigned char *)record != 0;
}

#define SERIES_FIELD(tag, member)                                                                  \
    {                                                                                              \
        tag, offsetof(seriesrecord, member), sizeof(((seriesrecord *)nullptr)->member)             \
    }
const studyindex_field studyindex_seriesFields[STUDYINDEX_SERIES_FIELDS] = {
    SERIES_FIELD(DCM_SeriesInstanceUID, seriesInstanceUid),
    SERIES_FIELD(DCM_StudyInstanceUID, studyInstanceUid),
    SERIES_FIELD(DCM_SeriesDescription, seriesDescription),
    SERIES_FIELD(DCM_ProtocolName, protocolName),
    SERIES_FIELD(DCM_SeriesDate, seriesDate),
    SERIES_FIELD(DCM_SeriesTime, seriesTime),
    SERIES_FIELD(DCM_SeriesNumber, seriesNumber),
    SERIES_FIELD(DCM_BodyPartExamined, bodyPartExamined),
    SERIES_FIELD(DCM_PatientPosition, patientPosition),
    SERIES_FIELD(DCM_Modality, modality),
};

#define IMAGE_FIELD(tag, member)                                                                   \
    {                                                                                              \
        tag, offsetof(imagerecord, member), sizeof(((imagerecord *)nullptr)->member)               \
    }
const studyindex_field studyindex_imageFields[STUDYINDEX_IMAGE_FIELDS] = {
    IMAGE_FIELD(DCM_SOPInstanceUID, sopInstanceUid),
    IMAGE_FIELD(DCM_SeriesInstanceUID, seriesInstanceUid),
    IMAGE_FIELD(DCM_StudyInstanceUID, studyInstanceUid),
    IMAGE_FIELD(DCM_ImageType, imageType),
    IMAGE_FIELD(DCM_ImageComments, imageComments),
    IMAGE_FIELD(DCM_PatientOrientation, patientOrientation),
    IMAGE_FIELD(DCM_SliceLocation, sliceLocation),
    IMAGE_FIELD(DCM_ImagePositionPatient, imagePosition),
    IMAGE_FIELD(DCM_ImageOrientationPatient, imageOrientation),
    IMAGE_FIELD(DCM_AcquisitionNumber, acquisitionNumber),
    IMAGE_FIELD(DCM_InstanceNumber, instanceNumber),
    IMAGE_FIELD(DCM_ImagesInAcquisition, imagesInAcquisition),
    IMAGE_FIELD(DCM_AcquisitionDate, acquisitionDate),
    IMAGE_FIELD(DCM_AcquisitionTime, acquisitionTime),
};

int studyindex_readRecord(int fd, long index, void *record, size_t recordSize)
{
    ssize_t n = fullio_pread(fd, record, recordSize, studyindex_offset(index, recordSize));
    if (n < 0)
        return -1;
    return (size_t)n == recordSize ? 1 : 0;
}

int studyindex_writeRecord(int fd, long index, const void *record, size_t recordSize)
{
    off_t offset = studyindex_offset(index, recordSize);
    struct stat st;
    if (fullio_pwrite(fd, record, recordSize, offset) == (ssize_t)recordSize)
        return 0;
    // A failed append (disk full, file size limit) may have written part of
    // the record; cut the file back so that no torn record stays at its end.
    // A file that now ends inside this record was appended to (a rewrite in
    // place leaves the length at or beyond the record's end, and cannot be
    // undone here).
    int saved = errno;
    if (fstat(fd, &st) == 0 && st.st_size > offset && st.st_size < offset + (off_t)recordSize) {
        if (ftruncate(fd, offset) != 0) {
            /* the caller reports the failed write; errno of the write wins */
        }
    }
    errno = saved;
    return -1;
}

// Reads one element of the dataset as text (null when absent or empty).
static const char *getTag(const DcmDataset *ds, const DcmTagKey &tag)
{
    // The toolkit's lookups are not const although they do not change the
    // dataset.
    return dicomnet_getTagString(const_cast<DcmDataset *>(ds), tag);
}

// Fills the fields of a record from ds by a field list.
static void fillRecord(const DcmDataset *ds, const studyindex_field *fields, int count,
                       char *record)
{
    for (int i = 0; i < count; i++)
        studyindex_setField(record + fields[i].offset, fields[i].width, getTag(ds, fields[i].tag));
}

void studyindex_makeSeries(const DcmDataset *ds, seriesrecord *record)
{
    memset(record, 0, sizeof(*record));
    fillRecord(ds, studyindex_seriesFields, STUDYINDEX_SERIES_FIELDS, (char *)record);
}

void studyindex_makeImage(const DcmDataset *ds, imagerecord *record)
{
    memset(record, 0, sizeof(*record));
    fillRecord(ds, studyindex_imageFields, STUDYINDEX_IMAGE_FIELDS, (char *)record);
}

// One text field of the study data record, optionally converted to UTF-8
// and summarised. Returns the value that was stored (null: field unchanged).
static const char *makeField(FILE *log, const DcmDataset *ds, const DcmTagKey &tag, const char *scs,
                             int personName, char *field, size_t width)
{
    const char *value = getTag(ds, tag);
    if (value == nullptr)
        return nullptr;
    logprintf(LOGLEVEL_TRACE2, log, "Translate-in : %s\n", value);
    if (scs != nullptr) {
        value = dicomnet_convertSCS(value, scs, personName, "UTF-8");
        if (value == nullptr)
            return nullptr;
        // The value is kept whatever could not be decoded; say so, without
        // the peer's text.
        if (dicomnet_convertSCS_lossy())
            logprintf(LOGLEVEL_WARNING, log,
                      "(%04x,%04x): not all of the value decodes in its character set; kept "
                      "undecoded bytes as ISO 8859-1.\n",
                      tag.getGroup(), tag.getElement());
        logprintf(LOGLEVEL_TRACE2, log, "Translate-out: %s\n", value);
    }
    studyindex_setField(field, width, value);
    return value;
}

void studyindex_makeRecords(const DcmDataset *ds, studyhash *hash, studydata *data, FILE *log)
{
    const char *scs = getTag(ds, DCM_SpecificCharacterSet);
    const char *value;

    value = getTag(ds, DCM_StudyInstanceUID);
    if (value != nullptr) {
        if (data != nullptr) {
            logprintf(LOGLEVEL_TRACE2, log, "Translate-in : %s\n", value);
            studyindex_setField(data->studyInstanceUid, sizeof data->studyInstanceUid, value);
        }
        if (hash != nullptr)
            hash->studyUidCrc = studyindex_uidCrc(value);
    }

    // The summarised names: with a data record, the summary is taken of the
    // value as stored (converted); the conversion result is a buffer that the
    // next conversion overwrites, so it is summarised before that.
    struct Summarised {
        DcmTagKey tag;
        int personName;
        size_t offset;
        size_t width;
        uint32_t studyhash::*bits;
    };
    struct Plain {
        DcmTagKey tag;
        size_t offset;
        size_t width;
    };
    const Summarised patientName = {DCM_PatientName, 1, offsetof(studydata, patientName), 64,
                                    &studyhash::patientNameBits};
    const Summarised description = {DCM_StudyDescription, 0, offsetof(studydata, studyDescription),
                                    64, &studyhash::studyDescriptionBits};
    const Summarised physician = {DCM_ReferringPhysicianName, 1,
                                  offsetof(studydata, referringPhysician), 64,
                                  &studyhash::referringPhysicianBits};
    auto summarised = [&](const Summarised &f) {
        const char *v;
        if (data != nullptr) {
            v = makeField(log, ds, f.tag, scs, f.personName, (char *)data + f.offset, f.width);
        } else {
            v = getTag(ds, f.tag);
        }
        if (v != nullptr && hash != nullptr)
            hash->*f.bits = studyindex_textBits(v);
    };
    auto converted = [&](const Plain &f) {
        if (data != nullptr)
            makeField(log, ds, f.tag, scs, 0, (char *)data + f.offset, f.width);
    };
    auto asGiven = [&](const Plain &f) -> const char * {
        const char *v = getTag(ds, f.tag);
        if (v != nullptr && data != nullptr) {
            logprintf(LOGLEVEL_TRACE2, log, "Translate-in : %s\n", v);
            studyindex_setField((char *)data + f.offset, f.width, v);
        }
        return v;
    };

    summarised(patientName);
    converted({DCM_PatientID, offsetof(studydata, patientId), 64});
    value = asGiven({DCM_PatientBirthDate, offsetof(studydata, birthDate), 8});
    if (value != nullptr && hash != nullptr)
        hash->birthDate = studyindex_dateNumber(value);
    asGiven({DCM_PatientSex, offsetof(studydata, patientSex), 2});
    value = asGiven({DCM_StudyDate, offsetof(studydata, studyDate), 8});
    if (value != nullptr && hash != nullptr)
        hash->studyDate = studyindex_dateNumber(value);
    asGiven({DCM_StudyTime, offsetof(studydata, studyTime), 6});
    summarised(description);
    converted({DCM_StudyID, offsetof(studydata, studyId), 16});
    converted({DCM_AccessionNumber, offsetof(studydata, accessionNumber), 16});
    summarised(physician);
    converted({DCM_ReferringPhysicianAddress, offsetof(studydata, referringPhysicianAddress), 64});
    converted({DCM_ClinicalTrialSponsorName, offsetof(studydata, clinicalTrialSponsorName), 16});
    converted({DCM_ClinicalTrialProtocolName, offsetof(studydata, clinicalTrialProtocolName), 16});
    converted({DCM_ClinicalTrialSiteName, offsetof(studydata, clinicalTrialSiteName), 24});

    DcmDataset *mds = const_cast<DcmDataset *>(ds);
    if (mds->tagExists(DCM_ModalitiesInStudy))
        logprintf(LOGLEVEL_WARNING, log, "Huh? ModalitiesInStudy entry present?\n");

    value = getTag(ds, DCM_Modality);
    if (value == nullptr)
        return;
    if (data != nullptr) {
        for (int slot = 0; slot < 8; slot++) {
            char *s = data->modalities[slot];
            if (s[0] == 0) {
                strncpy(s, value, 2);
                break;
            }
            if (strncmp(s, value, 2) == 0)
                break;
        }
    }
    if (hash != nullptr)
        hash->modalityBits |= studyindex_modalityBit(value);
}

void studyindex_clearEmptied(const DcmDataset *ds, studyhash *hash, studydata *data)
{
    static const struct {
        DcmTagKey tag;
        size_t offset, width;
        uint32_t studyhash::*summary; // or null
    } fields[] = {
        {DCM_PatientName, offsetof(studydata, patientName), 64, &studyhash::patientNameBits},
        {DCM_PatientID, offsetof(studydata, patientId), 64, nullptr},
        {DCM_PatientBirthDate, offsetof(studydata, birthDate), 8, &studyhash::birthDate},
        {DCM_PatientSex, offsetof(studydata, patientSex), 2, nullptr},
        {DCM_StudyDate, offsetof(studydata, studyDate), 8, &studyhash::studyDate},
        {DCM_StudyTime, offsetof(studydata, studyTime), 6, nullptr},
        {DCM_StudyDescription, offsetof(studydata, studyDescription), 64,
         &studyhash::studyDescriptionBits},
        {DCM_StudyID, offsetof(studydata, studyId), 16, nullptr},
        {DCM_AccessionNumber, offsetof(studydata, accessionNumber), 16, nullptr},
        {DCM_ReferringPhysicianName, offsetof(studydata, referringPhysician), 64,
         &studyhash::referringPhysicianBits},
        {DCM_ReferringPhysicianAddress, offsetof(studydata, referringPhysicianAddress), 64,
         nullptr},
        {DCM_ClinicalTrialSponsorName, offsetof(studydata, clinicalTrialSponsorName), 16, nullptr},
        {DCM_ClinicalTrialProtocolName, offsetof(studydata, clinicalTrialProtocolName), 16,
         nullptr},
        {DCM_ClinicalTrialSiteName, offsetof(studydata, clinicalTrialSiteName), 24, nullptr},
    };
    DcmDataset *mds = const_cast<DcmDataset *>(ds);
    for (const auto &f : fields) {
        if (!mds->tagExists(f.tag) || getTag(ds, f.tag) != nullptr)
            continue;
        memset((char *)data + f.offset, 0, f.width);
        // The deleted flag shares the name's summary word: kept.
        if (f.summary != nullptr)
            hash->*f.summary &= f.summary == &studyhash::patientNameBits ? STUDYHASH_DELETED : 0;
    }
}

void studyindex_makeKey(const DcmDataset *ds, studyhash *hash, studydata *data)
{
    const char *value = getTag(ds, DCM_StudyInstanceUID);
    if (value == nullptr)
        return;
    studyindex_setField(data->studyInstanceUid, sizeof data->studyInstanceUid, value);
    hash->studyUidCrc = studyindex_uidCrc(value);
}

void studyindex_recordTags(std::vector<DcmTagKey> *out)
{
    // What studyindex_makeRecords reads, in its order.
    static const DcmTagKey study[] = {
        DCM_SpecificCharacterSet,
        DCM_StudyInstanceUID,
        DCM_PatientName,
        DCM_PatientID,
        DCM_PatientBirthDate,
        DCM_PatientSex,
        DCM_StudyDate,
        DCM_StudyTime,
        DCM_StudyDescription,
        DCM_StudyID,
        DCM_AccessionNumber,
        DCM_ReferringPhysicianName,
        DCM_ReferringPhysicianAddress,
        DCM_ClinicalTrialSponsorName,
        DCM_ClinicalTrialProtocolName,
        DCM_ClinicalTrialSiteName,
        DCM_ModalitiesInStudy,
        DCM_Modality,
    };
    out->insert(out->end(), study, study + sizeof study / sizeof study[0]);
    for (const studyindex_field &f : studyindex_seriesFields)
        out->push_back(f.tag);
    for (const studyindex_field &f : studyindex_imageFields)
        out->push_back(f.tag);
}

studyindex_search studyindex_searchKey(int fd, const char *key, void *record, size_t recordSize)
{
    studyindex_search s = {-1, 0};
    for (long i = 0; studyindex_readRecord(fd, i, record, recordSize) == 1; i++) {
        if (studyindex_keyEquals((const char *)record, key)) {
            s.found = i;
            break;
        }
        if (studyindex_isLive(record))
            s.others = 1;
    }
    return s;
}

int studyindex_liveAfter(int fd, long after, void *record, size_t recordSize)
{
    for (long i = after + 1; studyindex_readRecord(fd, i, record, recordSize) == 1; i++) {
        if (studyindex_isLive(record))
            return 1;
    }
    return 0;
}

int studyindex_clearRecord(int fd, long index, size_t recordSize)
{
    static const char zeros[sizeof(imagerecord)] = {0};
    if (recordSize > sizeof(zeros))
        abort();
    return studyindex_writeRecord(fd, index, zeros, recordSize);
}

int studyindex_openLocked(const char *path, int flags, mode_t mode, int lockType)
{
    for (int attempt = 0; attempt < 10; attempt++) {
        struct stat opened, named;
        int fd = open(path, flags | O_CLOEXEC, mode);
        if (fd < 0)
            return -1;
        if (VLCompat_LockWholeFile(fd, lockType) != 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        // Compaction and rebuilds replace the file by rename while others
        // wait for the lock on the old one: a lock on a file that no longer
        // has this name guards nothing, so open the name again.
        if (fstat(fd, &opened) == 0 && stat(path, &named) == 0 && opened.st_ino == named.st_ino &&
            opened.st_dev == named.st_dev)
            return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}
