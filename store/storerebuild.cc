// The index rebuild (storeindex rebuild): reads every image file of the UID tree, in the order
// of the files' modification times, enters it in new study, series and image
// records as the store's write path would have, and replaces the index
// files by rename.
#include "store/storerebuild.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dicomnet/dicomnet.h"
#include "index/studyindex.h"
#include "index/studykeys.h"
#include "runtime/durablefile.h"
#include "store/checksums.h"
#include "store/localstore.h"
#include "store/storetree.h"
#include "store/tier.h"

struct rebuildctx {
    FILE *out;
    FILE *err;
    int problems; // files that could not be entered or removed
};

// New records of one series: its record from the newest image, and one
// image record per image, in the order the images were entered.
struct seriesbuild {
    bool any = false;
    long order = 0; // position of its first image
    seriesrecord record;
    std::vector<imagerecord> images;
};

// New records of one study (parallel to storetree_study).
struct studybuild {
    bool any = false;
    long order = 0; // position of its first image
    studyhash hash;
    studydata data;
    std::vector<seriesbuild> series; // parallel to storetree_study::series
};

// One image file to enter, with its place in the tree.
struct imagefile {
    std::string path;
    std::string sop;
    size_t study;
    size_t series;
    struct timespec mtime;
    bool tiered = false; // in the object tier: read through its stub
};

static void report(FILE *stream, const char *kind, const std::string &path, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

static void report(FILE *stream, const char *kind, const std::string &path, const char *fmt, ...)
{
    if (stream == nullptr)
        return;
    fprintf(stream, "%s: %s: ", kind, path.c_str());
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stream, fmt, ap);
    va_end(ap);
    fputc('\n', stream);
}

// Writes len bytes to the temporary file of f for path ("path.PID.tmp",
// flushed to disk), owned like the directory it lies in when run as root,
// so the server can go on writing the index. 0, or -1 (reported; the
// temporary file goes with f).
static int writeTemp(rebuildctx *ctx, durable_file *f, const std::string &path, const void *data,
                     size_t len)
{
    struct stat st;
    if (f->create(path, 0664) != 0 ||
        (geteuid() == 0 && stat(durable_parent(path).c_str(), &st) == 0 &&
         fchown(f->fd(), st.st_uid, st.st_gid) != 0) ||
        f->write(data, len) != 0 || f->flush() != 0) {
        report(ctx->err, "error", f->tempPath(), "cannot write: %s", strerror(errno));
        return -1;
    }
    return 0;
}

// Moves a temporary file written by writeTemp into place and flushes the
// directory it went into. 0, or -1.
static int commitTemp(rebuildctx *ctx, durable_file *f)
{
    if (f->commit() == 0)
        return 0;
    report(ctx->err, "error", f->path(), "cannot rename %s into place: %s", f->tempPath().c_str(),
           strerror(errno));
    return -1;
}

// Replaces the index file at path by the records (or removes it when there
// are none). 0, or -1 when it could not be written.
static int replaceIndex(rebuildctx *ctx, const std::string &path, const void *records, size_t len)
{
    durable_file f;
    if (len == 0) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            report(ctx->err, "error", path, "cannot remove: %s", strerror(errno));
            return -1;
        }
        return 0;
    }
    if (writeTemp(ctx, &f, path, records, len) != 0)
        return -1;
    return commitTemp(ctx, &f);
}

// Removes a file left by an unfinished write or delete.
static void removeStale(rebuildctx *ctx, const std::string &path, const char *what)
{
    if (unlink(path.c_str()) == 0 || errno == ENOENT) {
        report(ctx->out, "removed", path, "%s", what);
        return;
    }
    ctx->problems++;
    report(ctx->out, "not-removed", path, "%s: %s", what, strerror(errno));
}

// Removes an emptied directory; one that still holds files (images that
// could not be entered) stays, as they were reported already.
static void removeEmptyDir(rebuildctx *ctx, const std::string &dir, const char *what)
{
    if (rmdir(dir.c_str()) == 0) {
        report(ctx->out, "removed", dir, "%s", what);
        return;
    }
    if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
        ctx->problems++;
        report(ctx->out, "not-removed", dir, "%s: %s", what, strerror(errno));
    }
}

