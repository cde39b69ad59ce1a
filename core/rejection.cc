// Rejection notes and the hiding of the images they reject
// (core/rejection.h).
#include "core/rejection.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcitem.h"
#include "dcmtk/dcmdata/dcsequen.h"

#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "index/indexbackend.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"
#include "store/localstore.h"

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
