// Retrieve enumeration: the images a C-MOVE or C-GET identifier selects,
// read from the series and image index files, the place of one instance in
// the index, and the SOP class and transfer syntax of an image file from
// its meta header.
//
// Each index file of a selection is read whole, in one pass, under a shared
// whole-file lock (writers hold its exclusive lock while they write a
// record), so no half-written record is seen; the lock ends before the
// next file is read.
#include "index/retrievelist.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcmetinf.h"

#include "dicomnet/dicomnet.h"
#include "index/studyindex.h"
#include "index/uidtree.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/vlcompat.h"

void retrievelist_splitUids(const char *list, std::vector<std::string> *out)
{
    out->clear();
    if (list == nullptr)
        return;
    const char *p = list;
    for (;;) {
        const char *end = strchr(p, '\\');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        size_t a = 0;
        while (a < n && p[a] == ' ')
            a++;
        while (n > a && (p[n - 1] == ' ' || p[n - 1] == '\0'))
            n--;
        if (n > a)
            out->emplace_back(p + a, n - a);
        if (end == nullptr)
            break;
        p = end + 1;
    }
}

// The whole value of a string element (every value, with its backslashes);
// false when the element is absent or empty.
static bool elementValue(DcmDataset *ds, const DcmTagKey &tag, OFString *value)
{
    return ds->findAndGetOFStringArray(tag, *value).good() && !value->empty();
}

// A key field of an index record (at most 64 characters, NUL-padded) as text.
static std::string keyText(const char *field)
{
    return std::string(field, strnlen(field, STUDYINDEX_KEY_WIDTH));
}

static bool listed(const std::vector<std::string> &uids, const std::string &uid)
{
    for (const std::string &u : uids) {
        if (u == uid)
            return true;
    }
    return false;
}

// Reads every whole record of the index file at path into *bytes under a
// shared lock: the number of records, 0 when the file does not exist (the
// level holds nothing), -1 on any other failure.
static long readIndexFile(const OFString &path, size_t recordSize, std::vector<char> *bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    long records = -1;
    // The descriptor's own lock, as for the records a query reads
    // (index/finddataset.cc): readers in other threads of this process
    // neither end it nor are ended by it.
    int locked = VLCompat_LockDescription(fd, F_RDLCK) == 0;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        bytes->resize((size_t)st.st_size);
        ssize_t n = fullio_pread(fd, bytes->data(), bytes->size(), 0);
        // A short tail (damage, or a record cut back) is not a record.
        if (n >= 0)
            records = (long)((size_t)n / recordSize);
    }
    if (locked)
        VLCompat_LockDescription(fd, F_UNLCK);
    close(fd);
    return records;
}

// True when every UID of the list is one (each refused one logged).
static bool allUids(const finddataset_index *ix, const std::vector<std::string> &uids,
                    const char *what)
{
    for (const std::string &uid : uids)
        if (uidtree_checkUid(uid.c_str(), what, ix->log) != 0)
            return false;
    return true;
}

// Appends the images of one series that the SOP instance list selects (all
// when empty). RL_OK or RL_FAILED.
static int listSeries(const finddataset_index *ix, const std::string &study,
                      const std::string &series, const std::vector<std::string> &instances,
                      std::vector<retrievelist_image> *out)
{
    if (uidtree_checkUid(series.c_str(), "Series Instance UID", ix->log) != 0)
        return RL_OK;
    std::vector<char> bytes;
    long n = readIndexFile(uidtree_indexStem(ix->baseDir, study.c_str(), series.c_str(), ix->log) +
                               ".dat",
                           sizeof(imagerecord), &bytes);
    if (n < 0)
        return RL_FAILED;
    for (long i = 0; i < n; i++) {
        const imagerecord *rec = (const imagerecord *)(bytes.data() + i * sizeof(imagerecord));
        if (!studyindex_isLive(rec))
            continue;
        std::string sop = keyText(rec->sopInstanceUid);
        if (!instances.empty() && !listed(instances, sop))
            continue;
        out->push_back(retrievelist_image{study, series, sop});
    }
    return RL_OK;
}

