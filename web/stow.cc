// STOW-RS: a multipart/related upload of DICOM files, read part by part as
// it arrives. Each part goes to the archive core's receive (core/receive.h)
// as it comes, the same receive as a C-STORE's data set: it walks the part,
// has the store write it as it comes (Explicit VR Little Endian or a
// compressed syntax, nearly all) or keeps it to be parsed once complete,
// and its ingest takes it in exactly as a C-STORE (the same index and file
// locks, the same store mode, the patient link tree with -s, the same
// "STORAGE STOREUID" announcement, which studywatch follows). Before the
// answer every write is flushed to disk, as the DICOM side does before it
// confirms an association's release.
//
// What one upload may make the daemon do is bounded: the body's size and
// the number of its parts (413 beyond them), here; each part's size, and,
// before the toolkit parses a part, the nesting of its sequences and the
// number of its items, by the receive (a part beyond them is refused on
// its own).
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/archive.h"
#include "core/receive.h"
#include "dicomnet/dicomnet.h"
#include "runtime/logprintf.h"
#include "web/metrics.h"
#include "web/multipart.h"
#include "web/webaudit.h"
#include "web/webserver.h"

// DIMSE statuses reported per instance (as a C-STORE would answer).
enum {
    STOW_SUCCESS = 0x0000,
    STOW_WARN_EXISTS = 0xB006,       // already stored, kept
    STOW_REFUSED_RESOURCES = 0xA700, // not known to be stored
    STOW_CANNOT_UNDERSTAND = 0xC000, // unreadable, UID missing or refused
    STOW_WRONG_STUDY = 0xC122,       // not of the study the URL names
};

struct stowresult {
    std::string sopClass, sopInstance, study, series;
    unsigned status;
};

struct stowstate {
    multipart_reader reader;
    // The patient (ID, name) of each study stored, for the audit trail.
    std::map<std::string, std::pair<std::string, std::string>> patients;
    std::string study;     // the study the URL names, or empty
    std::string rootUrl;   // DICOMweb root as the client reached it
    bool partOk = false;   // the part is application/dicom and taken so far
    bool inPart = false;   // a part has begun and not yet ended
    uint64_t received = 0; // bytes of the body so far
    size_t parts = 0;
    unsigned refusal = 0;  // the body is refused (400 or 413) and the rest dropped
    uint64_t dropped = 0;  // bytes dropped since the refusal
    bool unsynced = false; // images were stored and not yet flushed
    bool refusalLogged = false;
    // The receive of the part being read; its calls are made under
    // the archive's serialisation.
    std::unique_ptr<archive_receive> receive;
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
    if (++st->parts > web_options.max_parts) {
        st->refusal = MHD_HTTP_CONTENT_TOO_LARGE;
        return 1;
    }
    st->inPart = true;
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
    archive_exclusive hold(&web_archive);
    st->receive.reset(new archive_receive(&web_archive, web_options.max_part, tempDir()));
    return 0;
}

// Ends the part being read: what the receive kept of it (its temporary
// file, the store's image) goes, unless it was ingested.
static void endPart(stowstate *st)
{
    archive_exclusive hold(&web_archive);
    st->receive.reset();
}

// Drops the part being read; it fails with status (the rest of its bytes
// are then dropped as they come).
static void dropPart(stowstate *st, unsigned status)
{
    endPart(st);
    st->partOk = false;
    st->results.push_back(stowresult{"", "", "", "", status});
}

static int partData(void *cls, const char *data, size_t len)
{
    stowstate *st = static_cast<stowstate *>(cls);
    if (!st->partOk)
        return 0;
    int fed;
    {
        archive_exclusive hold(&web_archive);
        fed = st->receive->feed((const unsigned char *)data, len);
    }
    if (fed == ARCHIVE_RECEIVE_TOO_LARGE)
        logprintf(LOGLEVEL_WARNING, web_options.logfp,
                  "STOW-RS: part larger than %llu bytes refused\n",
                  (unsigned long long)web_options.max_part);
    // Too large, or its file could not be written (logged by the receive).
    if (fed != ARCHIVE_UPLOAD_WHOLE)
        dropPart(st, STOW_REFUSED_RESOURCES);
    return 0;
}

// Stores the data set of a complete part, ds (the receive's); the result
// is appended.
static void storePart(stowstate *st, DcmDataset *ds)
{
    stowresult r;
    const char *v;
    r.sopClass = (v = dicomnet_getTagString(ds, DCM_SOPClassUID)) ? v : "";
    r.sopInstance = (v = dicomnet_getTagString(ds, DCM_SOPInstanceUID)) ? v : "";
    r.study = (v = dicomnet_getTagString(ds, DCM_StudyInstanceUID)) ? v : "";
    r.series = (v = dicomnet_getTagString(ds, DCM_SeriesInstanceUID)) ? v : "";
    if (!st->study.empty() && r.study != st->study) {
        r.status = STOW_WRONG_STUDY;
        st->results.push_back(r);
        return;
    }
    std::pair<std::string, std::string> patient;
    patient.first = (v = dicomnet_getTagString(ds, DCM_PatientID)) ? v : "";
    patient.second = (v = dicomnet_getTagString(ds, DCM_PatientName)) ? v : "";
    {
        archive_exclusive hold(&web_archive);
        r.status = st->receive->ingest(web_options.overwrite, nullptr, nullptr);
    }
    if (r.status == STOW_SUCCESS) {
        st->unsynced = true;
        if (st->patients.count(r.study) == 0)
            st->patients[r.study] = patient;
    }
    st->results.push_back(r);
}

