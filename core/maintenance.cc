// The archive's upkeep for storeindex (core/maintenance.h): the store's
// check, rebuild and tier mover behind the front-end line.
#include "core/maintenance.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cluster/clusterconfig.h"
#include "cluster/clusterdb.h"
#include "core/archive.h"
#include "core/audit.h"
#include "core/change.h"
#include "core/forward.h"
#include "objstore/objstore.h"
#include "runtime/installpath.h"
#include "runtime/multicast.h"
#include "store/localstore.h"
#include "store/storebackup.h"
#include "store/storecheck.h"
#include "store/storecompress.h"
#include "store/storerebuild.h"
#include "store/storescrub.h"
#include "store/storetier.h"
#include "store/tier.h"

static_assert((int)MAINTENANCE_REBUILT == (int)STOREREBUILD_OK &&
                  (int)MAINTENANCE_REBUILT_PARTLY == (int)STOREREBUILD_PARTIAL &&
                  (int)MAINTENANCE_NOT_REBUILT == (int)STOREREBUILD_FAILED,
              "maintenance_rebuild hands on storerebuild_run's result");
static_assert(MAINTENANCE_TIER_BUSY == STORETIER_BUSY &&
                  MAINTENANCE_TIER_FOREIGN == STORETIER_FOREIGN,
              "maintenance_tier hands on the mover's result");
static_assert(MAINTENANCE_COMPRESS_BUSY == STORECOMPRESS_BUSY,
              "maintenance_compress hands on the compressor's result");

// maintenance_open, or for a restore its own open of the store it restores.
static void openStore(archive_context *ctx, const char *base, int lock, bool restoring)
{
    archive_settings settings;
    settings.baseDir = base;
    settings.lock = lock;
    settings.deferStart = true;
    settings.restoring = restoring;
    // Without requireStore and the site's settings (prog), and with the lock
    // deferred, nothing can refuse the open: a failure is a programming
    // error.
    if (archive_open(ctx, settings, nullptr) != 0)
        abort();
}

void maintenance_open(archive_context *ctx, const char *base, int lock)
{
    openStore(ctx, base, lock, false);
    // The tool's run is audited (Application Activity) when the site keeps
    // an audit trail; a wrong AuditLog file is told and the tool goes on.
    std::string why;
    audit_sink *sink = nullptr;
    if (audit_open(nullptr, base, installpath_progName(), nullptr, &sink, &why) != 0)
        fprintf(stderr, "warning: audit trail: %s\n", why.c_str());
    ctx->audit = sink;
    audit_application(sink, true);
}

int maintenance_tierSettings(archive_context *ctx, char *why, size_t whySize)
{
    std::unique_ptr<tier_config> tier;
    int r = tier_setup(archive_baseDir(ctx), &tier, why, whySize);
    ctx->store->setTier(std::move(tier));
    return r < 0 ? MAINTENANCE_TIER_UNUSABLE : r > 0 ? MAINTENANCE_TIER_ON : MAINTENANCE_TIER_OFF;
}

int maintenance_lock(archive_context *ctx)
{
    if (archive_start(ctx, nullptr, true) != 0)
        return -1;
    // archive_start serves a store it cannot lock (a warning in its log); a
    // step that asked for the lock does not run without it.
    if (archive_lockDescriptor(ctx) < 0) {
        errno = ENOLCK;
        return -1;
    }
    return 0;
}

void maintenance_close(archive_context *ctx)
{
    archive_close(ctx);
    if (ctx->audit != nullptr) {
        audit_application(ctx->audit, false);
        // What the run spooled goes now when the collector answers; else a
        // server's sender takes it later.
        audit_sendPending(ctx->audit, 2000);
        audit_close(ctx->audit);
        ctx->audit = nullptr;
    }
}

int maintenance_check(const archive_context *ctx, FILE *out)
{
    return storecheck_run(archive_baseDir(ctx), out, ctx->store->getTier());
}

// A row's image as the bucket's key (the node's tree path below the base,
// with the tier's prefix).
static std::string rowKey(const archive_context *ctx, const std::string &study,
                          const std::string &series, const std::string &instance)
{
    LocalStore *store = ctx->store;
    OFString path = store->GetUidPath(study.c_str(), series.c_str(), instance.c_str(), 1);
    return tier_key(*store->getTier(), store->getBaseDir(), path.c_str());
}

int maintenance_clusterNode(char *why, size_t whySize)
{
    std::unique_ptr<cluster_config> cfg;
    return cluster_setup(&cfg, why, whySize);
}