// Appends the images of one study within the series and instance lists
// (empty: no restriction). RL_OK or RL_FAILED.
static int listStudy(const finddataset_index *ix, const std::string &study,
                     const std::vector<std::string> &series,
                     const std::vector<std::string> &instances,
                     std::vector<retrievelist_image> *out)
{
    // A UID unfit to name a file (a "/" would lead out of the store) names
    // nothing stored.
    if (uidtree_checkUid(study.c_str(), "Study Instance UID", ix->log) != 0)
        return RL_OK;
    std::vector<char> bytes;
    long n = readIndexFile(uidtree_indexStem(ix->baseDir, study.c_str(), nullptr, ix->log) + ".dat",
                           sizeof(seriesrecord), &bytes);
    if (n < 0)
        return RL_FAILED;
    for (long i = 0; i < n; i++) {
        const seriesrecord *rec = (const seriesrecord *)(bytes.data() + i * sizeof(seriesrecord));
        if (!studyindex_isLive(rec))
            continue;
        std::string uid = keyText(rec->seriesInstanceUid);
        if (!series.empty() && !listed(series, uid))
            continue;
        if (listSeries(ix, study, uid, instances, out) != RL_OK)
            return RL_FAILED;
    }
    return RL_OK;
}

int retrievelist_study(const finddataset_index *ix, const char *study,
                       std::vector<retrievelist_image> *out)
{
    out->clear();
    return listStudy(ix, study, {}, {}, out);
}

// The studies of one patient, by the study index (whole, case-sensitive
// Patient ID). RL_OK or RL_FAILED.
static int patientStudies(const finddataset_index *ix, const OFString &patientId,
                          std::vector<std::string> *studies)
{
    DcmDataset query;
    query.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    query.putAndInsertString(DCM_PatientID, patientId.c_str());
    query.putAndInsertString(DCM_StudyInstanceUID, "");
    void *handle = nullptr;
    int r;
    for (;;) {
        DcmDataset *match = nullptr;
        r = finddataset_next(ix, &handle, &query, &match, "STUDY", 0);
        if (r == 0) {
            const char *uid = dicomnet_getTagString(match, DCM_StudyInstanceUID);
            OFString id;
            // The query engine's matching may be wider than a retrieve's.
            if (uid != nullptr && match->findAndGetOFStringArray(DCM_PatientID, id).good() &&
                id == patientId)
                studies->emplace_back(uid);
        }
        delete match;
        if (r != 0)
            break;
    }
    return r < 0 ? RL_FAILED : RL_OK;
}

int retrievelist_build(const finddataset_index *ix, DcmDataset *identifier,
                       std::vector<retrievelist_image> *out)
{
    out->clear();
    OFString level, value;
    if (identifier == nullptr || !elementValue(identifier, DCM_QueryRetrieveLevel, &level))
        return RL_BAD_IDENTIFIER;
    std::vector<std::string> studies, series, instances;
    if (elementValue(identifier, DCM_StudyInstanceUID, &value))
        retrievelist_splitUids(value.c_str(), &studies);
    if (elementValue(identifier, DCM_SeriesInstanceUID, &value))
        retrievelist_splitUids(value.c_str(), &series);
    if (elementValue(identifier, DCM_SOPInstanceUID, &value))
        retrievelist_splitUids(value.c_str(), &instances);
    // A value that is no UID ("..", "1.2.abc", a wildcard) selects nothing
    // a peer could mean: the identifier is refused, not answered as empty.
    if (!allUids(ix, studies, "Study Instance UID") ||
        !allUids(ix, series, "Series Instance UID") || !allUids(ix, instances, "SOP Instance UID"))
        return RL_BAD_IDENTIFIER;

    if (level == "PATIENT") {
        OFString patientId;
        if (!elementValue(identifier, DCM_PatientID, &patientId) ||
            patientId.find_first_of("*?\\") != OFString_npos)
            return RL_BAD_IDENTIFIER;
        std::vector<std::string> ofPatient;
        if (patientStudies(ix, patientId, &ofPatient) != RL_OK)
            return RL_FAILED;
        // Study UIDs given as well restrict the patient's studies.
        if (!studies.empty()) {
            std::vector<std::string> both;
            for (const std::string &s : ofPatient) {
                if (listed(studies, s))
                    both.push_back(s);
            }
            ofPatient.swap(both);
        }
        studies.swap(ofPatient);
    } else if (level == "STUDY") {
        if (studies.empty())
            return RL_BAD_IDENTIFIER;
    } else if (level == "SERIES") {
        if (studies.empty() || series.empty())
            return RL_BAD_IDENTIFIER;
    } else if (level == "IMAGE") {
        if (studies.empty() || instances.empty())
            return RL_BAD_IDENTIFIER;
    } else {
        return RL_BAD_IDENTIFIER;
    }

    for (size_t i = 0; i < studies.size(); i++) {
        // A UID listed twice selects its images once.
        bool again = false;
        for (size_t j = 0; j < i && !again; j++)
            again = studies[j] == studies[i];
        if (!again && listStudy(ix, studies[i], series, instances, out) != RL_OK)
            return RL_FAILED;
    }
    return RL_OK;
}

