// Rejection notes and the hiding of the images they reject
// (core/rejection.h).
#include "core/rejection.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcitem.h"
#include "dcmtk/dcmdata/dcsequen.h"
#include "dcmtk/dcmdata/dcuid.h"

#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "index/indexbackend.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"
#include "store/localstore.h"
#include "store/tier.h"

static const struct {
    const char *code, *meaning;
} titles[] = {
    {"113001", "Rejected for Quality Reasons"},
    {"113037", "Rejected for Patient Safety Reasons"},
    {"113038", "Incorrect Modality Worklist Entry"},
    {"113039", "Data Retention Policy Expired"},
};

const char *rejection_meaning(const char *code)
{
    for (const auto &t : titles)
        if (code != nullptr && strcmp(code, t.code) == 0)
            return t.meaning;
    return nullptr;
}

static std::string text(DcmItem *item, const DcmTagKey &key)
{
    const char *v = dicomnet_getTagString(item, key);
    return v != nullptr ? v : "";
}

const char *rejection_title(DcmDataset *ds)
{
    if (text(ds, DCM_SOPClassUID) != REJECTION_KOS_CLASS)
        return nullptr;
    DcmItem *title = nullptr;
    if (ds->findAndGetSequenceItem(DCM_ConceptNameCodeSequence, title, 0).bad() || title == nullptr)
        return nullptr;
    if (text(title, DCM_CodingSchemeDesignator) != "DCM")
        return nullptr;
    std::string code = text(title, DCM_CodeValue);
    for (const auto &t : titles)
        if (code == t.code)
            return t.code;
    return nullptr;
}

int rejection_siteResend(FILE *log)
{
    char found[INSTALLPATH_SIZE];
    if (getfilepath(CONFIG_SEARCHPATH, REJECTION_CONFIG_FILENAME, F_OK, found, sizeof found) ==
        nullptr)
        return 0;
    int accept = 0;
    bool bad = false;
    sitefile_options options;
    sitefile_error err;
    int read = sitefile_read(
        found, options,
        [&](const sitefile_line &line) {
            if (line.key == "resend" && (line.value == "accept" || line.value == "refuse")) {
                accept = line.value == "accept";
                return true;
            }
            logprintf(LOGLEVEL_FATAL, log, "Rejection: %s line %d: bad setting \"%.63s\"\n", found,
                      line.number, line.key.c_str());
            bad = true;
            return false;
        },
        &err);
    if (read != 0)
        logprintf(LOGLEVEL_FATAL, log, "Rejection: cannot read %s: %s\n", found,
                  err.reason.c_str());
    return read != 0 || bad ? -1 : accept;
}

// --- the view ---

const std::set<std::string> &rejection_view::studyHidden(const std::string &study)
{
    auto it = hidden_.find(study);
    if (it != hidden_.end())
        return it->second;
    std::set<std::string> &set = hidden_[study];
    if (!listed_) {
        listed_ = true;
        std::vector<std::string> studies;
        // Unlistable: every study's file is tried instead.
        if (rejections_studies(archive_baseDir(ctx_), &studies) == 0)
            files_.insert(studies.begin(), studies.end());
        else
            files_.insert("*");
    }
    if (files_.count(study) == 0 && files_.count("*") == 0)
        return set;
    rejections_study entries;
    // A file that cannot be read hides nothing it holds: logged, and the
    // images stay found (a lying answer either way; this one loses nothing).
    if (rejections_read(archive_baseDir(ctx_), study, &entries) != 0)
        logprintf(LOGLEVEL_ERROR, ctx_->store->getLogfile(),
                  "Cannot read the rejections of study %s\n", study.c_str());
    for (const auto &e : entries)
        if (rejections_hides(e.second))
            set.insert(e.first.second);
    return set;
}

bool rejection_view::hidden(const std::string &study, const std::string &instance)
{
    if (!study.empty())
        return studyHidden(study).count(instance) != 0;
    if (!allRead_) {
        allRead_ = true;
        std::vector<std::string> studies;
        rejections_studies(archive_baseDir(ctx_), &studies);
        for (const std::string &s : studies) {
            const std::set<std::string> &h = studyHidden(s);
            all_.insert(h.begin(), h.end());
        }
    }
    return all_.count(instance) != 0;
}

bool rejection_view::anyIn(const std::string &study)
{
    return !studyHidden(study).empty();
}