int maintenance_clusterCheck(const archive_context *ctx, FILE *out, FILE *err)
{
    std::unique_ptr<cluster_config> cfg;
    char why[512] = "";
    int found = cluster_setup(&cfg, why, sizeof why);
    if (found == 0)
        return MAINTENANCE_NOT_CLUSTER;
    if (found < 0) {
        fprintf(err, "error: %s\n", why);
        return -1;
    }
    const tier_config *tier = ctx->store->getTier();
    if (tier == nullptr) {
        fprintf(err, "error: a cluster node needs the object tier (an ObjectTier file)\n");
        return -1;
    }
    clusterdb db(cfg->database, err);
    db.setPatience(5000);
    clusterdb_rows archive, rows;
    if (db.exec("SELECT archive FROM velto_cluster_archive", {}, &archive) != CLUSTERDB_OK ||
        archive.size() != 1) {
        fprintf(err, "error: the cluster's database cannot be read\n");
        return -1;
    }
    // Every row at once, then the listing: a store that commits in
    // between is an object with a row; one whose object is put after the
    // rows were read is looked up again below before it is reported.
    if (db.exec("SELECT st.study_uid, se.series_uid, i.sop_uid, coalesce(i.size, -1),"
                " i.location FROM velto_instances i JOIN velto_series se ON se.id = i.series"
                " JOIN velto_studies st ON st.id = se.study WHERE i.archive = $1",
                {archive.at(0, 0)}, &rows) != CLUSTERDB_OK) {
        fprintf(err, "error: the cluster's database cannot be read\n");
        return -1;
    }
    // key -> the row's size (-1 unknown), for the images whose home is the
    // bucket; the queued ones' keys apart (their object may or may not be
    // there yet).
    std::unordered_map<std::string, long long> home;
    std::unordered_set<std::string> queued;
    for (size_t i = 0; i < rows.size(); i++) {
        std::string key = rowKey(ctx, rows.at(i, 0), rows.at(i, 1), rows.at(i, 2));
        if (rows.at(i, 4) == "tier")
            home.emplace(key, atoll(rows.at(i, 3).c_str()));
        else
            queued.insert(key);
    }
    rows = clusterdb_rows();
    int findings = 0;
    std::vector<std::string> orphans;
    std::string images = tier->prefix + "uid/";
    int listed = objstore_listEach(
        tier->s3, images,
        [&](const objstore_entry &e) {
            auto h = home.find(e.key);
            if (h != home.end()) {
                if (h->second >= 0 && (uint64_t)h->second != e.size) {
                    fprintf(out, "size: %s: the object has %llu bytes, its row %lld\n",
                            e.key.c_str(), (unsigned long long)e.size, h->second);
                    findings++;
                }
                home.erase(h);
            } else if (queued.count(e.key) == 0) {
                orphans.push_back(e.key);
            }
            return true;
        },
        why, sizeof why);
    if (listed != OBJSTORE_OK) {
        fprintf(err, "error: the bucket cannot be listed: %s\n", why);
        return -1;
    }
    for (const auto &h : home) {
        fprintf(out, "missing: %s: its row says the bucket holds it, and it does not\n",
                h.first.c_str());
        findings++;
    }
    // An object without a row: unless its row has come since the rows were
    // read (a store committed meanwhile).
    for (const std::string &key : orphans) {
        size_t slash = key.rfind("/image_");
        std::string uid = slash == std::string::npos ? "" : key.substr(slash + 7);
        if (uid.size() > 4 && uid.compare(uid.size() - 4, 4, ".dcm") == 0)
            uid.resize(uid.size() - 4);
        clusterdb_rows again;
        if (!uid.empty() &&
            db.exec("SELECT 1 FROM velto_instances WHERE archive = $1 AND sop_uid = $2",
                    {archive.at(0, 0), uid}, &again) == CLUSTERDB_OK &&
            again.size() == 1)
            continue;
        fprintf(out,
                "orphan: %s: an object without a row (a store a kill cut short after its "
                "upload, or one in progress)\n",
                key.c_str());
        findings++;
    }
    clusterdb_rows backlog;
    if (db.exec("SELECT node, count(*) FROM velto_cluster_uploads WHERE archive = $1 GROUP BY"
                " node ORDER BY node",
                {archive.at(0, 0)}, &backlog) == CLUSTERDB_OK)
        for (size_t i = 0; i < backlog.size(); i++)
            fprintf(out, "queued: %s: %s images acknowledged on its disk, not yet uploaded\n",
                    backlog.at(i, 0).c_str(), backlog.at(i, 1).c_str());
    return findings;
}

int maintenance_rebuild(const archive_context *ctx, FILE *out, FILE *err)
{
    // A change of stored images cut short first (core/change.h): its new
    // files placed (or removed), so that the rebuild finds each scope whole.
    archive_finishChanges(ctx);
    return storerebuild_run(archive_baseDir(ctx), out, err, ctx->store->getTier());
}

