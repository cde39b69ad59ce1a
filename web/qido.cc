// QIDO-RS: searches for studies, series and instances. Every search is a
// C-FIND query run through the store's own query entry point
// (archive_query), so it matches exactly as the DICOM side does:
// a study query with the study-level keys, then per matching study a series
// or image query with the keys of that level. A filter of a level below
// the one searched keeps the matches that have a series or instance
// matching it (a sub-query that stops at the first); SOP Classes in Study
// is matched against the study's files as C-FIND does. A value the index
// would take as "match anything" because it is malformed (a date, time or
// UID list) is refused. The answers are written as DICOM JSON with the
// counts and retrieve URLs of each match.
#include <errno.h>
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
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
#include "web/metrics.h"
#include "web/qido.h"
#include "web/webserver.h"

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

static void putString(DcmDataset *ds, const DcmTagKey &key, const std::string &value);

// True for a VR whose value is bytes, not text or numbers: OB, OW, OF, OD,
// OL, OV, UN and the dictionary's "either" forms of pixel, overlay and LUT
// data (the repeating groups 60xx and 50xx take theirs from it too).
static bool binaryVR(DcmEVR vr)
{
    switch (vr) {
    case EVR_OB:
    case EVR_OW:
    case EVR_OF:
    case EVR_OD:
    case EVR_OL:
    case EVR_OV:
    case EVR_UN:
    case EVR_ox:
    case EVR_px:
    case EVR_lt:
    case EVR_pixelSQ:
    case EVR_pixelItem:
        return true;
    default:
        return false;
    }
}

// Runs query through the store (the caller holds the archive's serialisation) until max
// matches that keep accepts (0: all); each is appended to out (owned by the
// caller). 0, or -1 when the index cannot be read.
static int findLocked(DcmDataset *query, const char *level, size_t max,
                      const std::function<bool(DcmDataset *)> &keep,
                      std::vector<std::unique_ptr<DcmDataset>> *out)
{
    int r;
    archive_query walk(&web_archive, query, level);
    for (;;) {
        DcmDataset *match = nullptr;
        r = walk.next(&match);
        if (r != 0) {
            delete match;
            break;
        }
        std::unique_ptr<DcmDataset> m(match);
        if (keep && !keep(m.get()))
            continue;
        m->findAndDeleteElement(DCM_QueryRetrieveLevel);
        out->push_back(std::move(m));
        if (max != 0 && out->size() >= max) {
            // The caller needs no more: end the iteration here, without
            // walking the matches it would not send.
            walk.end();
            return 0;
        }
    }
    return r < 0 ? -1 : 0;
}

// True when keys holds a filter (anything but the level).
static bool hasFilters(DcmDataset &keys)
{
    return keys.card() > 1;
}

// Whether study (and series, when not null) holds an instance matching the
// image filters of a, in a series matching its series filters (the caller
// holds the archive's serialisation).
static bool hasMatchBelow(qidoargs &a, const char *study, const char *series, bool seriesFilters,
                          bool imageFilters)
{
    std::vector<std::unique_ptr<DcmDataset>> below;
    std::vector<std::string> seriesUids;
    if (series != nullptr) {
        seriesUids.push_back(series);
    } else if (seriesFilters) {
        DcmDataset sq(a.keys[QIDO_SERIES]);
        putString(&sq, DCM_StudyInstanceUID, study);
        sq.insertEmptyElement(DcmTag(DCM_SeriesInstanceUID));
        findLocked(&sq, nullptr, imageFilters ? 0 : 1, nullptr, &below);
        if (!imageFilters)
            return !below.empty();
        for (auto &b : below) {
            const char *e = dicomnet_getTagString(b.get(), DCM_SeriesInstanceUID);
            if (e != nullptr)
                seriesUids.push_back(e);
        }
        if (seriesUids.empty())
            return false;
    }
    if (!imageFilters)
        return true;
    // No series named: every series of the study.
    if (seriesUids.empty())
        seriesUids.push_back("");
    for (const std::string &e : seriesUids) {
        DcmDataset iq(a.keys[QIDO_IMAGE]);
        putString(&iq, DCM_StudyInstanceUID, study);
        if (!e.empty())
            putString(&iq, DCM_SeriesInstanceUID, e);
        below.clear();
        findLocked(&iq, "IMAGE", 1, nullptr, &below);
        if (!below.empty())
            return true;
    }
    return false;
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

// The SOP Class UID of a stored instance, from its file's meta header, and
// the transfer syntax it is stored in (empty when not known here).
static std::string storedSopClass(const webinstance &i, std::string *syntax)
{
    DcmFileFormat ff;
    OFString cls, ts;
    // Only the meta header is needed: reading stops at the first element
    // of the data set.
    if (ff.loadFileUntilTag(web_instancePath(i).c_str(), EXS_Unknown, EGL_noChange, 256,
                            ERM_autoDetect, DCM_SpecificCharacterSet)
            .good()) {
        ff.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, cls);
        ff.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, ts);
    }
    syntax->assign(ts.c_str());
    // An image in the object tier has its class in its stub.
    if (cls.empty())
        return archivetier_stubClass(web_instancePath(i).c_str());
    return cls.c_str();
}