bool rejection_view::keepPatient(DcmDataset *match)
{
    // Nothing rejected anywhere (the common case): one directory listing.
    studyHidden("");
    if (files_.empty())
        return true;
    // The patient's studies, by the keys that name the patient in the match.
    DcmDataset query;
    query.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    query.putAndInsertString(DCM_StudyInstanceUID, "");
    bool named = false;
    for (const DcmTagKey &key : {DCM_PatientID, DCM_IssuerOfPatientID, DCM_PatientName}) {
        std::string v = text(match, key);
        if (!v.empty() && v.find_first_of("*?\\") == std::string::npos) {
            query.putAndInsertString(key, v.c_str());
            named = true;
        }
    }
    if (!named)
        return true;
    std::unique_ptr<index_cursor> walk(ctx_->store->index().find(&query, "STUDY", 0));
    std::vector<std::string> studies;
    DcmDataset *study = nullptr;
    while (walk->next(&study) == 0) {
        studies.push_back(text(study, DCM_StudyInstanceUID));
        delete study;
        study = nullptr;
    }
    walk.reset();
    bool anyHidden = false;
    for (const std::string &s : studies)
        anyHidden = anyHidden || anyIn(s);
    if (!anyHidden)
        return true;
    long studiesLeft = 0, seriesLeft = 0, imagesLeft = 0;
    for (const std::string &s : studies) {
        std::vector<index_image> images;
        if (ctx_->store->index().studyImages(s.c_str(), &images) != INDEX_OK)
            return true;
        const std::set<std::string> &h = studyHidden(s);
        std::set<std::string> series;
        long left = 0;
        for (const index_image &im : images)
            if (h.count(im.instance) == 0) {
                left++;
                series.insert(im.series);
            }
        studiesLeft += left > 0 ? 1 : 0;
        seriesLeft += (long)series.size();
        imagesLeft += left;
    }
    if (studiesLeft == 0)
        return false;
    // The counts the match carries are those of the images left.
    const struct {
        DcmTagKey key;
        long value;
    } counts[] = {{DCM_NumberOfPatientRelatedStudies, studiesLeft},
                  {DCM_NumberOfPatientRelatedSeries, seriesLeft},
                  {DCM_NumberOfPatientRelatedInstances, imagesLeft}};
    for (const auto &c : counts)
        if (match->tagExists(c.key))
            match->putAndInsertString(c.key, std::to_string(c.value).c_str());
    return true;
}

bool rejection_view::keep(DcmDataset *match, const std::string &level)
{
    std::string study = text(match, DCM_StudyInstanceUID);
    if (level == "IMAGE") {
        std::string instance = text(match, DCM_SOPInstanceUID);
        return instance.empty() || !hidden(study, instance);
    }
    if (level == "PATIENT")
        return keepPatient(match);
    if ((level != "SERIES" && level != "STUDY") || study.empty() || !anyIn(study))
        return true;
    std::vector<index_image> images;
    if (ctx_->store->index().studyImages(study.c_str(), &images) != INDEX_OK)
        return true;
    const std::set<std::string> &h = studyHidden(study);
    std::string series = text(match, DCM_SeriesInstanceUID);
    std::set<std::string> seriesLeft;
    long left = 0;
    for (const index_image &im : images) {
        if (h.count(im.instance) != 0 || (level == "SERIES" && im.series != series))
            continue;
        left++;
        seriesLeft.insert(im.series);
    }
    if (left == 0)
        return false;
    // The counts the match carries are those of the images left.
    const DcmTagKey instancesKey =
        level == "SERIES" ? DCM_NumberOfSeriesRelatedInstances : DCM_NumberOfStudyRelatedInstances;
    if (match->tagExists(instancesKey))
        match->putAndInsertString(instancesKey, std::to_string(left).c_str());
    if (level == "STUDY" && match->tagExists(DCM_NumberOfStudyRelatedSeries))
        match->putAndInsertString(DCM_NumberOfStudyRelatedSeries,
                                  std::to_string(seriesLeft.size()).c_str());
    return true;
}

// --- ingest ---