// Makes a directory (an existing one counts as made), owned like B/uid when
// run as root, so that the server can go on creating studies in it.
static int makeDir(const storetree &tree, const std::string &dir)
{
    struct stat st;
    if (mkdir(dir.c_str(), 0777) != 0)
        return errno == EEXIST ? 0 : -1;
    if (geteuid() == 0 && stat(tree.uidDir.c_str(), &st) == 0 &&
        chown(dir.c_str(), st.st_uid, st.st_gid) != 0)
        return -1;
    return 0;
}

// Moves a study directory found in another bucket than its own to its own,
// where the server looks for it. Returns 0 when the study is (now) in place,
// -1 when it stays where it is (reported): then it must not be entered.
static int placeStudy(rebuildctx *ctx, LocalStore *store, const storetree &tree,
                      storetree_study *study)
{
    std::string bucket = store->GetUidBasePath(study->uid.c_str()).c_str();
    if (bucket == tree.uidDir + "/" + study->bucket)
        return 0;
    std::string target = store->GetUidPath(study->uid.c_str(), nullptr, nullptr, 1).c_str();
    std::string old = study->dir;
    struct stat st;
    // rename() would also replace an empty directory at the target; a study
    // directory that is already there is never merged into.
    if (lstat(target.c_str(), &st) == 0 || errno != ENOENT) {
        report(ctx->out, "skipped", old,
               "study directory in the wrong bucket, and %s exists; left outside the index",
               target.c_str());
        return -1;
    }
    if (makeDir(tree, bucket.substr(0, bucket.rfind('/'))) != 0 || makeDir(tree, bucket) != 0 ||
        durable_rename(old.c_str(), target.c_str()) != 0) {
        report(ctx->out, "skipped", old,
               "study directory in the wrong bucket, cannot move it to %s: %s", target.c_str(),
               strerror(errno));
        return -1;
    }
    report(ctx->out, "moved", old, "study directory into its own bucket, %s", target.c_str());
    auto rebase = [&](std::string &path) { path = target + path.substr(old.size()); };
    rebase(study->dir);
    for (std::string &tmp : study->stale)
        rebase(tmp);
    for (storetree_series &series : study->series) {
        rebase(series.dir);
        for (std::string &tmp : series.stale)
            rebase(tmp);
    }
    size_t cut = tree.uidDir.size() + 1;
    study->bucket = bucket.substr(cut);
    return 0;
}

// Reads one image file and merges it into the new records. Returns 0, or
// -1 when the file cannot be entered (reported).
static int enterImage(rebuildctx *ctx, LocalStore *store, const storetree &tree,
                      std::vector<studybuild> *builds, const imagefile &file, long order)
{
    const storetree_study &study = tree.studies[file.study];
    const storetree_series &series = study.series[file.series];
    DcmFileFormat ff;
    // An image in the object tier is read from the head kept beside it, or
    // else from its copy fetched into the tier's cache; its stub stays.
    tier_file held;
    std::string head = file.path + TIER_HEAD_SUFFIX;
    if (file.tiered && access(head.c_str(), R_OK) == 0)
        held.path = head;
    else if (file.tiered && tier_openImage(store->getTier(), file.path.c_str(), &held) != TIER_OK) {
        report(ctx->out, "skipped", file.path + TIER_STUB_SUFFIX,
               "in the object tier, which cannot give it now; run rebuild again once it can");
        return -1;
    }
    OFCondition cond = ff.loadFile(file.tiered ? held.path.c_str() : file.path.c_str());
    if (cond.bad()) {
        report(ctx->out, "skipped", file.path,
               "not a readable DICOM file (%s); left outside the index", cond.text());
        return -1;
    }
    DcmDataset *ds = ff.getDataset();
    const char *uids[3] = {dicomnet_getTagString(ds, DCM_StudyInstanceUID),
                           dicomnet_getTagString(ds, DCM_SeriesInstanceUID),
                           dicomnet_getTagString(ds, DCM_SOPInstanceUID)};
    const std::string *wanted[3] = {&study.uid, &series.uid, &file.sop};
    static const char *names[3] = {"study", "series", "SOP instance"};
    for (int i = 0; i < 3; i++) {
        if (uids[i] == nullptr || *wanted[i] != uids[i]) {
            report(ctx->out, "skipped", file.path,
                   "its %s UID is %s, not %s as its place says; left outside the index", names[i],
                   uids[i] ? uids[i] : "(none)", wanted[i]->c_str());
            return -1;
        }
    }

    studybuild &sb = (*builds)[file.study];
    if (!sb.any) {
        sb.any = true;
        sb.order = order;
        memset(&sb.hash, 0, sizeof sb.hash);
        memset(&sb.data, 0, sizeof sb.data);
    }
    // The same merge as the write path: each image updates the study's
    // records in place, the newest one last.
    store->studyDataMake(ds, &sb.hash, &sb.data);

    seriesbuild &rb = sb.series[file.series];
    if (!rb.any) {
        rb.any = true;
        rb.order = order;
    }
    studyindex_makeSeries(ds, &rb.record);
    imagerecord image;
    studyindex_makeImage(ds, &image);
    rb.images.push_back(image);
    return 0;
}

