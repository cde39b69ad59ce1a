// STOW-RS: a multipart/related upload of DICOM files, read part by part as
// it arrives. Each part goes to a temporary file; once the part is
// complete it is read and taken in by the archive core's ingest, exactly
// as a C-STORE is (the same index and file locks, the same store mode, the
// patient link tree with -s, the same "STORAGE STOREUID" announcement,
// which studywatch follows). Before the answer every write is flushed to
// disk, as the DICOM side does before it confirms an association's release.
#include <errno.h>
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcsequen.h"

#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "web/multipart.h"
#include "web/webserver.h"

// DIMSE statuses reported per instance (as a C-STORE would answer).
enum {
    STOW_SUCCESS = ARCHIVE_STORED,
    STOW_WARN_EXISTS = ARCHIVE_EXISTS,                  // already stored, kept
    STOW_REFUSED_RESOURCES = ARCHIVE_REFUSED_NOSPACE,   // not known to be stored
    STOW_CANNOT_UNDERSTAND = ARCHIVE_CANNOT_UNDERSTAND, // unreadable, UID missing or refused
    STOW_WRONG_STUDY = 0xC122,                          // not of the study the URL names
};

struct stowresult {
    std::string sopClass, sopInstance, study, series;
    unsigned status;
};

struct stowstate {
    multipart_reader reader;
    std::string study;   // the study the URL names, or empty
    std::string rootUrl; // DICOMweb root as the client reached it
    int fd = -1;         // the temporary file of the part being read
    std::string tmpPath;
    bool partOk = false; // the part is application/dicom and fully written
    std::vector<stowresult> results;
};

// Directory of the temporary part files.
static const char *tempDir()
{
    const char *t = getenv("TMPDIR");
    return t != nullptr && t[0] != '\0' ? t : "/tmp";
}

static int partBegin(void *cls, const std::string &headers)
{
    stowstate *st = static_cast<stowstate *>(cls);
    std::string type = "application/dicom";
    // The part's Content-Type, if it has one.
    size_t i = 0;
    while (i < headers.size()) {
        size_t j = headers.find("\r\n", i);
        if (j == std::string::npos)
            j = headers.size();
        std::string line = headers.substr(i, j - i);
        if (strncasecmp(line.c_str(), "content-type:", 13) == 0)
            type = multipart_mediaType(line.c_str() + 13);
        i = j + 2;
    }
    st->partOk = type == "application/dicom";
    if (!st->partOk) {
        st->results.push_back(stowresult{"", "", "", "", STOW_CANNOT_UNDERSTAND});
        return 0;
    }
    st->tmpPath = std::string(tempDir()) + "/storeweb-part-XXXXXX";
    st->fd = mkostemp(&st->tmpPath[0], O_CLOEXEC);
    if (st->fd < 0) {
        logprintf(LOGLEVEL_ERROR, web_options.logfp, "Cannot create %s: %s\n", st->tmpPath.c_str(),
                  strerror(errno));
        st->partOk = false;
        st->results.push_back(stowresult{"", "", "", "", STOW_REFUSED_RESOURCES});
    }
    return 0;
}

static int partData(void *cls, const char *data, size_t len)
{
    stowstate *st = static_cast<stowstate *>(cls);
    if (st->fd >= 0 && fullio_write(st->fd, data, len) != (ssize_t)len) {
        logprintf(LOGLEVEL_ERROR, web_options.logfp, "Cannot write %s: %s\n", st->tmpPath.c_str(),
                  strerror(errno));
        close(st->fd);
        st->fd = -1;
        unlink(st->tmpPath.c_str());
        st->partOk = false;
        st->results.push_back(stowresult{"", "", "", "", STOW_REFUSED_RESOURCES});
    }
    return 0;
}

// Stores the dataset of a complete part through the archive core's ingest
// (the C-STORE path: store, patient link tree with -s, announcement); the
// result is appended.
static void storePart(stowstate *st, DcmDataset *ds)
{
    stowresult r;
    const char *v;
    r.sopClass = (v = DCMTK_getTagString(ds, DCM_SOPClassUID)) ? v : "";
    r.sopInstance = (v = DCMTK_getTagString(ds, DCM_SOPInstanceUID)) ? v : "";
    r.study = (v = DCMTK_getTagString(ds, DCM_StudyInstanceUID)) ? v : "";
    r.series = (v = DCMTK_getTagString(ds, DCM_SeriesInstanceUID)) ? v : "";
    if (!st->study.empty() && r.study != st->study) {
        r.status = STOW_WRONG_STUDY;
        st->results.push_back(r);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(web_storeLock);
        r.status = archive_ingest(&web_archive, ds, web_options.overwrite, nullptr);
    }
    st->results.push_back(r);
}