int rejection_beforeStore(const archive_context *ctx, const std::string &study,
                          const std::string &series, const std::string &instance)
{
    rejections_study entries;
    if (study.empty() || rejections_read(archive_baseDir(ctx), study, &entries) != 0)
        return 0;
    for (const auto &e : entries) {
        if (e.first.second != instance || !rejections_hides(e.second))
            continue;
        if (!ctx->acceptRejectedAgain) {
            logprintf(LOGLEVEL_WARNING, ctx->store->getLogfile(),
                      "Image %s refused: rejected by the rejection note %s\n", instance.c_str(),
                      e.second.note.empty() ? "(purged)" : e.second.note.c_str());
            return ARCHIVE_REFUSED_REJECTED;
        }
        // Taken again: visible again once stored.
        if (rejections_append(archive_baseDir(ctx), study, "A " + series + " " + instance + "\n",
                              ctx->store->getLogfile()) != 0)
            return ARCHIVE_REFUSED_NOSPACE;
        logprintf(LOGLEVEL_NOTICE, ctx->store->getLogfile(),
                  "Image %s, rejected before, is taken again\n", instance.c_str());
        return 0;
    }
    return 0;
}

// --- the evidence of a large note, read from its stored file ---

// The images of one series that the evidence names.
struct evidenceSeries {
    std::string study, series;
    std::vector<std::string> instances;
};

// A reader of a stored file's data set (Explicit VR Little Endian, as the
// store keeps every data set) that follows only the evidence: the
// toolkit's parse of a sequence of 200,000 items would keep some hundred
// bytes per item, this keeps the UIDs. Every element is read through or
// passed over by its length; a sequence of undefined length is walked to
// its delimiter.
class evidenceScan
{
public:
    explicit evidenceScan(FILE *f) : f_(f) {}
    // The data set from the current offset to the file's end: false when it
    // is not well formed (cut short, nested beyond 64 levels).
    bool run(std::vector<evidenceSeries> *out)
    {
        out_ = out;
        return items(UINT64_MAX, LEVEL_TOP, 0, nullptr, nullptr);
    }

private:
    enum { LEVEL_TOP, LEVEL_STUDY, LEVEL_SERIES, LEVEL_SOP, LEVEL_OTHER };
    enum : uint32_t { UNDEFINED = 0xFFFFFFFF };

    bool header(uint16_t *group, uint16_t *elem, uint32_t *length, bool *sq)
    {
        unsigned char h[8];
        if (fread(h, 1, 8, f_) != 8)
            return false;
        *group = (uint16_t)(h[0] | h[1] << 8);
        *elem = (uint16_t)(h[2] | h[3] << 8);
        *sq = false;
        if (*group == 0xFFFE) { // item, item and sequence delimiters: no VR
            *length = (uint32_t)(h[4] | h[5] << 8 | h[6] << 16 | (uint32_t)h[7] << 24);
            return true;
        }
        std::string vr((const char *)h + 4, 2);
        static const char *const longVRs[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                              "SV", "UC", "UN", "UR", "UT", "UV"};
        bool isLong = false;
        for (const char *v : longVRs)
            isLong = isLong || vr == v;
        if (!isLong) {
            *length = (uint32_t)(h[6] | h[7] << 8);
            return true;
        }
        unsigned char l[4];
        if (fread(l, 1, 4, f_) != 4)
            return false;
        *length = (uint32_t)(l[0] | l[1] << 8 | l[2] << 16 | (uint32_t)l[3] << 24);
        // Undefined length: a sequence, or items of fragments (encapsulated
        // pixel data, and UN read as a sequence).
        *sq = vr == "SQ" || *length == UNDEFINED;
        return true;
    }

    bool skip(uint32_t n) { return fseeko(f_, (off_t)n, SEEK_CUR) == 0; }

    bool value(uint32_t n, std::string *v)
    {
        if (n > 1024)
            return skip(n);
        v->resize(n);
        if (n != 0 && fread(&(*v)[0], 1, n, f_) != n)
            return false;
        while (!v->empty() && (v->back() == '\0' || v->back() == ' '))
            v->pop_back();
        return true;
    }