// The checksum files are kept as they are (they hold what was recorded at
// ingest, which nothing can compute again once an image is damaged): only
// an image found without a line gets one, computed from its file, or taken
// from the stub of a moved image, and flushed.
static void addChecksums(rebuildctx *ctx, const storetree &tree,
                         const std::vector<imagefile> &files)
{
    std::map<std::string, std::map<std::string, checksums_record>> read;
    long added = 0;
    for (const imagefile &file : files) {
        const std::string &dir = tree.studies[file.study].series[file.series].dir;
        auto known = read.find(dir);
        if (known == read.end()) {
            known = read.emplace(dir, std::map<std::string, checksums_record>()).first;
            if (checksums_read(dir, &known->second) != 0) {
                ctx->problems++;
                report(ctx->out, "unreadable", checksums_path(dir), "cannot be read: %s",
                       strerror(errno));
                continue;
            }
        }
        if (known->second.count(file.sop) != 0)
            continue;
        checksums_record rec;
        tier_stub stub;
        if (file.tiered && tier_readStub(file.path.c_str(), &stub) == 0) {
            rec.size = stub.size;
            rec.sha256 = stub.sha256;
        } else if (file.tiered || checksums_computePath(file.path, &rec) != 0) {
            ctx->problems++;
            report(ctx->out, "no-checksum", file.path, "cannot be read for its checksum");
            continue;
        }
        if (checksums_append(dir, file.sop, rec, ctx->out, true) != 0) {
            ctx->problems++;
            continue;
        }
        known->second[file.sop] = rec;
        added++;
    }
    if (added > 0)
        report(ctx->out, "checksums", tree.uidDir, "%ld image(s) given a checksum line", added);
}

// Writes the series and image indexes of one study and removes emptied
// series. Returns 0, or -1 when an index file could not be written.
static int writeStudy(rebuildctx *ctx, const storetree_study &study, studybuild *sb,
                      long *seriesCount, long *imageCount)
{
    std::vector<size_t> order;
    for (size_t r = 0; r < study.series.size(); r++) {
        const storetree_series &series = study.series[r];
        seriesbuild &rb = sb->series[r];
        if (replaceIndex(ctx, series.dir + "/IMAGEINDEX.dat", rb.images.data(),
                         rb.images.size() * sizeof(imagerecord)) != 0)
            return -1;
        if (!rb.any) {
            // The checksum lines of a series without any image (file or
            // stub) name nothing: they go with the directory.
            if (series.images.empty() && series.tiered.empty())
                unlink(checksums_path(series.dir).c_str());
            removeEmptyDir(ctx, series.dir, "series directory without images");
            continue;
        }
        order.push_back(r);
        *imageCount += (long)rb.images.size();
    }
    std::sort(order.begin(), order.end(),
              [sb](size_t a, size_t b) { return sb->series[a].order < sb->series[b].order; });
    std::vector<seriesrecord> records;
    for (size_t r : order)
        records.push_back(sb->series[r].record);
    *seriesCount += (long)records.size();
    if (replaceIndex(ctx, study.dir + "/SERIESINDEX.dat", records.data(),
                     records.size() * sizeof(seriesrecord)) != 0)
        return -1;
    if (records.empty())
        removeEmptyDir(ctx, study.dir, "study directory without images");
    return 0;
}

