// The archive's upkeep for storeindex (core/maintenance.h): the store's
// check, rebuild and tier mover behind the front-end line.
#include "core/maintenance.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/archive.h"
#include "core/audit.h"
#include "core/change.h"
#include "core/forward.h"
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