    // The elements of a data set or an item of level, to end (an offset)
    // or, for an item of undefined length, to its delimiter. uid gets the
    // level's own UID; refs the images found below.
    bool items(uint64_t end, int level, int depth, std::string *uid,
               std::vector<evidenceSeries> *refs)
    {
        if (depth > 64)
            return false;
        for (;;) {
            off_t at = ftello(f_);
            if (at < 0)
                return false;
            if ((uint64_t)at >= end)
                return (uint64_t)at == end;
            uint16_t group, elem;
            uint32_t length;
            bool sq;
            if (!header(&group, &elem, &length, &sq))
                return end == UINT64_MAX && feof(f_) && level == LEVEL_TOP;
            if (group == 0xFFFE && elem == 0xE00D)
                return end == UINT64_MAX && level != LEVEL_TOP;
            uint32_t tag = (uint32_t)group << 16 | elem;
            if (sq) {
                int inner = LEVEL_OTHER;
                if (level == LEVEL_TOP && tag == 0x0040A375)
                    inner = LEVEL_STUDY;
                else if (level == LEVEL_STUDY && tag == 0x00081115)
                    inner = LEVEL_SERIES;
                else if (level == LEVEL_SERIES && tag == 0x00081199)
                    inner = LEVEL_SOP;
                if (inner == LEVEL_OTHER && length != UNDEFINED) {
                    if (!skip(length))
                        return false;
                    continue;
                }
                if (!sequence(length, inner, depth + 1, refs))
                    return false;
                continue;
            }
            if (length == UNDEFINED)
                return false;
            bool own = (level == LEVEL_STUDY && tag == 0x0020000D) ||
                       (level == LEVEL_SERIES && tag == 0x0020000E) ||
                       (level == LEVEL_SOP && tag == 0x00081155);
            if (!(own ? value(length, uid) : skip(length)))
                return false;
        }
    }

    // The items of a sequence of level inner, each one's UID set on the
    // images found below it.
    bool sequence(uint32_t length, int inner, int depth, std::vector<evidenceSeries> *refs)
    {
        off_t start = ftello(f_);
        uint64_t end = length == UNDEFINED ? UINT64_MAX : (uint64_t)start + length;
        for (;;) {
            off_t at = ftello(f_);
            if (at < 0)
                return false;
            if (end != UINT64_MAX && (uint64_t)at >= end)
                return (uint64_t)at == end;
            uint16_t group, elem;
            uint32_t itemLength;
            bool sq;
            if (!header(&group, &elem, &itemLength, &sq) || group != 0xFFFE)
                return false;
            if (elem == 0xE0DD)
                return end == UINT64_MAX;
            if (elem != 0xE000)
                return false;
            std::string uid;
            std::vector<evidenceSeries> below;
            uint64_t itemEnd =
                itemLength == UNDEFINED ? UINT64_MAX : (uint64_t)ftello(f_) + itemLength;
            if (inner == LEVEL_OTHER) {
                // Fragments or an item nobody reads: passed over.
                if (!(itemLength == UNDEFINED ? items(itemEnd, inner, depth, &uid, &below)
                                              : skip(itemLength)))
                    return false;
                continue;
            }
            // A series' images go into its group as they come (its UID
            // follows them in the item); a study's groups get its UID at
            // the item's end, then join the result.
            if (inner == LEVEL_SERIES)
                refs->push_back(evidenceSeries());
            std::vector<evidenceSeries> *into = inner == LEVEL_STUDY ? &below : refs;
            if (!items(itemEnd, inner, depth, &uid, into))
                return false;
            if (inner == LEVEL_SOP) {
                if (!refs->empty())
                    refs->back().instances.push_back(uid);
            } else if (inner == LEVEL_SERIES) {
                refs->back().series = uid;
            } else {
                for (evidenceSeries &g : below) {
                    g.study = uid;
                    out_->push_back(std::move(g));
                }
            }
        }
    }

    FILE *f_;
    std::vector<evidenceSeries> *out_ = nullptr;
};

// The evidence of the stored note at path: 0, or -1 (logged) when the file
// cannot be read or is not in the encoding the store keeps.
static int scanEvidence(const std::string &path, std::vector<evidenceSeries> *out, FILE *log)
{
    FILE *f = fopen(path.c_str(), "rbe");
    if (f == nullptr) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    unsigned char meta[65536];
    size_t n = fread(meta, 1, sizeof meta, f);
    std::string sopClass, xfer;
    size_t start = 0;
    // Every stored data set is Explicit VR Little Endian, or an
    // encapsulated syntax (explicit little endian as well).
    bool ok = archive_parseMeta(meta, n, &sopClass, &xfer, &start) == 1 &&
              xfer != "1.2.840.10008.1.2" && xfer != "1.2.840.10008.1.2.2" &&
              xfer != "1.2.840.10008.1.2.1.99" && fseeko(f, (off_t)start, SEEK_SET) == 0;
    evidenceScan scan(f);
    ok = ok && scan.run(out);
    fclose(f);
    if (!ok)
        logprintf(LOGLEVEL_ERROR, log, "Cannot read the evidence of the rejection note %s\n",
                  path.c_str());
    return ok ? 0 : -1;
}