// Writes both study files under temporary names and then renames them into
// place, the data file first. Returns 0, or -1 with the old pair untouched
// unless the second rename failed.
static int writeStudyIndex(rebuildctx *ctx, const storetree &tree,
                           const std::vector<studybuild> &builds, long *studyCount)
{
    std::vector<size_t> order;
    for (size_t s = 0; s < builds.size(); s++)
        if (builds[s].any)
            order.push_back(s);
    std::sort(order.begin(), order.end(),
              [&builds](size_t a, size_t b) { return builds[a].order < builds[b].order; });
    std::vector<studyhash> hashes;
    std::vector<studydata> datas;
    for (size_t s : order) {
        hashes.push_back(builds[s].hash);
        datas.push_back(builds[s].data);
    }
    *studyCount = (long)order.size();
    std::string hashPath = tree.uidDir + "/STUDYINDEX.hash";
    std::string dataPath = tree.uidDir + "/STUDYINDEX.dat";
    durable_file dataFile, hashFile;
    if (writeTemp(ctx, &dataFile, dataPath, datas.data(), datas.size() * sizeof(studydata)) != 0 ||
        writeTemp(ctx, &hashFile, hashPath, hashes.data(), hashes.size() * sizeof(studyhash)) != 0)
        return -1;
    // Two renames cannot be one step: between them the pair is out of step.
    // The marker, removed only after both, lets the check name that case.
    if (commitTemp(ctx, &dataFile) != 0)
        return -1;
    return commitTemp(ctx, &hashFile);
}

// Images whose stub was lost (a head, no file, no stub) get it back from
// their objects, so that they are entered instead of dropped.
static void recoverStubs(rebuildctx *ctx, storetree *tree, const tier_config &tier)
{
    tier_config cfg = tier;
    bool verified = false;
    for (storetree_study &study : tree->studies)
        for (storetree_series &series : study.series)
            for (const std::string &sop : series.headed) {
                if (std::binary_search(series.images.begin(), series.images.end(), sop) ||
                    std::find(series.tiered.begin(), series.tiered.end(), sop) !=
                        series.tiered.end())
                    continue;
                std::string path = series.dir + "/image_" + sop + ".dcm";
                char why[512] = "";
                if (!verified && tier_claim(&cfg, TIER_VERIFY, why, sizeof why) != TIER_OWNED) {
                    ctx->problems++;
                    report(ctx->out, "skipped", path + TIER_HEAD_SUFFIX,
                           "a head without its stub, and the tier cannot say whose its object "
                           "is: %s",
                           why);
                    continue;
                }
                verified = true;
                int r = tier_recoverImage(cfg, path.c_str(), tier_keyOfPath(cfg, path.c_str()),
                                          ctx->err);
                if (r == TIER_OK) {
                    series.tiered.push_back(sop);
                    report(ctx->out, "recovered", path + TIER_STUB_SUFFIX,
                           "the lost stub, from its object");
                } else if (r != TIER_MISSING) {
                    ctx->problems++;
                    report(ctx->out, "skipped", path + TIER_HEAD_SUFFIX,
                           "a head without its stub, whose object cannot be looked up now; run "
                           "rebuild again once it can");
                }
            }
}

