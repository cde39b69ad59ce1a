// Rejection notes and the hiding of the images they reject
// (core/rejection.h).
#include "core/rejection.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>

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

bool rejection_view::keep(DcmDataset *match, const std::string &level)
{
    std::string study = text(match, DCM_StudyInstanceUID);
    if (level == "IMAGE") {
        std::string instance = text(match, DCM_SOPInstanceUID);
        return instance.empty() || !hidden(study, instance);
    }
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

int rejection_record(const archive_context *ctx, DcmDataset *note, const char *code)
{
    std::string noteUid = text(note, DCM_SOPInstanceUID);
    // The lines of each study, in the note's order, of images not hidden yet.
    std::map<std::string, std::string> lines;
    std::map<std::string, size_t> counts;
    DcmSequenceOfItems *evidence = nullptr;
    if (note->findAndGetSequence(DCM_CurrentRequestedProcedureEvidenceSequence, evidence).good() &&
        evidence != nullptr) {
        for (unsigned long i = 0; i < evidence->card(); i++) {
            DcmItem *st = evidence->getItem(i);
            std::string study = text(st, DCM_StudyInstanceUID);
            if (archive_uidProblem(study.c_str()) != nullptr)
                continue;
            rejections_study had;
            rejections_read(archive_baseDir(ctx), study, &had);
            DcmSequenceOfItems *seriesSeq = nullptr;
            if (st->findAndGetSequence(DCM_ReferencedSeriesSequence, seriesSeq).bad() ||
                seriesSeq == nullptr)
                continue;
            for (unsigned long j = 0; j < seriesSeq->card(); j++) {
                DcmItem *se = seriesSeq->getItem(j);
                std::string series = text(se, DCM_SeriesInstanceUID);
                if (archive_uidProblem(series.c_str()) != nullptr)
                    continue;
                DcmSequenceOfItems *sops = nullptr;
                if (se->findAndGetSequence(DCM_ReferencedSOPSequence, sops).bad() ||
                    sops == nullptr)
                    continue;
                for (unsigned long k = 0; k < sops->card(); k++) {
                    std::string instance = text(sops->getItem(k), DCM_ReferencedSOPInstanceUID);
                    // The note never hides itself.
                    if (archive_uidProblem(instance.c_str()) != nullptr || instance == noteUid)
                        continue;
                    auto it = had.find(std::make_pair(series, instance));
                    if (it != had.end() && rejections_hides(it->second))
                        continue;
                    lines[study] +=
                        "R " + series + " " + instance + " " + noteUid + " " + code + "\n";
                    counts[study]++;
                }
            }
        }
    }
    for (const auto &l : lines) {
        if (rejections_append(archive_baseDir(ctx), l.first, l.second, ctx->store->getLogfile()) !=
            0)
            return -1;
        logprintf(LOGLEVEL_NOTICE, ctx->store->getLogfile(),
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