int rejection_record(const archive_context *ctx, DcmDataset *note, const char *code)
{
    std::string noteUid = text(note, DCM_SOPInstanceUID);
    std::vector<evidenceSeries> refs;
    DcmSequenceOfItems *evidence = nullptr;
    if (note->findAndGetSequence(DCM_CurrentRequestedProcedureEvidenceSequence, evidence).good() &&
        evidence != nullptr) {
        for (unsigned long i = 0; i < evidence->card(); i++) {
            DcmItem *st = evidence->getItem(i);
            std::string study = text(st, DCM_StudyInstanceUID);
            DcmSequenceOfItems *seriesSeq = nullptr;
            if (st->findAndGetSequence(DCM_ReferencedSeriesSequence, seriesSeq).bad() ||
                seriesSeq == nullptr)
                continue;
            for (unsigned long j = 0; j < seriesSeq->card(); j++) {
                DcmItem *se = seriesSeq->getItem(j);
                std::string series = text(se, DCM_SeriesInstanceUID);
                DcmSequenceOfItems *sops = nullptr;
                if (se->findAndGetSequence(DCM_ReferencedSOPSequence, sops).bad() ||
                    sops == nullptr)
                    continue;
                refs.push_back(evidenceSeries{study, series, {}});
                for (unsigned long k = 0; k < sops->card(); k++)
                    refs.back().instances.push_back(
                        text(sops->getItem(k), DCM_ReferencedSOPInstanceUID));
            }
        }
    } else {
        // Not in the head the store parsed: an evidence of more items than
        // it picks (store/incoming.cc) is read from the stored file.
        std::string path =
            archive_imagePath(ctx, text(note, DCM_StudyInstanceUID).c_str(),
                              text(note, DCM_SeriesInstanceUID).c_str(), noteUid.c_str());
        if (scanEvidence(path, &refs, ctx->store->getLogfile()) != 0)
            return -1;
    }
    // The lines of each study, in the note's order, of images not hidden
    // yet, appended some thousand at a time (each line stands alone: a
    // crash between two appends leaves some images rejected, and the note's
    // repeat the rest).
    std::map<std::string, std::string> lines;
    std::map<std::string, size_t> counts;
    std::map<std::string, rejections_study> had;
    FILE *log = ctx->store->getLogfile();
    for (const evidenceSeries &g : refs) {
        // What is no UID is passed over (and never a file's name).
        if (archive_uidProblem(g.study.c_str()) != nullptr ||
            archive_uidProblem(g.series.c_str()) != nullptr)
            continue;
        auto known = had.find(g.study);
        if (known == had.end()) {
            known = had.emplace(g.study, rejections_study()).first;
            rejections_read(archive_baseDir(ctx), g.study, &known->second);
        }
        std::string &text = lines[g.study];
        for (const std::string &instance : g.instances) {
            // The note never hides itself.
            if (archive_uidProblem(instance.c_str()) != nullptr || instance == noteUid)
                continue;
            auto it = known->second.find(std::make_pair(g.series, instance));
            if (it != known->second.end() && rejections_hides(it->second))
                continue;
            text += "R " + g.series + " " + instance + " " + noteUid + " " + code + "\n";
            counts[g.study]++;
            if (text.size() >= 256 * 1024) {
                if (rejections_append(archive_baseDir(ctx), g.study, text, log) != 0)
                    return -1;
                text.clear();
            }
        }
    }
    for (const auto &l : lines) {
        if (!l.second.empty() &&
            rejections_append(archive_baseDir(ctx), l.first, l.second, log) != 0)
            return -1;
        if (counts[l.first] != 0)
            logprintf(LOGLEVEL_NOTICE, log,
                      "Rejection note %s (%s): %zu images of study %s rejected\n", noteUid.c_str(),
                      rejection_meaning(code), counts[l.first], l.first.c_str());
    }
    return 0;
}