int storerebuild_run(const char *base, FILE *out, FILE *err, const tier_config *tier)
{
    rebuildctx ctx{out, err, 0};
    storetree tree;
    if (storetree_scan(base, &tree) != 0) {
        report(err, "error", base, "cannot read the base directory");
        return STOREREBUILD_FAILED;
    }
    if (!tree.exists) {
        report(out, "rebuilt", base, "the store holds nothing yet");
        return STOREREBUILD_OK;
    }
    if (!tree.unreadable.empty()) {
        // The images of a directory that cannot be listed would drop out of
        // the index: change nothing.
        for (const std::string &dir : tree.unreadable)
            report(err, "error", dir, "directory cannot be listed; nothing rebuilt");
        return STOREREBUILD_FAILED;
    }
    LocalStore store(base);
    // The tier's objects of images it removes go too (a delete finished).
    store.setTier(tier != nullptr ? std::unique_ptr<tier_config>(new tier_config(*tier)) : nullptr);
    if (!tree.journals.empty()) {
        // Images that a dead server had answered but not yet flushed into
        // the tree are written into it first, as the server's start would.
        int replayed = store.ReplayJournals();
        if (replayed < 0) {
            report(err, "error", tree.uidDir, "an image journal cannot be written into the store");
            return STOREREBUILD_FAILED;
        }
        if (replayed > 0) {
            report(out, "replayed", tree.uidDir, "%d image(s) from image journals", replayed);
            if (storetree_scan(base, &tree) != 0) {
                report(err, "error", base, "cannot read the base directory");
                return STOREREBUILD_FAILED;
            }
        }
    }
    if (!tree.intents.empty()) {
        // A delete cut short is finished first, as the server's start would:
        // the rebuild then indexes what it left, not what it had begun to remove.
        for (const std::string &intent : tree.intents)
            report(out, "finished", intent, "delete cut short");
        store.FinishDeletes();
        if (storetree_scan(base, &tree) != 0) {
            report(err, "error", base, "cannot read the base directory");
            return STOREREBUILD_FAILED;
        }
    }
    // A store cut short after its image was placed is finished as the
    // server's start would (the rebuild would index the image anyway); its
    // temporary file goes.
    if (store.FinishStores() > 0 && storetree_scan(base, &tree) != 0) {
        report(err, "error", base, "cannot read the base directory");
        return STOREREBUILD_FAILED;
    }
    for (size_t s = 0; s < tree.studies.size();) {
        if (placeStudy(&ctx, &store, tree, &tree.studies[s]) == 0) {
            s++;
            continue;
        }
        ctx.problems++;
        tree.studies.erase(tree.studies.begin() + (long)s);
    }
    if (tier != nullptr)
        recoverStubs(&ctx, &tree, *tier);
    std::string marker = tree.uidDir + "/" STORETREE_REBUILD_MARKER;
    long studyCount = 0, seriesCount = 0, imageCount = 0;
    int fd;

    std::vector<imagefile> files;
    std::vector<studybuild> builds(tree.studies.size());
    for (size_t s = 0; s < tree.studies.size(); s++) {
        const storetree_study &study = tree.studies[s];
        builds[s].series.resize(study.series.size());
        for (size_t r = 0; r < study.series.size(); r++) {
            const storetree_series &series = study.series[r];
            std::vector<std::string> sops = series.images;
            std::set<std::string> local(series.images.begin(), series.images.end());
            // Moved images (a stub, no file) are entered like the others.
            for (const std::string &sop : series.tiered)
                if (local.count(sop) == 0)
                    sops.push_back(sop);
            for (const std::string &sop : sops) {
                imagefile f;
                f.path = series.dir + "/image_" + sop + ".dcm";
                f.sop = sop;
                f.study = s;
                f.series = r;
                f.tiered = local.count(sop) == 0;
                struct stat st;
                if (stat(f.tiered ? (f.path + TIER_STUB_SUFFIX).c_str() : f.path.c_str(), &st) !=
                    0) {
                    ctx.problems++;
                    report(out, "skipped", f.path, "cannot be read: %s", strerror(errno));
                    continue;
                }
                f.mtime = st.st_mtim;
                files.push_back(f);
            }
        }
    }
    // The write path enters images in the order they arrive; the files'
    // modification times are the best record of that order left.
    std::sort(files.begin(), files.end(), [](const imagefile &a, const imagefile &b) {
        if (a.mtime.tv_sec != b.mtime.tv_sec)
            return a.mtime.tv_sec < b.mtime.tv_sec;
        if (a.mtime.tv_nsec != b.mtime.tv_nsec)
            return a.mtime.tv_nsec < b.mtime.tv_nsec;
        return a.path < b.path;
    });
    for (size_t k = 0; k < files.size(); k++)
        if (enterImage(&ctx, &store, tree, &builds, files[k], (long)k) != 0)
            ctx.problems++;
    addChecksums(&ctx, tree, files);

    for (const storetree_study &study : tree.studies) {
        for (const std::string &tmp : study.stale)
            removeStale(&ctx, tmp, "temporary file of an unfinished write");
        for (const storetree_series &series : study.series)
            for (const std::string &tmp : series.stale)
                removeStale(&ctx, tmp, "temporary file of an unfinished write");
    }
    for (const std::string &tmp : tree.stale)
        removeStale(&ctx, tmp, "temporary file of an unfinished write");
    for (const std::string &del : tree.deleteme)
        removeStale(&ctx, del, "index file of an unfinished delete");

    // The marker is on disk before the first index file is replaced.
    fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0 || close(fd) != 0 || durable_flushDir(tree.uidDir.c_str()) != 0) {
        report(err, "error", marker, "cannot create: %s", strerror(errno));
        return STOREREBUILD_FAILED;
    }
    for (size_t s = 0; s < tree.studies.size(); s++)
        if (writeStudy(&ctx, tree.studies[s], &builds[s], &seriesCount, &imageCount) != 0)
            return STOREREBUILD_FAILED;
    if (writeStudyIndex(&ctx, tree, builds, &studyCount) != 0)
        return STOREREBUILD_FAILED;
    // The key digests of the new study files; should this fail, the old
    // keys file is stale and the server rebuilds it when it loads.
    studykeys_rebuild((tree.uidDir + "/STUDYINDEX").c_str(), studyCount, nullptr, err);
    // The marker goes only once the new files' names are on disk (each
    // rename above flushed its directory), and its removal is flushed too.
    if (unlink(marker.c_str()) != 0 || durable_flushDir(tree.uidDir.c_str()) != 0) {
        report(err, "error", marker, "cannot remove: %s", strerror(errno));
        return STOREREBUILD_FAILED;
    }
    // The patient link tree (storeserver -s) leads to where each image is.
    storerebuild_repairLinks(base, out);
    if (out != nullptr)
        fprintf(out, "rebuilt: %s: %ld studies, %ld series, %ld images%s\n", base, studyCount,
                seriesCount, imageCount,
                ctx.problems ? "; some files could not be entered or removed (listed above)" : "");
    return ctx.problems ? STOREREBUILD_PARTIAL : STOREREBUILD_OK;
}

