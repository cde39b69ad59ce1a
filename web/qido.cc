// QIDO-RS: searches for studies, series and instances. Every search is a
// C-FIND query run through the archive core's query walk
// (archive_query), so it matches exactly as the DICOM side does:
// a study query with the study-level keys, then per matching study a series
// or image query with the keys of that level. The answers are written as
// DICOM JSON with the counts and retrieve URLs that PS3.18 asks for.
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcdict.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcitem.h"
#include "dcmtk/dcmdata/dcmetinf.h"

#include "core/archive.h"
#include "core/archivetier.h"
#include "dicomnet/dicomnet.h"
#include "web/webserver.h"

enum { LEVEL_STUDY = 0, LEVEL_SERIES = 1, LEVEL_IMAGE = 2 };

// Default answers of each level (PS3.18 "Study/Series/Instance Resource
// Attributes"); the UIDs of the levels above are added where needed.
static const DcmTagKey studyDefaults[] = {
    DCM_StudyDate,
    DCM_StudyTime,
    DCM_AccessionNumber,
    DCM_ModalitiesInStudy,
    DCM_ReferringPhysicianName,
    DCM_PatientName,
    DCM_PatientID,
    DCM_PatientBirthDate,
    DCM_PatientSex,
    DCM_StudyInstanceUID,
    DCM_StudyID,
    DCM_StudyDescription,
};
// With includefield=all: every study attribute the index keeps as well.
static const DcmTagKey studyAll[] = {
    DCM_ReferringPhysicianAddress,
    DCM_ClinicalTrialSponsorName,
    DCM_ClinicalTrialProtocolName,
    DCM_ClinicalTrialSiteName,
};
static const DcmTagKey seriesDefaults[] = {
    DCM_Modality,   DCM_SeriesDescription, DCM_SeriesNumber,     DCM_SeriesInstanceUID,
    DCM_SeriesDate, DCM_SeriesTime,        DCM_BodyPartExamined,
};
static const DcmTagKey imageDefaults[] = {
    DCM_SOPInstanceUID,
    DCM_InstanceNumber,
    DCM_ImageType,
    DCM_AcquisitionDate,
};

// The level whose query carries key: a field of the series or image
// record, else the study.
static int levelOf(const DcmTagKey &key)
{
    if (archive_seriesRecordHolds(key))
        return key == DCM_StudyInstanceUID ? LEVEL_STUDY : LEVEL_SERIES;
    if (archive_imageRecordHolds(key))
        return key == DCM_StudyInstanceUID || key == DCM_SeriesInstanceUID ? -1 : LEVEL_IMAGE;
    return LEVEL_STUDY;
}

// A keyword ("PatientName") or eight hex digits ("00100010") as a tag:
// true when known.
static bool parseTag(const std::string &name, DcmTagKey *key)
{
    if (name.size() == 8 && strspn(name.c_str(), "0123456789abcdefABCDEF") == 8) {
        unsigned long v = strtoul(name.c_str(), nullptr, 16);
        *key = DcmTagKey((Uint16)(v >> 16), (Uint16)(v & 0xffff));
        return true;
    }
    DcmTag tag;
    if (DcmTag::findTagFromName(name.c_str(), tag).bad())
        return false;
    *key = tag.getXTag();
    return true;
}

// Runs query through the store until max matches (0: all); each match is
// appended to out (owned by the caller). 0, or -1 when the index cannot
// be read.
static int runQuery(DcmDataset *query, const char *level, size_t max,
                    std::vector<std::unique_ptr<DcmDataset>> *out)
{
    int r;
    std::lock_guard<std::mutex> hold(web_storeLock);
    web_refreshStudies();
    archive_query walk(&web_archive, query, level);
    for (;;) {
        DcmDataset *match = nullptr;
        r = walk.next(&match);
        if (r == 0) {
            match->findAndDeleteElement(DCM_QueryRetrieveLevel);
            out->emplace_back(match);
            if (max != 0 && out->size() >= max) {
                // The caller needs no more: end the iteration here, without
                // walking the matches it would not send.
                walk.end();
                return 0;
            }
        } else {
            delete match;
            break;
        }
    }
    return r < 0 ? -1 : 0;
}

// Number of stored series and instances of a study (of one series when
// series is not null).
static void countInstances(const char *study, const char *series, long *seriesCount,
                           long *instanceCount)
{
    std::vector<webinstance> list;
    web_listInstances(study, series, nullptr, &list);
    std::set<std::string> seriesSeen;
    for (const webinstance &i : list)
        seriesSeen.insert(i.series);
    *seriesCount = (long)seriesSeen.size();
    *instanceCount = (long)list.size();
}

static void putString(DcmDataset *ds, const DcmTagKey &key, const std::string &value)
{
    ds->putAndInsertString(DcmTag(key), value.c_str());
}

static void putNumber(DcmDataset *ds, const DcmTagKey &key, long n)
{
    char text[32];
    snprintf(text, sizeof text, "%ld", n);
    ds->putAndInsertString(DcmTag(key), text);
}