static int partEnd(void *cls)
{
    stowstate *st = static_cast<stowstate *>(cls);
    st->inPart = false;
    if (!st->partOk)
        return 0;
    // The receive walked the part as it came (a deflated data set is
    // inflated for the walk from the part's file); a part it cannot follow
    // (no meta header, bytes that are no VR) is not handed to the toolkit
    // either, as nothing would bound its parse.
    int walked = ARCHIVE_UPLOAD_WHOLE;
    DcmDataset *ds = nullptr;
    std::string why;
    bool streamed;
    {
        archive_exclusive hold(&web_archive);
        st->receive->end();
        streamed = st->receive->streamed();
        if (streamed && (walked = st->receive->finish()) == ARCHIVE_UPLOAD_WHOLE)
            ds = st->receive->dataset(&why);
    }
    // A part kept in a file is checked (a deflated one inflated) and parsed
    // outside the store's lock, which the work on a large one would hold up.
    if (!streamed && (walked = st->receive->finish()) == ARCHIVE_UPLOAD_WHOLE)
        ds = st->receive->dataset(&why);
    if (walked == ARCHIVE_RECEIVE_NO_FILE) {
        // Its temporary file could not be made (logged by the receive).
        dropPart(st, STOW_REFUSED_RESOURCES);
        return 0;
    }
    if (walked != ARCHIVE_UPLOAD_WHOLE) {
        // Once per upload: a body of many such parts does not flood the log.
        if (!st->refusalLogged)
            logprintf(LOGLEVEL_WARNING, web_options.logfp, "STOW-RS: part refused: %s\n",
                      walked == ARCHIVE_UPLOAD_UNREAD ? "cannot read it back"
                      : walked == ARCHIVE_UPLOAD_FOREIGN
                          ? "not a DICOM file with a meta header in an encoding walked here"
                          : "damaged, or sequences deeper or items more than allowed");
        st->refusalLogged = true;
        st->results.push_back(stowresult{"", "", "", "",
                                         walked == ARCHIVE_UPLOAD_UNREAD ? STOW_REFUSED_RESOURCES
                                                                         : STOW_CANNOT_UNDERSTAND});
    } else if (ds == nullptr) {
        logprintf(LOGLEVEL_WARNING, web_options.logfp, "STOW-RS: unreadable part: %s\n",
                  why.c_str());
        st->results.push_back(stowresult{"", "", "", "", STOW_CANNOT_UNDERSTAND});
    } else {
        storePart(st, ds);
    }
    endPart(st);
    return 0;
}

// The text of a 413 answer.
static std::string tooLarge()
{
    char text[160];
    snprintf(text, sizeof text, "Upload larger than %llu bytes or of more than %zu parts",
             (unsigned long long)web_options.max_upload, web_options.max_parts);
    return text;
}

stowstate *stow_begin(const webrequest &rq, const std::vector<std::string> &seg, int *result)
{
    const char *ct = rq.header("Content-Type");
    std::string type = multipart_mediaType(ct);
    std::string inner = multipart_parameter(ct, "type");
    std::string boundary = multipart_parameter(ct, "boundary");
    // A boundary is at most 70 characters long.
    if (type != "multipart/related" || boundary.empty() || boundary.size() > 70 ||
        (!inner.empty() && multipart_mediaType(inner.c_str()) != "application/dicom")) {
        *result = web_replyError(rq, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                                 "Expected multipart/related; type=\"application/dicom\"");
        return nullptr;
    }
    // A body announced larger than allowed is refused before it is read,
    // at once when the client waits to be told to send it; otherwise the
    // answer waits for the body (dropped as it comes), as a client that
    // is still sending may never see an answer sent before it has done.
    const char *length = rq.header("Content-Length");
    bool announcedTooLarge =
        length != nullptr && strtoull(length, nullptr, 10) > web_options.max_upload;
    const char *expect = rq.header("Expect");
    if (announcedTooLarge && expect != nullptr && strcasecmp(expect, "100-continue") == 0) {
        *result = web_replyError(rq, MHD_HTTP_CONTENT_TOO_LARGE, tooLarge().c_str());
        return nullptr;
    }
    // The study named in the path becomes part of the answer's URL.
    if (seg.size() == 2 && archive_uidProblem(seg[1].c_str()) != nullptr) {
        *result = web_replyError(rq, MHD_HTTP_BAD_REQUEST, "The study in the path is not a UID");
        return nullptr;
    }
    stowstate *st = new stowstate;
    if (seg.size() == 2)
        st->study = seg[1];
    st->rootUrl = web_rootUrl(rq);
    multipart_sink sink = {partBegin, partData, partEnd, st};
    multipart_init(&st->reader, boundary, sink);
    if (announcedTooLarge)
        st->refusal = MHD_HTTP_CONTENT_TOO_LARGE;
    return st;
}