int archive_purgeRejected(const archive_context *ctx, bool dryRun, FILE *out, FILE *log)
{
    std::vector<std::string> studies;
    if (rejections_studies(archive_baseDir(ctx), &studies) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot read %s/%s\n", archive_baseDir(ctx), REJECTIONS_DIR);
        return -1;
    }
    archive_refresh(ctx);
    int purged = 0;
    bool failed = false;
    for (const std::string &study : studies) {
        rejections_study entries;
        if (rejections_read(archive_baseDir(ctx), study, &entries) != 0) {
            failed = true;
            continue;
        }
        std::vector<index_image> images;
        if (ctx->store->index().studyImages(study.c_str(), &images) != INDEX_OK) {
            failed = true;
            continue;
        }
        std::string done;
        for (const auto &e : entries) {
            if (e.second.state != 'R')
                continue;
            const std::string &series = e.first.first, &instance = e.first.second;
            bool stored = std::any_of(images.begin(), images.end(), [&](const index_image &im) {
                return im.instance == instance;
            });
            if (dryRun) {
                if (stored && out != nullptr)
                    fprintf(out, "would purge %s %s %s\n", study.c_str(), series.c_str(),
                            instance.c_str());
                purged += stored;
                continue;
            }
            // The series the index has it in (a note may name another).
            std::string where = series;
            for (const index_image &im : images)
                if (im.instance == instance)
                    where = im.series;
            if (stored &&
                archive_delete(ctx, study.c_str(), where.c_str(), instance.c_str()) != 0) {
                failed = true;
                continue;
            }
            done += "P " + series + " " + instance + "\n";
            if (stored) {
                purged++;
                if (out != nullptr)
                    fprintf(out, "purged %s %s %s\n", study.c_str(), where.c_str(),
                            instance.c_str());
            }
        }
        if (!done.empty()) {
            archive_flush(ctx);
            if (rejections_append(archive_baseDir(ctx), study, done, log) != 0)
                failed = true;
        }
    }
    if (purged > 0 && !dryRun)
        logprintf(LOGLEVEL_NOTICE, log, "Purged %d rejected images\n", purged);
    return failed && purged == 0 ? -1 : purged;
}

// --- notes made by the archive ---

// Copies key from one item to another when it is there (else puts it empty:
// the note's type 2 attributes).
static void copyKey(DcmItem *from, DcmItem *to, const DcmTagKey &key)
{
    const char *v = from != nullptr ? dicomnet_getTagString(from, key) : nullptr;
    to->putAndInsertString(key, v != nullptr ? v : "");
}

static DcmItem *codeItem(const char *value, const char *meaning)
{
    DcmItem *c = new DcmItem();
    c->putAndInsertString(DCM_CodeValue, value);
    c->putAndInsertString(DCM_CodingSchemeDesignator, "DCM");
    c->putAndInsertString(DCM_CodeMeaning, meaning);
    return c;
}