// The matches of a search's page being sent (owned; each freed once
// written), the level searched and the retrieve URLs' root.
struct qidopage {
    std::vector<std::unique_ptr<DcmDataset>> matches;
    size_t next = 0;
    int level = QIDO_STUDY;
    std::string root;
    bool opened = false, closed = false;
};

// The next piece of a search's answer into out: "[", each match with its
// counts and retrieve URL as a JSON object (a comma before all but the
// first), then "]". False after that. Runs outside the archive's serialisation: the
// counts take it themselves.
static bool nextAnswer(qidopage *p, std::string *out)
{
    if (!p->opened) {
        p->opened = true;
        *out = "[";
        return true;
    }
    if (p->next < p->matches.size()) {
        std::unique_ptr<DcmDataset> d = std::move(p->matches[p->next]);
        const char *s = dicomnet_getTagString(d.get(), DCM_StudyInstanceUID);
        const char *e = dicomnet_getTagString(d.get(), DCM_SeriesInstanceUID);
        std::string url = p->root + "/studies/" + (s ? s : "");
        long nSeries = 0, nInstances = 0;
        if (p->level == QIDO_STUDY) {
            countInstances(s ? s : "", nullptr, &nSeries, &nInstances);
            putNumber(d.get(), DCM_NumberOfStudyRelatedSeries, nSeries);
            putNumber(d.get(), DCM_NumberOfStudyRelatedInstances, nInstances);
        } else if (p->level == QIDO_SERIES) {
            url += std::string("/series/") + (e ? e : "");
            countInstances(s ? s : "", e ? e : "", &nSeries, &nInstances);
            putNumber(d.get(), DCM_NumberOfSeriesRelatedInstances, nInstances);
        } else {
            const char *i = dicomnet_getTagString(d.get(), DCM_SOPInstanceUID);
            webinstance inst{s ? s : "", e ? e : "", i ? i : ""};
            url += "/series/" + inst.series + "/instances/" + inst.instance;
            std::string syntax;
            putString(d.get(), DCM_SOPClassUID, storedSopClass(inst, &syntax));
            // The stored syntax, HTJ2K's too, which the toolkit does not know.
            if (!syntax.empty())
                putString(d.get(), DCM_AvailableTransferSyntaxUID, syntax);
        }
        putString(d.get(), DCM_RetrieveURL, url);
        putString(d.get(), DCM_InstanceAvailability, "ONLINE");
        if (p->next > 0)
            *out += ",";
        p->next++;
        web_appendJson(d.get(), "", out);
        return true;
    }
    if (p->closed)
        return false;
    p->closed = true;
    *out = "]";
    return true;
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

// The level of a filter key in a search at level: a key the study query
// matches (Modality, a series attribute, only in a study search, where the
// index matches it against the study's modalities), a key of the series
// record, else an instance's (matched from the instance's file, as every
// attribute the records lack is).
static int levelOfFilter(const DcmTagKey &key, int level)
{
    if (key == DCM_Modality)
        return level == QIDO_STUDY ? QIDO_STUDY : QIDO_SERIES;
    if (archive_isStudyKey(key))
        return QIDO_STUDY;
    if (archive_seriesRecordHolds(key))
        return QIDO_SERIES;
    return QIDO_IMAGE;
}

// The level whose answers carry an includefield attribute: a field of the
// series or image record, else the study.
static int levelOfAnswer(const DcmTagKey &key)
{
    if (archive_seriesRecordHolds(key))
        return key == DCM_StudyInstanceUID ? QIDO_STUDY : QIDO_SERIES;
    if (archive_imageRecordHolds(key))
        return key == DCM_StudyInstanceUID ? QIDO_STUDY : QIDO_IMAGE;
    return QIDO_STUDY;
}

bool qido_parseArgs(const std::vector<std::pair<std::string, std::string>> &args, int level,
                    qidoargs *out, std::string *error)
{
    static const char *const levelNames[] = {"STUDY", "SERIES", "IMAGE"};
    for (int l = 0; l < 3; l++)
        dicomnet_Key_Add(&out->keys[l], 0x0008, 0x0052, levelNames[l]);
    for (const auto &a : args) {
        const std::string &k = a.first, &v = a.second;
        if (k == "limit" || k == "offset") {
            char *end = nullptr;
            errno = 0;
            long long n = strtoll(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 0 || errno != 0) {
                *error = "Bad limit or offset";
                return false;
            }
            (k == "limit" ? out->limit : out->offset) = (size_t)n;
            continue;
        }
        if (k == "fuzzymatching") {
            out->fuzzy = v == "true";
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
                    out->includeAll = true;
                else if (!name.empty() && parseTag(name, &key))
                    out->included.push_back(key);
                else if (!name.empty()) {
                    *error = "Unknown includefield";
                    return false;
                }
                i = j + 1;
            }
            continue;
        }
        DcmTagKey key;
        if (!parseTag(k, &key)) {
            *error = "Unknown query attribute";
            return false;
        }
        DcmTag tag(key);
        // What no query matches: the query's own elements, private ones,
        // group lengths, sequences, binary data (pixels, overlays, LUTs,
        // encapsulated documents: a key on them would be taken as "any
        // value" and match everything), and repeats of one attribute.
        if (key.getGroup() <= 0x0002 || (key.getGroup() & 1) != 0 || key.getElement() == 0 ||
            key == DCM_QueryRetrieveLevel || key == DCM_SpecificCharacterSet ||
            tag.getEVR() == EVR_SQ || tag.getEVR() == EVR_UNKNOWN || binaryVR(tag.getEVR())) {
            *error = "Attribute cannot be matched: " + k;
            return false;
        }
        if (!archive_wellFormedKey(tag, v.c_str())) {
            *error = "Malformed value of " + k;
            return false;
        }
        int l = key == DCM_SOPClassesInStudy ? QIDO_STUDY : levelOfFilter(key, level);
        if (out->keys[l].tagExists(key)) {
            *error = "Attribute given twice: " + k;
            return false;
        }
        if (key == DCM_SOPClassesInStudy)
            out->studyClasses = true;
        putString(&out->keys[l], key, v);
    }
    return true;
}