int retrievelist_locateAll(const finddataset_index *ix, const std::vector<std::string> &instances,
                           std::vector<retrievelist_image> *out)
{
    out->assign(instances.size(), retrievelist_image());
    // The positions in instances of each UID not found yet.
    std::unordered_map<std::string, std::vector<size_t>> wanted;
    for (size_t i = 0; i < instances.size(); i++)
        wanted[instances[i]].push_back(i);
    int found = 0;
    OFString stem = uidtree_indexStem(ix->baseDir, nullptr, nullptr, ix->log);
    int dataFd = open((stem + ".dat").c_str(), O_RDONLY | O_CLOEXEC);
    if (dataFd < 0)
        return 0;
    std::vector<char> seriesBytes, imageBytes;
    for (long i = ix->table->studyCount - 1; i >= 0 && !wanted.empty(); i--) {
        if (ix->table->studyTable[i].patientNameBits & STUDYHASH_DELETED)
            continue;
        char record[sizeof(studydata)];
        if (studyindex_readRecord(dataFd, i, record, sizeof record) != 1 ||
            !studyindex_isLive(record))
            continue;
        std::string study = keyText(record);
        // An index file that cannot be read hides what it holds, as a
        // missing one does; the search goes on with the next.
        long n =
            readIndexFile(uidtree_indexStem(ix->baseDir, study.c_str(), nullptr, ix->log) + ".dat",
                          sizeof(seriesrecord), &seriesBytes);
        for (long j = 0; j < n && !wanted.empty(); j++) {
            const seriesrecord *s =
                (const seriesrecord *)(seriesBytes.data() + j * sizeof(seriesrecord));
            if (!studyindex_isLive(s))
                continue;
            std::string series = keyText(s->seriesInstanceUid);
            long m = readIndexFile(
                uidtree_indexStem(ix->baseDir, study.c_str(), series.c_str(), ix->log) + ".dat",
                sizeof(imagerecord), &imageBytes);
            for (long k = 0; k < m && !wanted.empty(); k++) {
                const imagerecord *rec =
                    (const imagerecord *)(imageBytes.data() + k * sizeof(imagerecord));
                if (!studyindex_isLive(rec))
                    continue;
                auto hit = wanted.find(keyText(rec->sopInstanceUid));
                if (hit == wanted.end())
                    continue;
                for (size_t at : hit->second) {
                    (*out)[at] = retrievelist_image{study, series, hit->first};
                    found++;
                }
                wanted.erase(hit);
            }
        }
    }
    close(dataFd);
    return found;
}