int archive_rejectImages(const archive_context *ctx, const std::string &study,
                         const std::string &series, const char *code, std::string *noteUid,
                         size_t *count)
{
    const char *meaning = rejection_meaning(code);
    if (meaning == nullptr)
        abort(); // the caller offers the four titles only
    FILE *log = ctx->store->getLogfile();
    DcmDataset id;
    dicomnet_Key_Add(&id, 0x0008, 0x0052, series.empty() ? "STUDY" : "SERIES");
    dicomnet_Key_Add(&id, 0x0020, 0x000D, study.c_str());
    if (!series.empty())
        dicomnet_Key_Add(&id, 0x0020, 0x000E, series.c_str());
    std::vector<archive_image> images;
    if (archive_select(ctx, &id, &images) != ARCHIVE_SELECTED)
        return -1;
    // archive_select leaves hidden images out; notes stay visible.
    images.erase(std::remove_if(images.begin(), images.end(),
                                [](const archive_image &im) {
                                    return im.sopClass.empty() ||
                                           im.sopClass == REJECTION_KOS_CLASS;
                                }),
                 images.end());
    if (images.empty())
        return 1;
    // The patient and study of the note: one image's head (or a tiered
    // image's kept head).
    DcmFileFormat head;
    OFCondition read = head.loadFileUntilTag(images[0].path.c_str(), EXS_Unknown, EGL_noChange,
                                             DCM_MaxReadLength, ERM_autoDetect, DCM_PixelData);
    if (read.bad())
        read =
            head.loadFileUntilTag((images[0].path + TIER_HEAD_SUFFIX).c_str(), EXS_Unknown,
                                  EGL_noChange, DCM_MaxReadLength, ERM_autoDetect, DCM_PixelData);
    if (read.bad()) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot read %s for a rejection note: %s\n",
                  images[0].path.c_str(), read.text());
        return -1;
    }
    DcmDataset *src = head.getDataset();
    DcmDataset note;
    static const DcmTagKey copied[] = {
        DCM_SpecificCharacterSet,
        DCM_PatientName,
        DCM_PatientID,
        DCM_IssuerOfPatientID,
        DCM_PatientBirthDate,
        DCM_PatientSex,
        DCM_StudyDate,
        DCM_StudyTime,
        DCM_AccessionNumber,
        DCM_ReferringPhysicianName,
        DCM_StudyID,
        DCM_StudyDescription,
    };
    for (const DcmTagKey &k : copied)
        if (k != DCM_SpecificCharacterSet || src->tagExists(k))
            copyKey(src, &note, k);
    char uid[100];
    note.putAndInsertString(DCM_SOPClassUID, REJECTION_KOS_CLASS);
    *noteUid = dcmGenerateUniqueIdentifier(uid, SITE_INSTANCE_UID_ROOT);
    note.putAndInsertString(DCM_SOPInstanceUID, noteUid->c_str());
    note.putAndInsertString(DCM_StudyInstanceUID, study.c_str());
    note.putAndInsertString(DCM_SeriesInstanceUID,
                            dcmGenerateUniqueIdentifier(uid, SITE_SERIES_UID_ROOT));
    note.putAndInsertString(DCM_Modality, "KO");
    note.putAndInsertString(DCM_SeriesNumber, "9999");
    note.putAndInsertString(DCM_InstanceNumber, "1");
    note.putAndInsertString(DCM_Manufacturer, "Velto");
    note.insertEmptyElement(DCM_ReferencedPerformedProcedureStepSequence);
    char date[16], time_[16];
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    strftime(date, sizeof date, "%Y%m%d", &t);
    strftime(time_, sizeof time_, "%H%M%S", &t);
    note.putAndInsertString(DCM_ContentDate, date);
    note.putAndInsertString(DCM_ContentTime, time_);
    note.putAndInsertString(DCM_ValueType, "CONTAINER");
    note.putAndInsertString(DCM_ContinuityOfContent, "SEPARATE");
    note.insertSequenceItem(DCM_ConceptNameCodeSequence, codeItem(code, meaning));
    DcmItem *tmpl = new DcmItem();
    tmpl->putAndInsertString(DCM_MappingResource, "DCMR");
    tmpl->putAndInsertString(DCM_TemplateIdentifier, "2010");
    note.insertSequenceItem(DCM_ContentTemplateSequence, tmpl);
    // The evidence: the study, each series with its images; and the
    // content: one IMAGE item per image.
    DcmItem *evidence = new DcmItem();
    evidence->putAndInsertString(DCM_StudyInstanceUID, study.c_str());
    std::map<std::string, DcmItem *> seriesItems;
    for (const archive_image &im : images) {
        DcmItem *&se = seriesItems[im.series];
        if (se == nullptr) {
            se = new DcmItem();
            se->putAndInsertString(DCM_SeriesInstanceUID, im.series.c_str());
            evidence->insertSequenceItem(DCM_ReferencedSeriesSequence, se, -2);
        }
        DcmItem *ref = new DcmItem();
        ref->putAndInsertString(DCM_ReferencedSOPClassUID, im.sopClass.c_str());
        ref->putAndInsertString(DCM_ReferencedSOPInstanceUID, im.instance.c_str());
        se->insertSequenceItem(DCM_ReferencedSOPSequence, ref, -2);
        DcmItem *content = new DcmItem();
        content->putAndInsertString(DCM_RelationshipType, "CONTAINS");
        content->putAndInsertString(DCM_ValueType, "IMAGE");
        content->insertSequenceItem(DCM_ReferencedSOPSequence, new DcmItem(*ref));
        note.insertSequenceItem(DCM_ContentSequence, content, -2);
    }
    note.insertSequenceItem(DCM_CurrentRequestedProcedureEvidenceSequence, evidence);
    unsigned status = archive_ingest(ctx, &note, 0, nullptr);
    if (status != ARCHIVE_STORED) {
        logprintf(LOGLEVEL_ERROR, log, "The rejection note for study %s was not stored (0x%04x)\n",
                  study.c_str(), status);
        return -1;
    }
    archive_flush(ctx);
    *count = images.size();
    return 0;
}