int maintenance_rebuildFromTier(const archive_context *ctx, FILE *out, FILE *err)
{
    return storerebuild_fromTier(archive_baseDir(ctx), out, err, ctx->store->getTier());
}

int maintenance_tier(const archive_context *ctx, int dryRun, FILE *out)
{
    // A programming error: the front end runs the mover only with the tier on.
    const tier_config *cfg = ctx->store->getTier();
    if (cfg == nullptr)
        abort();
    compress_config compress;
    char why[512] = "";
    int r = compress_setup(&compress, why, sizeof why);
    if (r < 0)
        fprintf(stderr, "error: compression before the move: %s (moved as they are)\n", why);
    bool first = r > 0 && compress.beforeTier;
    return storetier_run(archive_baseDir(ctx), *cfg, dryRun, out, first ? &compress : nullptr,
                         first ? ctx->store->getStudyLocks() : nullptr);
}

int maintenance_compressSettings(compress_config *cfg, char *why, size_t whySize)
{
    int r = compress_setup(cfg, why, whySize);
    return r < 0   ? MAINTENANCE_COMPRESS_UNUSABLE
           : r > 0 ? MAINTENANCE_COMPRESS_ON
                   : MAINTENANCE_COMPRESS_OFF;
}

long maintenance_parseDuration(const char *text)
{
    return tier_parseDuration(text);
}

int maintenance_compress(const archive_context *ctx, const compress_config &cfg,
                         const std::vector<std::string> &studies, int dryRun, FILE *out, FILE *err,
                         compress_totals *totals)
{
    return storecompress_run(archive_baseDir(ctx), cfg, studies, ctx->store->getStudyLocks(),
                             dryRun, out, err, totals);
}

int maintenance_backup(archive_context *ctx, const char *dest, FILE *out, FILE *err)
{
    const char *base = archive_baseDir(ctx);
    // The read-back cache holds copies of what the bucket holds: left out,
    // wherever the settings put it (the default's name too, when they are
    // off now).
    std::vector<std::string> skip = {std::string(base) + "/tiercache"};
    if (const tier_config *cfg = ctx->store->getTier())
        skip.push_back(cfg->cacheDir);
    // The forwarding queue goes with the images it sends: copied under the
    // study locks.
    std::vector<std::string> withImages = {forward_dir(base)};
    return storebackup_run(base, dest, ctx->store->getStudyLocks(), skip, withImages, out, err);
}

int maintenance_restore(const char *backup, const char *base, FILE *out, FILE *err)
{
    int r = storebackup_restoreFiles(backup, base, out, err);
    if (r != STOREBACKUP_OK)
        return r;
    char why[512] = "";
    archive_context archive;
    openStore(&archive, base, ARCHIVE_LOCK_EXCLUSIVE, true);
    // The check below reads the tier's objects with the settings of this
    // machine (the same bucket and prefix as the backed-up archive's).
    if (maintenance_tierSettings(&archive, why, sizeof why) == MAINTENANCE_TIER_UNUSABLE)
        fprintf(err, "warning: object tier: %s (its objects are not checked)\n", why);
    if (maintenance_lock(&archive) != 0) {
        fprintf(err, "error: %s: the store is in use; the restore is not complete, run it again\n",
                base);
        maintenance_close(&archive);
        return STOREBACKUP_FAILED;
    }
    // What dead processes left in the backup is finished here, as a start
    // would, before the marker goes.
    archive_recover(&archive);
    archive_refresh(&archive);
    if (archive_flush(&archive) != 0 || storebackup_restored(base) != 0) {
        fprintf(err, "error: %s: cannot finish the restore; run it again\n", base);
        maintenance_close(&archive);
        return STOREBACKUP_FAILED;
    }
    int findings = maintenance_check(&archive, out);
    maintenance_close(&archive);
    if (findings == 0)
        fprintf(out, "consistent: %s\n", base);
    else
        fprintf(out, "findings: %s: %d\n", base, findings);
    return findings == 0 ? STOREBACKUP_OK : STOREBACKUP_FAILED;
}

int maintenance_scrub(const archive_context *ctx, double rateMBs, bool headOnly, int monitorPort,
                      FILE *out)
{
    storescrub_options options;
    options.rateMBs = rateMBs;
    options.headOnly = headOnly;
    // The channel is a courtesy: a socket that cannot be made announces
    // nothing.
    if (monitorPort > 0)
        options.monitorSock = multicast_sendsocket((unsigned short)monitorPort, "224.0.0.1");
    storescrub_status status;
    int r = storescrub_run(ctx->store, options, out, &status);
    if (options.monitorSock >= 0)
        close(options.monitorSock);
    return r;
}

int maintenance_scrubStatus(const archive_context *ctx, storescrub_status *status)
{
    return storescrub_readStatus(archive_baseDir(ctx), status);
}