// The path below base of an image object's key (after the prefix), or ""
// when the key is not of an image file: "uid/XX/YY/study_S/series_R/
// image_I.dcm", no part empty, ".", ".." or holding a NUL.
static std::string imagePathOfKey(const std::string &base, const std::string &rel)
{
    static const char *starts[6] = {"uid", "", "", "study_", "series_", "image_"};
    size_t pos = 0;
    for (int i = 0; i < 6; i++) {
        size_t slash = rel.find('/', pos);
        if ((i < 5) != (slash != std::string::npos))
            return "";
        std::string part = rel.substr(pos, i < 5 ? slash - pos : std::string::npos);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos ||
            part.compare(0, strlen(starts[i]), starts[i]) != 0 || (i == 0 && part != "uid"))
            return "";
        pos = slash + 1;
    }
    if (rel.size() < 4 || rel.compare(rel.size() - 4, 4, ".dcm") != 0)
        return "";
    return base + "/" + rel;
}

// Run as root, what the recovery makes is given to the owner of the base
// directory, so that the server (which drops root) can go on writing in it.
static void giveToBaseOwner(const struct stat &baseStat, const std::string &path)
{
    if (geteuid() == 0 && lchown(path.c_str(), baseStat.st_uid, baseStat.st_gid) != 0) {
        /* left to root: reported by the server when it cannot write there */
    }
}

// Makes every directory of path's parent below base: 0, or -1.
static int makeParents(const std::string &base, const struct stat &baseStat,
                       const std::string &path)
{
    for (size_t slash = path.find('/', base.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0777) == 0)
            giveToBaseOwner(baseStat, dir);
        else if (errno != EEXIST)
            return -1;
    }
    return 0;
}