// Most bytes of a refused body dropped before the connection is closed
// without waiting for the rest.
static const uint64_t STOW_DROP_MAX = 32ULL << 20;

int stow_feed(stowstate *st, const char *data, size_t len)
{
    if (st->refusal == 0) {
        st->received += len;
        if (st->received > web_options.max_upload)
            st->refusal = MHD_HTTP_CONTENT_TOO_LARGE;
        else if (multipart_feed(&st->reader, data, len) != 0 && st->refusal == 0)
            st->refusal = MHD_HTTP_BAD_REQUEST; // malformed
        return 0;
    }
    st->dropped += len;
    return st->dropped > STOW_DROP_MAX ? -1 : 0;
}

// Flushes the images stored so far: 0 done (or nothing to flush), else the
// store's failure.
static int syncStored(stowstate *st)
{
    if (!st->unsynced)
        return 0;
    st->unsynced = false;
    archive_exclusive hold(&web_archive);
    return archive_flush(&web_archive);
}

int stow_refuse(stowstate *st, const webrequest &rq)
{
    // What was stored before the refusal stays stored, and on disk.
    syncStored(st);
    logprintf(LOGLEVEL_WARNING, web_options.logfp, "STOW-RS: body refused (%s) after %zu parts\n",
              st->refusal == MHD_HTTP_BAD_REQUEST ? "malformed" : "too large", st->results.size());
    if (st->refusal == MHD_HTTP_BAD_REQUEST)
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Malformed multipart body");
    return web_replyError(rq, MHD_HTTP_CONTENT_TOO_LARGE, tooLarge().c_str());
}

static void putUid(DcmItem *item, const DcmTagKey &key, const std::string &value)
{
    item->putAndInsertString(DcmTag(key), value.c_str());
}

int stow_finish(stowstate *st, const webrequest &rq)
{
    if (st->refusal != 0)
        return stow_refuse(st, rq);
    // A body cut short: the parts before the cut are answered as usual,
    // the one it cut as failed.
    bool complete = multipart_complete(&st->reader);
    if (!complete && st->inPart) {
        endPart(st);
        st->inPart = false;
        st->results.push_back(stowresult{"", "", "", "", STOW_CANNOT_UNDERSTAND});
    }
    // Cut short before anything was stored: the body is simply malformed.
    bool anyStored = false;
    for (const stowresult &r : st->results)
        anyStored = anyStored || r.status == STOW_SUCCESS || r.status == STOW_WARN_EXISTS;
    if (!complete && !anyStored)
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Incomplete multipart body");
    int synced = syncStored(st);
    DcmDataset answer;
    size_t stored = 0, failed = 0;
    audit_studies audited; // the images stored, for the audit trail
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
            if (r.status == STOW_SUCCESS)
                audited.add(r.study, r.sopClass, st->patients[r.study].first,
                            st->patients[r.study].second);
        } else {
            item->putAndInsertUint16(DCM_FailureReason, (Uint16)r.status);
            answer.insertSequenceItem(DCM_FailedSOPSequence, item);
            failed++;
        }
    }
    if (!studyUrl.empty() || !st->study.empty())
        putUid(&answer, DCM_RetrieveURL,
               studyUrl.empty() ? st->rootUrl + "/studies/" + st->study : studyUrl);
    // The images stored are counted as they are stored (metrics_listener).
    metrics_add(METRICS_FAIL_STORE, failed);
    logprintf(complete ? LOGLEVEL_INFO : LOGLEVEL_WARNING, web_options.logfp,
              "STOW-RS: %zu stored, %zu failed%s\n", stored, failed,
              complete ? "" : " (body cut short)");
    webaudit_stored(rq, &audited);
    std::string body;
    web_appendJson(&answer, "", &body);
    unsigned status = failed == 0 && stored > 0 ? MHD_HTTP_OK
                      : stored > 0              ? MHD_HTTP_ACCEPTED
                      : st->results.empty()     ? MHD_HTTP_BAD_REQUEST
                                                : MHD_HTTP_CONFLICT;
    // A body cut short is a partial success at best.
    if (!complete && status == MHD_HTTP_OK)
        status = MHD_HTTP_ACCEPTED;
    // Stored, but some only with a warning: 202 as well.
    for (const stowresult &r : st->results)
        if (r.status == STOW_WARN_EXISTS && status == MHD_HTTP_OK)
            status = MHD_HTTP_ACCEPTED;
    return web_reply(rq, status, "application/dicom+json", body);
}

void stow_free(stowstate *st)
{
    // A body that ended early leaves its last part behind.
    endPart(st);
    // A connection lost before the answer: what was stored and announced
    // is flushed all the same.
    syncStored(st);
    delete st;
}