// The SOP Class UID of a stored instance, from its file's meta header.
static std::string storedSopClass(const webinstance &i)
{
    DcmFileFormat ff;
    OFString cls;
    // Only the meta header is needed: reading stops at the first element
    // of the data set.
    if (ff.loadFileUntilTag(web_instancePath(i).c_str(), EXS_Unknown, EGL_noChange, 256,
                            ERM_autoDetect, DCM_SpecificCharacterSet)
            .good())
        ff.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, cls);
    // An image in the object tier has its class in its stub.
    if (cls.empty())
        return archivetier_stubClass(web_instancePath(i).c_str());
    return cls.c_str();
}

// Copies every element of from that to lacks.
static void mergeInto(DcmDataset *to, DcmDataset *from)
{
    for (unsigned long i = 0; i < from->card(); i++) {
        DcmElement *e = from->getElement(i);
        if (!to->tagExists(e->getTag()))
            to->insert(OFstatic_cast(DcmElement *, e->clone()));
    }
}

int qido_search(const webrequest &rq, const std::vector<std::string> &seg)
{
    // Which resource: the level searched and the UIDs the path fixes.
    int level;
    const char *studyUid = nullptr, *seriesUid = nullptr;
    if (seg.size() == 1)
        level = seg[0] == "studies" ? LEVEL_STUDY : seg[0] == "series" ? LEVEL_SERIES : LEVEL_IMAGE;
    else if (seg.size() == 3 && seg[0] == "studies" && seg[2] != "studies") {
        studyUid = seg[1].c_str();
        level = seg[2] == "series" ? LEVEL_SERIES : LEVEL_IMAGE;
    } else if (seg.size() == 5 && seg[0] == "studies" && seg[2] == "series" &&
               seg[4] == "instances") {
        studyUid = seg[1].c_str();
        seriesUid = seg[3].c_str();
        level = LEVEL_IMAGE;
    } else
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");

    // The query keys of each level, from the arguments.
    DcmDataset q[3];
    DCMTK_Key_Add(&q[LEVEL_STUDY], 0x0008, 0x0052, "STUDY");
    DCMTK_Key_Add(&q[LEVEL_SERIES], 0x0008, 0x0052, "SERIES");
    DCMTK_Key_Add(&q[LEVEL_IMAGE], 0x0008, 0x0052, "IMAGE");
    size_t limit = 0, offset = 0;
    bool includeAll = false, fuzzy = false;
    std::vector<DcmTagKey> included;
    for (const auto &a : rq.args) {
        const std::string &k = a.first, &v = a.second;
        if (k == "limit" || k == "offset") {
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 0)
                return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Bad limit or offset");
            (k == "limit" ? limit : offset) = (size_t)n;
            continue;
        }
        if (k == "fuzzymatching") {
            fuzzy = v == "true";
            continue;
        }
        if (k == "includefield") {
            size_t i = 0;
            while (i <= v.size()) {
                size_t j = v.find(',', i);
                if (j == std::string::npos)
                    j = v.size();
                std::string name = v.substr(i, j - i);
                DcmTagKey key;
                if (name == "all")
                    includeAll = true;
                else if (!name.empty() && parseTag(name, &key))
                    included.push_back(key);
                else if (!name.empty())
                    return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Unknown includefield");
                i = j + 1;
            }
            continue;
        }
        DcmTagKey key;
        if (!parseTag(k, &key))
            return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Unknown query attribute");
        int l = levelOf(key);
        if (l < 0)
            l = LEVEL_IMAGE;
        putString(&q[l], key, v);
        // The study index filters a study's modalities through the
        // Modality key; ModalitiesInStudy names them in the answer.
        if (key == DCM_ModalitiesInStudy && !q[LEVEL_STUDY].tagExists(DCM_Modality))
            putString(&q[LEVEL_STUDY], DCM_Modality, v);
    }
    if (studyUid != nullptr)
        putString(&q[LEVEL_STUDY], DCM_StudyInstanceUID, studyUid);
    // A series UID given as a query key fixes the series as the path does.
    if (seriesUid == nullptr)
        seriesUid = DCMTK_getTagString(&q[LEVEL_SERIES], DCM_SeriesInstanceUID);
    if (seriesUid != nullptr)
        putString(&q[LEVEL_SERIES], DCM_SeriesInstanceUID, seriesUid);
    // The study's own answers are wanted at study level, and with a series
    // or instance search over every study.
    bool studyAnswers = level == LEVEL_STUDY || studyUid == nullptr;
    if (studyAnswers)
        for (const DcmTagKey &k : studyDefaults)
            if (!q[LEVEL_STUDY].tagExists(k))
                q[LEVEL_STUDY].insertEmptyElement(DcmTag(k));
    if (!q[LEVEL_STUDY].tagExists(DCM_StudyInstanceUID))
        q[LEVEL_STUDY].insertEmptyElement(DcmTag(DCM_StudyInstanceUID));
    if (includeAll && studyAnswers)
        for (const DcmTagKey &k : studyAll)
            q[LEVEL_STUDY].insertEmptyElement(DcmTag(k));
    for (const DcmTagKey &k : seriesDefaults)
        if (!q[LEVEL_SERIES].tagExists(k))
            q[LEVEL_SERIES].insertEmptyElement(DcmTag(k));
    for (const DcmTagKey &k : imageDefaults)
        if (!q[LEVEL_IMAGE].tagExists(k))
            q[LEVEL_IMAGE].insertEmptyElement(DcmTag(k));
    for (const DcmTagKey &k : included) {
        int l = levelOf(k);
        DcmDataset &d = q[l < 0 ? LEVEL_IMAGE : l];
        if (!d.tagExists(k))
            d.insertEmptyElement(DcmTag(k));
    }
    if (includeAll) {
        for (const DcmTagKey &k : archive_seriesRecordKeys())
            if (!q[LEVEL_SERIES].tagExists(k))
                q[LEVEL_SERIES].insertEmptyElement(DcmTag(k));
        for (const DcmTagKey &k : archive_imageRecordKeys())
            if (!q[LEVEL_IMAGE].tagExists(k))
                q[LEVEL_IMAGE].insertEmptyElement(DcmTag(k));
    }

    // Study matches, then the series or instances of each until enough.
    size_t want = limit != 0 ? offset + limit : 0;
    std::vector<std::unique_ptr<DcmDataset>> studies, found;
    if (runQuery(&q[LEVEL_STUDY], nullptr, level == LEVEL_STUDY ? want : 0, &studies) != 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Index unreadable");
    if (level == LEVEL_STUDY) {
        found = std::move(studies);
    } else {
        for (auto &st : studies) {
            const char *s = DCMTK_getTagString(st.get(), DCM_StudyInstanceUID);
            if (s == nullptr)
                continue;
            std::vector<std::unique_ptr<DcmDataset>> below;
            if (level == LEVEL_SERIES) {
                putString(&q[LEVEL_SERIES], DCM_StudyInstanceUID, s);
                runQuery(&q[LEVEL_SERIES], nullptr, 0, &below);
            } else {
                // The image query carries the series keys that fix a series.
                DcmDataset iq(q[LEVEL_IMAGE]);
                putString(&iq, DCM_StudyInstanceUID, s);
                if (seriesUid != nullptr)
                    putString(&iq, DCM_SeriesInstanceUID, seriesUid);
                runQuery(&iq, "IMAGE", want != 0 ? want - found.size() : 0, &below);
            }
            for (auto &b : below) {
                putString(b.get(), DCM_StudyInstanceUID, s);
                if (studyUid == nullptr)
                    mergeInto(b.get(), st.get());
                found.push_back(std::move(b));
            }
            if (want != 0 && found.size() >= want)
                break;
        }
    }

    // The page asked for, with the counts and retrieve URLs of each match.
    std::string root = web_rootUrl(rq);
    std::string body = "[";
    size_t end = limit != 0 ? std::min(found.size(), offset + limit) : found.size();
    for (size_t i = offset; i < end; i++) {
        DcmDataset *d = found[i].get();
        const char *s = DCMTK_getTagString(d, DCM_StudyInstanceUID);
        const char *e = DCMTK_getTagString(d, DCM_SeriesInstanceUID);
        std::string url = root + "/studies/" + (s ? s : "");
        long nSeries = 0, nInstances = 0;
        if (level == LEVEL_STUDY) {
            countInstances(s ? s : "", nullptr, &nSeries, &nInstances);
            putNumber(d, DCM_NumberOfStudyRelatedSeries, nSeries);
            putNumber(d, DCM_NumberOfStudyRelatedInstances, nInstances);
        } else if (level == LEVEL_SERIES) {
            url += std::string("/series/") + (e ? e : "");
            countInstances(s ? s : "", e ? e : "", &nSeries, &nInstances);
            putNumber(d, DCM_NumberOfSeriesRelatedInstances, nInstances);
        } else {
            const char *i = DCMTK_getTagString(d, DCM_SOPInstanceUID);
            webinstance inst{s ? s : "", e ? e : "", i ? i : ""};
            url += "/series/" + inst.series + "/instances/" + inst.instance;
            putString(d, DCM_SOPClassUID, storedSopClass(inst));
        }
        putString(d, DCM_RetrieveURL, url);
        putString(d, DCM_InstanceAvailability, "ONLINE");
        if (i > offset)
            body += ",";
        web_appendJson(d, "", &body);
    }
    body += "]";
    MHD_Response *r =
        MHD_create_response_from_buffer(body.size(), (void *)body.data(), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/dicom+json");
    if (fuzzy)
        MHD_add_response_header(r, "Warning",
                                "299 storeweb: \"fuzzymatching=true is not supported\"");
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}