int retrievelist_parseMeta(const unsigned char *buf, size_t n, std::string *sopClass,
                           std::string *xfer, size_t *datasetStart)
{
    // The 128-byte preamble, "DICM", then group 0002 in explicit VR little
    // endian; its group length (0002,0000), where present, says where the
    // data set begins (needed for a deflated one, whose first bytes could
    // read as anything).
    *datasetStart = 0;
    sopClass->clear();
    xfer->clear();
    if (n < 132 || memcmp(buf + 128, "DICM", 4) != 0)
        return 0;
    size_t at = 132;
    size_t end = n;
    while (at + 8 <= end) {
        unsigned group = buf[at] | buf[at + 1] << 8;
        unsigned element = buf[at + 2] | buf[at + 3] << 8;
        if (group != 0x0002) {
            *datasetStart = at;
            break;
        }
        bool longForm = (buf[at + 4] == 'O' && strchr("BWFDL", buf[at + 5]) != nullptr) ||
                        (buf[at + 4] == 'S' && buf[at + 5] == 'Q') ||
                        (buf[at + 4] == 'U' && strchr("TNCR", buf[at + 5]) != nullptr);
        size_t length;
        if (longForm) {
            if (at + 12 > end)
                break;
            length = (size_t)buf[at + 8] | (size_t)buf[at + 9] << 8 | (size_t)buf[at + 10] << 16 |
                     (size_t)buf[at + 11] << 24;
            at += 12;
        } else {
            length = buf[at + 6] | buf[at + 7] << 8;
            at += 8;
        }
        if (length > end - at)
            break;
        if (element == 0x0000 && length == 4) {
            size_t groupEnd = at + 4 +
                              ((size_t)buf[at] | (size_t)buf[at + 1] << 8 |
                               (size_t)buf[at + 2] << 16 | (size_t)buf[at + 3] << 24);
            // A group length pointing past the bytes at hand leaves the
            // end unknown; the elements are still read.
            if (groupEnd <= n && groupEnd > at + 4)
                end = groupEnd;
        } else if (element == 0x0002 || element == 0x0010) {
            // UI values are padded with a NUL to an even length.
            size_t len = strnlen((const char *)buf + at, length);
            while (len > 0 && buf[at + len - 1] == ' ')
                len--;
            (element == 0x0002 ? sopClass : xfer)->assign((const char *)buf + at, len);
        }
        at += length;
        // A group length that ends the header before its last element
        // would send that element as data: then the end stays unknown.
        if (at == end && end < n && !(at + 2 <= n && buf[at] == 0x02 && buf[at + 1] == 0x00))
            *datasetStart = at;
    }
    return !sopClass->empty() && !xfer->empty() ? 1 : 0;
}

// Reads the SOP class and transfer syntax of the image file at path from
// its first bytes: 1 found, 0 not found there (the caller asks the
// toolkit), -1 the file cannot be read.
static int scanMetaHeader(const char *path, std::string *sopClass, std::string *xfer)
{
    unsigned char buf[4096];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = fullio_pread(fd, buf, sizeof(buf), 0);
    close(fd);
    if (n < 0)
        return -1;
    size_t datasetStart;
    return retrievelist_parseMeta(buf, (size_t)n, sopClass, xfer, &datasetStart);
}

int retrievelist_fileClass(const char *path, std::string *sopClass, std::string *xfer)
{
    // Read by hand first: the toolkit's reader costs as much as the
    // sending of a small image, and a retrieve asks this of every image.
    int r = scanMetaHeader(path, sopClass, xfer);
    if (r != 0)
        return r > 0 ? 0 : -1;
    DcmFileFormat file;
    if (file.loadFile(path, EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_metaOnly).bad())
        return -1;
    OFString cls, ts;
    DcmMetaInfo *meta = file.getMetaInfo();
    if (meta == nullptr || meta->findAndGetOFString(DCM_MediaStorageSOPClassUID, cls).bad() ||
        cls.empty() || meta->findAndGetOFString(DCM_TransferSyntaxUID, ts).bad() || ts.empty())
        return -1;
    *sopClass = cls.c_str();
    *xfer = ts.c_str();
    return 0;
}