static int partEnd(void *cls)
{
    stowstate *st = static_cast<stowstate *>(cls);
    if (!st->partOk || st->fd < 0)
        return 0;
    close(st->fd);
    st->fd = -1;
    DcmFileFormat ff;
    OFCondition cond = ff.loadFile(st->tmpPath.c_str());
    if (cond.good())
        // The toolkit leaves large values (pixel data above all) in the file
        // and reads them when they are written out, so the part's file must
        // outlive the store's write.
        storePart(st, ff.getDataset());
    else {
        logprintf(LOGLEVEL_WARNING, web_options.logfp, "STOW-RS: unreadable part: %s\n",
                  cond.text());
        st->results.push_back(stowresult{"", "", "", "", STOW_CANNOT_UNDERSTAND});
    }
    unlink(st->tmpPath.c_str());
    return 0;
}

stowstate *stow_begin(const webrequest &rq, const std::vector<std::string> &seg, int *result)
{
    const char *ct = rq.header("Content-Type");
    std::string type = multipart_mediaType(ct);
    std::string inner = multipart_parameter(ct, "type");
    std::string boundary = multipart_parameter(ct, "boundary");
    if (type != "multipart/related" || boundary.empty() ||
        (!inner.empty() && multipart_mediaType(inner.c_str()) != "application/dicom")) {
        *result = web_replyError(rq, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                                 "Expected multipart/related; type=\"application/dicom\"");
        return nullptr;
    }
    stowstate *st = new stowstate;
    if (seg.size() == 2)
        st->study = seg[1];
    st->rootUrl = web_rootUrl(rq);
    multipart_sink sink = {partBegin, partData, partEnd, st};
    multipart_init(&st->reader, boundary, sink);
    return st;
}

int stow_feed(stowstate *st, const char *data, size_t len)
{
    return multipart_feed(&st->reader, data, len);
}

static void putUid(DcmItem *item, const DcmTagKey &key, const std::string &value)
{
    item->putAndInsertString(DcmTag(key), value.c_str());
}

int stow_finish(stowstate *st, const webrequest &rq)
{
    if (!multipart_complete(&st->reader))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Incomplete multipart body");
    int synced;
    {
        std::lock_guard<std::mutex> hold(web_storeLock);
        synced = archive_flush(&web_archive);
    }
    DcmDataset answer;
    size_t stored = 0, failed = 0;
    std::string studyUrl;
    for (stowresult &r : st->results) {
        // An image not known to be on disk is not reported as stored.
        if (synced != 0 && r.status == STOW_SUCCESS)
            r.status = STOW_REFUSED_RESOURCES;
        DcmItem *item = new DcmItem();
        putUid(item, DCM_ReferencedSOPClassUID, r.sopClass);
        putUid(item, DCM_ReferencedSOPInstanceUID, r.sopInstance);
        if (r.status == STOW_SUCCESS || r.status == STOW_WARN_EXISTS) {
            std::string url = st->rootUrl + "/studies/" + r.study;
            if (studyUrl.empty())
                studyUrl = url;
            putUid(item, DCM_RetrieveURL,
                   url + "/series/" + r.series + "/instances/" + r.sopInstance);
            if (r.status != STOW_SUCCESS)
                item->putAndInsertUint16(DCM_WarningReason, (Uint16)r.status);
            answer.insertSequenceItem(DCM_ReferencedSOPSequence, item);
            stored++;
        } else {
            item->putAndInsertUint16(DCM_FailureReason, (Uint16)r.status);
            answer.insertSequenceItem(DCM_FailedSOPSequence, item);
            failed++;
        }
    }
    if (!studyUrl.empty() || !st->study.empty())
        putUid(&answer, DCM_RetrieveURL,
               studyUrl.empty() ? st->rootUrl + "/studies/" + st->study : studyUrl);
    logprintf(LOGLEVEL_INFO, web_options.logfp, "STOW-RS: %zu stored, %zu failed\n", stored,
              failed);
    std::string body;
    web_appendJson(&answer, "", &body);
    unsigned status = failed == 0 && stored > 0 ? MHD_HTTP_OK
                      : stored > 0              ? MHD_HTTP_ACCEPTED
                      : st->results.empty()     ? MHD_HTTP_BAD_REQUEST
                                                : MHD_HTTP_CONFLICT;
    // Stored, but some only with a warning: 202 as well.
    for (const stowresult &r : st->results)
        if (r.status == STOW_WARN_EXISTS && status == MHD_HTTP_OK)
            status = MHD_HTTP_ACCEPTED;
    return web_reply(rq, status, "application/dicom+json", body);
}

void stow_free(stowstate *st)
{
    if (st->fd >= 0) {
        // A body that ended early leaves its last part behind.
        close(st->fd);
        unlink(st->tmpPath.c_str());
    }
    delete st;
}