int storerebuild_fromTier(const char *base, FILE *out, FILE *err, const tier_config *tier)
{
    rebuildctx ctx{out, err, 0};
    if (tier == nullptr) {
        report(err, "error", base, "no ObjectTier settings: there is no tier to rebuild from");
        return STOREREBUILD_FAILED;
    }
    storetree tree;
    if (storetree_scan(base, &tree) != 0) {
        report(err, "error", base, "cannot read the base directory");
        return STOREREBUILD_FAILED;
    }
    tier_config cfg = *tier;
    char why[512] = "";
    if (tier_claim(&cfg, TIER_ADOPT, why, sizeof why) != TIER_OWNED) {
        report(err, "error", cfg.s3.bucket + "/" + cfg.prefix, "%s", why);
        return STOREREBUILD_FAILED;
    }
    std::string baseDir = tree.base;
    while (baseDir.size() > 1 && baseDir.back() == '/')
        baseDir.pop_back();
    struct stat baseStat;
    if (stat(baseDir.c_str(), &baseStat) != 0) {
        report(err, "error", base, "cannot read the base directory");
        return STOREREBUILD_FAILED;
    }
    giveToBaseOwner(baseStat, baseDir + "/" TIER_ARCHIVE_ID_FILE);
    std::string prefix = cfg.prefix + "uid/";
    long recovered = 0;
    int listed = objstore_listEach(
        cfg.s3, prefix,
        [&](const objstore_entry &e) {
            std::string path = imagePathOfKey(baseDir, e.key.substr(cfg.prefix.size()));
            if (path.empty()) {
                report(out, "skipped", cfg.s3.bucket + "/" + e.key, "not an image's key");
                return true;
            }
            // An image the store has (its file or its stub) is left as it
            // is: only what was lost is taken back.
            if (access(path.c_str(), F_OK) == 0 ||
                access((path + TIER_STUB_SUFFIX).c_str(), F_OK) == 0)
                return true;
            if (makeParents(baseDir, baseStat, path) != 0) {
                ctx.problems++;
                report(out, "skipped", path, "cannot make its directory: %s", strerror(errno));
                return true;
            }
            int r = tier_recoverImage(cfg, path.c_str(), e.key, err);
            if (r == TIER_OK) {
                recovered++;
                giveToBaseOwner(baseStat, path + TIER_STUB_SUFFIX);
                giveToBaseOwner(baseStat, path + TIER_HEAD_SUFFIX);
            } else if (r == TIER_MISSING)
                // Gone meanwhile, or another archive's (never touched).
                report(out, "skipped", cfg.s3.bucket + "/" + e.key, "not an image of this archive");
            else {
                ctx.problems++;
                report(out, "skipped", cfg.s3.bucket + "/" + e.key,
                       "cannot be taken in now (above); run rebuild --from-tier again");
            }
            return true;
        },
        why, sizeof why);
    if (listed != OBJSTORE_OK) {
        report(err, "error", cfg.s3.endpoint + "/" + cfg.s3.bucket,
               "the object tier cannot be listed: %s", why);
        return STOREREBUILD_FAILED;
    }
    report(out, "recovered", baseDir, "%ld image(s) from %s/%s", recovered, cfg.s3.bucket.c_str(),
           prefix.c_str());
    int r = storerebuild_run(base, out, err, tier);
    return r == STOREREBUILD_OK && ctx.problems != 0 ? STOREREBUILD_PARTIAL : r;
}

// Re-points one link when it leads nowhere: 1 re-pointed, 0 not.
static int repairLink(const std::string &link, FILE *out)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = 0;
    std::string t(target), dir = link.substr(0, link.rfind('/'));
    std::string resolved = t[0] == '/' ? t : dir + "/" + t;
    if (access(resolved.c_str(), F_OK) == 0)
        return 0;
    static const std::string head = TIER_HEAD_SUFFIX;
    bool isHead =
        t.size() > head.size() && t.compare(t.size() - head.size(), head.size(), head) == 0;
    std::string other = isHead ? t.substr(0, t.size() - head.size()) : t + head;
    std::string otherResolved = other[0] == '/' ? other : dir + "/" + other;
    if (access(otherResolved.c_str(), F_OK) != 0)
        return 0;
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(other.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        unlink(tmp.c_str());
        return 0;
    }
    if (out != nullptr)
        fprintf(out, "relinked: %s: to %s\n", link.c_str(), other.c_str());
    return 1;
}

// Walks dir (depth levels of directories below it) re-pointing its links.
static long repairLinksBelow(const std::string &dir, int depth, FILE *out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    closedir(d);
    long count = 0;
    for (const std::string &name : names) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode))
            count += repairLink(path, out);
        else if (S_ISDIR(st.st_mode) && depth > 0)
            count += repairLinksBelow(path, depth - 1, out);
    }
    return count;
}

long storerebuild_repairLinks(const char *base, FILE *out)
{
    // B/patient/PATIENT/STUDY/SERIES/z_NNNN.dcm: three levels of
    // directories below it hold the links.
    long n = repairLinksBelow(std::string(base) + "/patient", 3, out);
    if (n > 0)
        durable_flushDir(base);
    return n;
}