int qido_search(const webrequest &rq, const std::vector<std::string> &seg)
{
    metrics_add(METRICS_WEB_QUERIES);
    // Which resource: the level searched and the UIDs the path fixes.
    int level;
    const char *studyUid = nullptr, *seriesUid = nullptr;
    if (seg.size() == 1)
        level = seg[0] == "studies" ? QIDO_STUDY : seg[0] == "series" ? QIDO_SERIES : QIDO_IMAGE;
    else if (seg.size() == 3 && seg[0] == "studies" && seg[2] != "studies") {
        studyUid = seg[1].c_str();
        level = seg[2] == "series" ? QIDO_SERIES : QIDO_IMAGE;
    } else if (seg.size() == 5 && seg[0] == "studies" && seg[2] == "series" &&
               seg[4] == "instances") {
        studyUid = seg[1].c_str();
        seriesUid = seg[3].c_str();
        level = QIDO_IMAGE;
    } else
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    // A path names one study and one series, not a list or a pattern.
    if ((studyUid != nullptr && !archive_wellFormedUids(studyUid)) ||
        (seriesUid != nullptr && !archive_wellFormedUids(seriesUid)) ||
        (studyUid != nullptr && strpbrk(studyUid, "\\*") != nullptr) ||
        (seriesUid != nullptr && strpbrk(seriesUid, "\\*") != nullptr))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "A path names one UID per level");

    qidoargs a;
    std::string error;
    if (!qido_parseArgs(rq.args, level, &a, &error))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, error.c_str());
    // The filters of the levels below the one searched, before the answer
    // keys are added.
    bool seriesBelow = level < QIDO_SERIES && hasFilters(a.keys[QIDO_SERIES]);
    bool imageBelow = level < QIDO_IMAGE && hasFilters(a.keys[QIDO_IMAGE]);
    bool seriesFilters = hasFilters(a.keys[QIDO_SERIES]);
    // The keys of each level: the filters, then the answers added below
    // (universal keys, which the sub-queries of hasMatchBelow carry too).
    DcmDataset(&q)[3] = a.keys;
    // The study index filters a study's modalities through the Modality
    // key; ModalitiesInStudy names them in the answer.
    if (q[QIDO_STUDY].tagExists(DCM_ModalitiesInStudy) && !q[QIDO_STUDY].tagExists(DCM_Modality))
        putString(&q[QIDO_STUDY], DCM_Modality,
                  dicomnet_getTagString(&q[QIDO_STUDY], DCM_ModalitiesInStudy)
                      ? dicomnet_getTagString(&q[QIDO_STUDY], DCM_ModalitiesInStudy)
                      : "");
    if (studyUid != nullptr)
        putString(&q[QIDO_STUDY], DCM_StudyInstanceUID, studyUid);
    // A series UID given as a query key fixes the series as the path does.
    if (seriesUid == nullptr)
        seriesUid = dicomnet_getTagString(&q[QIDO_SERIES], DCM_SeriesInstanceUID);
    if (seriesUid != nullptr)
        putString(&q[QIDO_SERIES], DCM_SeriesInstanceUID, seriesUid);
    // The study's own answers are wanted at study level, and with a series
    // or instance search over every study.
    bool studyAnswers = level == QIDO_STUDY || studyUid == nullptr;
    if (studyAnswers)
        for (const DcmTagKey &k : studyDefaults)
            if (!q[QIDO_STUDY].tagExists(k))
                q[QIDO_STUDY].insertEmptyElement(DcmTag(k));
    if (!q[QIDO_STUDY].tagExists(DCM_StudyInstanceUID))
        q[QIDO_STUDY].insertEmptyElement(DcmTag(DCM_StudyInstanceUID));
    if (a.includeAll && studyAnswers)
        for (const DcmTagKey &k : studyAll)
            q[QIDO_STUDY].insertEmptyElement(DcmTag(k));
    for (const DcmTagKey &k : seriesDefaults)
        if (!q[QIDO_SERIES].tagExists(k))
            q[QIDO_SERIES].insertEmptyElement(DcmTag(k));
    for (const DcmTagKey &k : imageDefaults)
        if (!q[QIDO_IMAGE].tagExists(k))
            q[QIDO_IMAGE].insertEmptyElement(DcmTag(k));
    bool answerClasses = a.studyClasses || (level == QIDO_STUDY && a.includeAll);
    for (const DcmTagKey &k : a.included) {
        if (k == DCM_SOPClassesInStudy) {
            answerClasses = level == QIDO_STUDY || a.studyClasses;
            continue;
        }
        DcmDataset &d = q[levelOfAnswer(k)];
        if (!d.tagExists(k))
            d.insertEmptyElement(DcmTag(k));
    }
    if (a.includeAll) {
        for (const DcmTagKey &k : archive_seriesRecordKeys())
            if (!q[QIDO_SERIES].tagExists(k))
                q[QIDO_SERIES].insertEmptyElement(DcmTag(k));
        for (const DcmTagKey &k : archive_imageRecordKeys())
            if (!q[QIDO_IMAGE].tagExists(k))
                q[QIDO_IMAGE].insertEmptyElement(DcmTag(k));
    }
    if (answerClasses && !q[QIDO_STUDY].tagExists(DCM_SOPClassesInStudy))
        q[QIDO_STUDY].insertEmptyElement(DcmTag(DCM_SOPClassesInStudy));

    // An instance search answers at most QIDO_MAX_INSTANCES; when that is
    // less than the client asked for, one match more is looked for, to
    // tell whether the answer was cut.
    bool serverLimit = level == QIDO_IMAGE && (a.limit == 0 || a.limit > QIDO_MAX_INSTANCES);
    if (serverLimit)
        a.limit = QIDO_MAX_INSTANCES;
    // Study matches (kept when their classes and the levels below match),
    // then the series or instances of each until enough.
    size_t want = a.limit != 0 ? a.offset + a.limit + (serverLimit ? 1 : 0) : 0;
    std::vector<std::unique_ptr<DcmDataset>> studies, found;
    {
        web_refreshStudies();
        // Searches only read the index: they share the lock.
        archive_shared hold(&web_archive);
        auto keepStudy = [&](DcmDataset *m) {
            const char *s = dicomnet_getTagString(m, DCM_StudyInstanceUID);
            if (s == nullptr || !archive_addSOPClassesInStudy(&web_archive, &q[QIDO_STUDY], m))
                return false;
            return !(seriesBelow || imageBelow) ||
                   hasMatchBelow(a, s, nullptr, seriesBelow, imageBelow);
        };
        if (findLocked(&q[QIDO_STUDY], nullptr, level == QIDO_STUDY ? want : 0, keepStudy,
                       &studies) != 0) {
            metrics_add(METRICS_FAIL_QUERY);
            return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Index unreadable");
        }
        if (level == QIDO_STUDY)
            found = std::move(studies);
        for (auto &st : studies) {
            const char *s = dicomnet_getTagString(st.get(), DCM_StudyInstanceUID);
            std::vector<std::unique_ptr<DcmDataset>> below;
            if (level == QIDO_SERIES) {
                DcmDataset sq(q[QIDO_SERIES]);
                putString(&sq, DCM_StudyInstanceUID, s);
                auto keepSeries = [&](DcmDataset *m) {
                    const char *e = dicomnet_getTagString(m, DCM_SeriesInstanceUID);
                    return !imageBelow || (e != nullptr && hasMatchBelow(a, s, e, false, true));
                };
                findLocked(&sq, nullptr, want != 0 ? want - found.size() : 0, keepSeries, &below);
            } else {
                // The series whose instances are searched: those matching
                // the series filters (the one named among them), the one
                // named, or all.
                std::vector<std::string> series;
                if (seriesFilters) {
                    std::vector<std::unique_ptr<DcmDataset>> ms;
                    DcmDataset sq(q[QIDO_SERIES]);
                    putString(&sq, DCM_StudyInstanceUID, s);
                    findLocked(&sq, nullptr, 0, nullptr, &ms);
                    for (auto &m : ms)
                        if (const char *e = dicomnet_getTagString(m.get(), DCM_SeriesInstanceUID))
                            series.push_back(e);
                    if (series.empty())
                        continue;
                } else {
                    series.push_back(seriesUid != nullptr ? seriesUid : "");
                }
                for (const std::string &e : series) {
                    DcmDataset iq(q[QIDO_IMAGE]);
                    putString(&iq, DCM_StudyInstanceUID, s);
                    if (!e.empty())
                        putString(&iq, DCM_SeriesInstanceUID, e);
                    size_t room = want != 0 ? want - found.size() - below.size() : 0;
                    findLocked(&iq, "IMAGE", room, nullptr, &below);
                    if (want != 0 && found.size() + below.size() >= want)
                        break;
                }
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

    // The page asked for, with the counts and retrieve URLs of each match,
    // each written out and freed as the client takes the answer (made
    // whole, the text of 1,000 instances with every attribute was held
    // beside their data sets and copied once more).
    size_t end = a.limit != 0 ? std::min(found.size(), a.offset + a.limit) : found.size();
    bool cut = serverLimit && found.size() > end;
    std::shared_ptr<qidopage> page(new qidopage);
    page->level = level;
    page->root = web_rootUrl(rq);
    for (size_t i = a.offset; i < end; i++)
        page->matches.push_back(std::move(found[i]));
    found.clear();
    MHD_Response *r =
        web_pieceResponse(rq, [page](std::string *out) { return nextAnswer(page.get(), out); });
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/dicom+json");
    if (a.fuzzy)
        MHD_add_response_header(r, "Warning",
                                "299 storeweb: \"fuzzymatching=true is not supported\"");
    if (cut)
        MHD_add_response_header(r, "Warning",
                                "299 storeweb: \"The number of results exceeded the maximum "
                                "supported by the server. Additional results can be "
                                "requested.\"");
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}
