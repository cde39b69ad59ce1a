// The store check (storeindex check): reads STUDYINDEX.hash, STUDYINDEX.dat and every
// SERIESINDEX.dat and IMAGEINDEX.dat, walks the UID tree, and reports each
// place where the index and the files disagree. It only reads.
#include "store/storecheck.h"

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "index/studyindex.h"
#include "index/studykeys.h"
#include "store/checksums.h"
#include "store/journal.h"
#include "store/localstore.h"
#include "store/storetree.h"
#include "store/tier.h"

struct checkctx {
    FILE *out;
    int findings;
};

static void finding(checkctx *ctx, const char *kind, const std::string &path, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes one line "KIND: PATH: text" (ending in tail) to ctx->out, if any.
static void writeLine(const checkctx *ctx, const char *kind, const std::string &path,
                      const char *tail, const char *fmt, va_list ap)
{
    if (ctx->out == nullptr)
        return;
    fprintf(ctx->out, "%s: %s: ", kind, path.c_str());
    vfprintf(ctx->out, fmt, ap);
    fputs(tail, ctx->out);
}

static void finding(checkctx *ctx, const char *kind, const std::string &path, const char *fmt, ...)
{
    ctx->findings++;
    va_list ap;
    va_start(ap, fmt);
    writeLine(ctx, kind, path, "\n", fmt, ap);
    va_end(ap);
}

// A warning: written as a finding is, not counted.
static void warning(checkctx *ctx, const char *kind, const std::string &path, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

static void warning(checkctx *ctx, const char *kind, const std::string &path, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    writeLine(ctx, kind, path, " (warning)\n", fmt, ap);
    va_end(ap);
}

// The series' checksum lines against its images (files and stubs).
static void checkChecksums(checkctx *ctx, const storetree_series &series,
                           const std::set<std::string> &files)
{
    std::map<std::string, checksums_record> sums;
    if (checksums_read(series.dir, &sums) != 0) {
        finding(ctx, STORECHECK_UNREADABLE, checksums_path(series.dir), "cannot be read: %s",
                strerror(errno));
        return;
    }
    for (const std::string &image : files)
        if (sums.count(image) == 0)
            warning(ctx, STORECHECK_NO_CHECKSUM, series.dir + "/image_" + image + ".dcm",
                    "image without a checksum line (storeindex rebuild adds it)");
    size_t stale = 0;
    for (const auto &e : sums)
        stale += files.count(e.first) == 0;
    if (stale > 0)
        warning(ctx, STORECHECK_STALE_CHECKSUM, checksums_path(series.dir),
                "%zu line(s) of images that are gone (storeindex scrub drops them)", stale);
}

// Reads an index file of records of recordSize bytes and reports a length
// that is not a whole number of records. Returns the number of whole
// records (bytes in *bytes), or -1 when the file is missing (or unreadable,
// which is reported).
static long readIndex(checkctx *ctx, const std::string &path, size_t recordSize,
                      std::vector<unsigned char> *bytes)
{
    int r = storetree_readFile(path, bytes);
    if (r == 0)
        return -1;
    if (r < 0) {
        finding(ctx, STORECHECK_UNREADABLE, path, "cannot be read: %s", strerror(errno));
        return -1;
    }
    if (bytes->size() % recordSize != 0)
        finding(ctx, STORECHECK_MALFORMED, path,
                "length %zu is not a multiple of the record size %zu (%zu bytes of a torn record "
                "at the end)",
                bytes->size(), recordSize, bytes->size() % recordSize);
    return (long)(bytes->size() / recordSize);
}

// Checks a series or image index file: its length, torn and duplicate
// records, and a parent UID field (at parentOffset) that is not the UID of
// the directory holding the index. Returns the live keys, in file order
// (none when the file is missing).
static std::vector<std::string> checkIndexFile(checkctx *ctx, const std::string &path,
                                               size_t recordSize, size_t parentOffset,
                                               const std::string &parent, const char *parentName)
{
    std::vector<std::string> keys;
    std::set<std::string> seen;
    std::vector<unsigned char> bytes;
    long count = readIndex(ctx, path, recordSize, &bytes);
    for (long i = 0; i < count; i++) {
        const unsigned char *rec = bytes.data() + (size_t)i * recordSize;
        if (!studyindex_isLive(rec)) {
            if (!storetree_allZero(rec, recordSize))
                finding(ctx, STORECHECK_TORN, path, "record %ld is neither live nor cleared", i);
            continue;
        }
        std::string key = storetree_field((const char *)rec, STUDYINDEX_KEY_WIDTH);
        if (!seen.insert(key).second) {
            finding(ctx, STORECHECK_DUPLICATE, path, "record %ld: key %s is entered twice", i,
                    key.c_str());
            continue;
        }
        std::string up = storetree_field((const char *)rec + parentOffset, STUDYINDEX_KEY_WIDTH);
        if (up != parent)
            finding(ctx, STORECHECK_MISPLACED, path, "record %ld (%s) names %s %s, not %s", i,
                    key.c_str(), parentName, up.c_str(), parent.c_str());
        keys.push_back(key);
    }
    return keys;
}

static void checkSeries(checkctx *ctx, const storetree_series &series, bool indexed)
{
    std::vector<std::string> keys =
        checkIndexFile(ctx, series.dir + "/IMAGEINDEX.dat", sizeof(imagerecord),
                       offsetof(imagerecord, seriesInstanceUid), series.uid, "series");
    // An image moved to the object tier has its stub in place of its file.
    std::set<std::string> files(series.images.begin(), series.images.end());
    files.insert(series.tiered.begin(), series.tiered.end());
    std::set<std::string> live(keys.begin(), keys.end());
    std::set<std::string> heads(series.headed.begin(), series.headed.end());
    for (const std::string &key : keys)
        if (files.count(key) == 0 && heads.count(key) != 0)
            finding(ctx, STORECHECK_MISSING, series.dir + "/image_" + key + ".dcm.tier",
                    "moved image whose stub is lost (its head is there); a read of it or "
                    "storeindex rebuild writes it again from its object");
        else if (files.count(key) == 0)
            finding(ctx, STORECHECK_MISSING, series.dir + "/image_" + key + ".dcm",
                    "image index entry without its image file");
    for (const std::string &image : series.tiered)
        if (live.count(image) == 0 &&
            std::find(series.images.begin(), series.images.end(), image) == series.images.end())
            finding(ctx, STORECHECK_UNINDEXED, series.dir + "/image_" + image + ".dcm.tier",
                    "object tier record without an image index entry");
    for (const std::string &image : series.images)
        if (live.count(image) == 0)
            finding(ctx, STORECHECK_UNINDEXED, series.dir + "/image_" + image + ".dcm",
                    "image file without an image index entry");
    for (const std::string &tmp : series.stale)
        finding(ctx, STORECHECK_STALE_TMP, tmp, "temporary file of an unfinished write");
    for (const std::string &tmp : series.compressing)
        warning(ctx, STORECHECK_COMPRESSING, tmp,
                "compression cut short (the image is whole; storeindex compress finishes it)");
    checkChecksums(ctx, series, files);
    if (indexed && keys.empty() && files.empty())
        finding(ctx, STORECHECK_MISSING, series.dir,
                "series index entry, but the series holds no image");
}

static void checkStudy(checkctx *ctx, LocalStore *store, const storetree &tree,
                       const storetree_study &study, bool indexed)
{
    std::string expected = std::string(store->GetUidBasePath(study.uid.c_str()).c_str());
    if (expected != tree.uidDir + "/" + study.bucket)
        finding(ctx, STORECHECK_MISPLACED, study.dir, "study directory belongs in %s",
                expected.c_str());
    // A store that was stopped between making a directory and entering it
    // in the index leaves the directory empty: nothing is lost with it.
    if (!indexed && study.series.empty() && !study.hasIndex && study.stale.empty())
        finding(ctx, STORECHECK_EMPTY_DIR, study.dir,
                "empty study directory without a study index entry");
    else if (!indexed)
        finding(ctx, STORECHECK_UNINDEXED, study.dir,
                "study directory without a study index entry");

    std::vector<std::string> keys =
        checkIndexFile(ctx, study.dir + "/SERIESINDEX.dat", sizeof(seriesrecord),
                       offsetof(seriesrecord, studyInstanceUid), study.uid, "study");
    std::set<std::string> live(keys.begin(), keys.end());
    std::set<std::string> dirs;
    for (const storetree_series &series : study.series) {
        dirs.insert(series.uid);
        bool seriesIndexed = live.count(series.uid) != 0;
        if (!seriesIndexed && series.images.empty() && !series.hasIndex && series.stale.empty())
            finding(ctx, STORECHECK_EMPTY_DIR, series.dir,
                    "empty series directory without a series index entry");
        else if (!seriesIndexed)
            finding(ctx, STORECHECK_UNINDEXED, series.dir,
                    "series directory without a series index entry");
        checkSeries(ctx, series, seriesIndexed);
    }
    for (const std::string &key : keys)
        if (dirs.count(key) == 0)
            finding(ctx, STORECHECK_MISSING, study.dir + "/series_" + key,
                    "series index entry without its series directory");
    for (const std::string &tmp : study.stale)
        finding(ctx, STORECHECK_STALE_TMP, tmp, "temporary file of an unfinished write");
    if (indexed && keys.empty() && study.series.empty())
        finding(ctx, STORECHECK_MISSING, study.dir,
                "study index entry, but the study holds no series");
}

// Checks the two study files against each other. Returns the UIDs of the
// live studies.
static std::set<std::string> checkStudyIndex(checkctx *ctx, const storetree &tree)
{
    std::set<std::string> live;
    std::string hashPath = tree.uidDir + "/STUDYINDEX.hash";
    std::string dataPath = tree.uidDir + "/STUDYINDEX.dat";
    std::vector<unsigned char> hashBytes, dataBytes;
    long nHash = readIndex(ctx, hashPath, sizeof(studyhash), &hashBytes);
    long nData = readIndex(ctx, dataPath, sizeof(studydata), &dataBytes);
    if (nHash < 0 && nData < 0)
        return live;
    if (nHash < 0 || nData < 0) {
        finding(ctx, STORECHECK_OUT_OF_STEP, nHash < 0 ? hashPath : dataPath,
                "missing, while %s holds %ld records",
                nHash < 0 ? "STUDYINDEX.dat" : "STUDYINDEX.hash", nHash < 0 ? nData : nHash);
    } else if (nHash != nData) {
        finding(ctx, STORECHECK_OUT_OF_STEP, hashPath, "%ld records, but STUDYINDEX.dat has %ld",
                nHash, nData);
    }
    long n = nHash < nData ? nHash : nData;
    for (long i = 0; i < n; i++) {
        studyhash h;
        studydata d;
        memcpy(&h, hashBytes.data() + (size_t)i * sizeof h, sizeof h);
        memcpy(&d, dataBytes.data() + (size_t)i * sizeof d, sizeof d);
        bool deleted = (h.patientNameBits & STUDYHASH_DELETED) != 0;
        if (!studyindex_isLive(&d)) {
            if (!storetree_allZero(&d, sizeof d))
                finding(ctx, STORECHECK_TORN, dataPath, "record %ld is neither live nor cleared",
                        i);
            else if (!deleted)
                finding(ctx, STORECHECK_OUT_OF_STEP, hashPath,
                        "record %ld: study data cleared, but the study is not marked deleted", i);
            continue;
        }
        std::string uid = storetree_field(d.studyInstanceUid, sizeof d.studyInstanceUid);
        if (deleted) {
            finding(ctx, STORECHECK_OUT_OF_STEP, hashPath,
                    "record %ld: study %s marked deleted, but its data record is live", i,
                    uid.c_str());
            continue;
        }
        if (h.studyUidCrc != studyindex_uidCrc(uid.c_str())) {
            finding(ctx, STORECHECK_OUT_OF_STEP, hashPath,
                    "record %ld: UID CRC %08X does not belong to study %s", i, h.studyUidCrc,
                    uid.c_str());
            continue;
        }
        if (!live.insert(uid).second)
            finding(ctx, STORECHECK_DUPLICATE, dataPath, "record %ld: study %s is entered twice", i,
                    uid.c_str());
    }
    return live;
}

// The key digests beside the study files: damage is a finding. A missing
// or stale keys file is not: it is derived data, which the server rebuilds
// when it next loads the study table.
static void checkStudyKeys(checkctx *ctx, const storetree &tree)
{
    std::string stem = tree.uidDir + "/STUDYINDEX";
    struct stat st;
    if (stat((stem + ".hash").c_str(), &st) != 0)
        return;
    long count = (long)(st.st_size / (off_t)sizeof(studyhash)), bad = -1;
    int r = studykeys_check(stem.c_str(), count, &bad);
    if (r == 2)
        finding(ctx, STORECHECK_MALFORMED, studykeys_path(stem.c_str()),
                "malformed, or not %ld records long", count);
    else if (r == 4)
        finding(ctx, STORECHECK_OUT_OF_STEP, studykeys_path(stem.c_str()),
                "record %ld: the key digests do not belong to the study's data record", bad);
}

// The object tier against the stubs: every stub's object is there with
// its size, and every object below the store's part of the bucket is some
// stub's.
static void checkTier(checkctx *ctx, const storetree &tree, const tier_config &tier)
{
    std::vector<objstore_entry> objects;
    char why[512] = "";
    std::string where = tier.s3.endpoint + "/" + tier.s3.bucket;
    // Only a prefix of this archive's is checked: another's objects are
    // neither missing nor unclaimed here.
    bool anyStudy = false;
    for (const storetree_study &study : tree.studies)
        anyStudy = anyStudy || !study.series.empty();
    // A store that lost everything, its archive id too, is taken for the
    // archive whose marker is at its prefix: the loss is what to report.
    tier_config cfg = tier;
    int claim = tier_claim(&cfg, anyStudy ? TIER_VERIFY : TIER_PEEK, why, sizeof why);
    if (claim == TIER_FOREIGN || claim == TIER_LOCAL_ERROR) {
        finding(ctx, STORECHECK_TIER_FOREIGN, where + "/" + cfg.prefix, "%s", why);
        return;
    }
    std::string prefix = tier_key(cfg, tree.base.c_str(), (tree.uidDir + "/").c_str());
    if (claim == TIER_UNREACHABLE ||
        objstore_list(cfg.s3, prefix, &objects, why, sizeof why) != OBJSTORE_OK) {
        finding(ctx, STORECHECK_UNREADABLE, where, "the object tier cannot be listed: %s", why);
        return;
    }
    if (!anyStudy && !objects.empty()) {
        // The images whose only copy is in the tier have no record left:
        // one line says so instead of one per object.
        finding(ctx, STORECHECK_NO_TREE, tree.uidDir,
                "the store holds no image, but the object tier holds %zu object(s) under %s/%s "
                "of archive %s; if this store is that archive, storeindex rebuild --from-tier "
                "%s takes them back in",
                objects.size(), cfg.s3.bucket.c_str(), prefix.c_str(),
                cfg.archiveId.empty() ? "(unnamed)" : cfg.archiveId.c_str(), tree.base.c_str());
        return;
    }
    std::map<std::string, uint64_t> sizes;
    for (const objstore_entry &e : objects)
        sizes[e.key] = e.size;
    std::set<std::string> claimed;
    for (const storetree_study &study : tree.studies)
        for (const storetree_series &series : study.series)
            for (const std::string &image : series.tiered) {
                std::string path = series.dir + "/image_" + image + ".dcm";
                tier_stub stub;
                if (tier_readStub(path.c_str(), &stub) != 0) {
                    finding(ctx, STORECHECK_MALFORMED, path + TIER_STUB_SUFFIX,
                            "object tier record cannot be read");
                    continue;
                }
                claimed.insert(stub.key);
                auto it = sizes.find(stub.key);
                if (it == sizes.end())
                    finding(ctx, STORECHECK_TIER_MISSING, path + TIER_STUB_SUFFIX,
                            "image recorded in the object tier, but %s is not there",
                            stub.key.c_str());
                else if (it->second != stub.size)
                    finding(ctx, STORECHECK_TIER_MISSING, path + TIER_STUB_SUFFIX,
                            "object %s has %llu bytes, the image %llu", stub.key.c_str(),
                            (unsigned long long)it->second, (unsigned long long)stub.size);
            }
    for (const objstore_entry &e : objects) {
        if (claimed.count(e.key) != 0)
            continue;
        // One that carries another archive's id is that archive's.
        objstore_info info;
        if (objstore_head(cfg.s3, e.key, &info, why, sizeof why) == OBJSTORE_OK &&
            !info.archive.empty() && info.archive != cfg.archiveId)
            continue;
        finding(ctx, STORECHECK_TIER_UNCLAIMED, cfg.s3.bucket + "/" + e.key,
                "object in the tier that no image claims");
    }
}

int storecheck_run(const char *base, FILE *out, const tier_config *tier)
{
    checkctx ctx{out, 0};
    storetree tree;
    if (storetree_scan(base, &tree) != 0)
        return -1;
    if (!tree.exists) {
        // An empty store is consistent, unless the tier holds its images.
        if (tier != nullptr)
            checkTier(&ctx, tree, *tier);
        return ctx.findings;
    }
    LocalStore store(base);

    if (tree.rebuildMarker)
        finding(&ctx, STORECHECK_REBUILD, tree.uidDir + "/" STORETREE_REBUILD_MARKER,
                "a rebuild did not finish; run storeindex rebuild again");
    for (const std::string &dir : tree.unreadable)
        finding(&ctx, STORECHECK_UNREADABLE, dir, "directory cannot be listed");

    std::set<std::string> live = checkStudyIndex(&ctx, tree);
    checkStudyKeys(&ctx, tree);
    std::set<std::string> dirs;
    for (const storetree_study &study : tree.studies) {
        dirs.insert(study.uid);
        checkStudy(&ctx, &store, tree, study, live.count(study.uid) != 0);
    }
    for (const std::string &uid : live)
        if (dirs.count(uid) == 0)
            finding(&ctx, STORECHECK_MISSING,
                    std::string(store.GetUidPath(uid.c_str(), nullptr, nullptr, 1).c_str()),
                    "study index entry without its study directory");
    for (const std::string &tmp : tree.stale)
        finding(&ctx, STORECHECK_STALE_TMP, tmp, "temporary file of an unfinished write");
    if (tier != nullptr)
        checkTier(&ctx, tree, *tier);
    for (const std::string &del : tree.deleteme)
        finding(&ctx, STORECHECK_DELETEME, del, "index file of an unfinished delete");
    for (const std::string &intent : tree.intents)
        finding(&ctx, STORECHECK_INTENT, intent,
                "a delete was cut short; the server's next start (or a rebuild) finishes it");
    for (const std::string &path : tree.journals) {
        long pending = journal_pending(path.c_str());
        if (pending < 0)
            finding(&ctx, STORECHECK_UNREADABLE, path, "cannot be read: %s", strerror(errno));
        else if (pending > 0)
            finding(&ctx, STORECHECK_JOURNAL, path,
                    "%ld image(s) of a process that ended before they were flushed; the "
                    "server's next start (or a rebuild) writes them into the store",
                    pending);
    }
    return ctx.findings;
}
